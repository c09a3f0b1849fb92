# libdeflate decodes the blocks (zlib decodes again any block it refuses). Found as a
# header and a library: Debian's libdeflate-dev on Linux; on Windows the static archive
# scripts/build-windows.sh makes, handed in as LIBDEFLATE_INCLUDE_DIR and LIBDEFLATE_LIBRARY.
find_path(LIBDEFLATE_INCLUDE_DIR libdeflate.h REQUIRED)
find_library(LIBDEFLATE_LIBRARY NAMES deflate REQUIRED)
if(NOT TARGET libdeflate::libdeflate)
    add_library(libdeflate::libdeflate UNKNOWN IMPORTED)
    set_target_properties(libdeflate::libdeflate PROPERTIES
        IMPORTED_LOCATION "${LIBDEFLATE_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${LIBDEFLATE_INCLUDE_DIR}")
endif()
message(STATUS "libdeflate: ${LIBDEFLATE_LIBRARY}")
