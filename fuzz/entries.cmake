# What the fuzz targets' in-process entries are built from, for the fuzz project and the
# regression replay alike: the entries and the dialogs' verification they drive.
get_filename_component(FUZZ_ENTRIES_DIR ${CMAKE_CURRENT_LIST_DIR} ABSOLUTE)
get_filename_component(FUZZ_FRONTEND_DIR ${CMAKE_CURRENT_LIST_DIR}/../frontend/core ABSOLUTE)
set(FUZZ_ENTRY_SOURCES ${FUZZ_ENTRIES_DIR}/fuzz_entries.cpp ${FUZZ_FRONTEND_DIR}/cso_verify.cpp)
set(FUZZ_ENTRY_INCLUDES ${FUZZ_ENTRIES_DIR} ${FUZZ_FRONTEND_DIR})
