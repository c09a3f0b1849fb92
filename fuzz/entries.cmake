# The fuzz targets, each with its entry in fuzz_<target>.cpp, and what the entries are
# built from, for the fuzz project and the regression replay alike: the entries, the
# support they share and the dialogs' verification they drive.
set(FUZZ_TARGETS decompress compress isoscan parser examine verify)
get_filename_component(FUZZ_ENTRIES_DIR ${CMAKE_CURRENT_LIST_DIR} ABSOLUTE)
get_filename_component(FUZZ_FRONTEND_DIR ${CMAKE_CURRENT_LIST_DIR}/../frontend/core ABSOLUTE)
set(FUZZ_ENTRY_SOURCES ${FUZZ_ENTRIES_DIR}/fuzz_support.cpp ${FUZZ_FRONTEND_DIR}/cso_verify.cpp)
foreach(target ${FUZZ_TARGETS})
    list(APPEND FUZZ_ENTRY_SOURCES ${FUZZ_ENTRIES_DIR}/fuzz_${target}.cpp)
endforeach()
set(FUZZ_ENTRY_INCLUDES ${FUZZ_ENTRIES_DIR} ${FUZZ_FRONTEND_DIR})
