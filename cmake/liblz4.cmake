# liblz4 decodes the LZ4 blocks of CSO v2 and ZSO files. Found as a header and a library:
# Debian's liblz4-dev on Linux; on Windows the static archive scripts/build-windows.sh
# makes, handed in as LIBLZ4_INCLUDE_DIR and LIBLZ4_LIBRARY.
find_path(LIBLZ4_INCLUDE_DIR lz4.h REQUIRED)
find_library(LIBLZ4_LIBRARY NAMES lz4 REQUIRED)
if(NOT TARGET liblz4::liblz4)
    add_library(liblz4::liblz4 UNKNOWN IMPORTED)
    set_target_properties(liblz4::liblz4 PROPERTIES
        IMPORTED_LOCATION "${LIBLZ4_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${LIBLZ4_INCLUDE_DIR}")
endif()
message(STATUS "liblz4: ${LIBLZ4_LIBRARY}")
