# zopfli searches hardest for the smallest deflate stream of a block (-best). Found as a
# header and a library: Debian's libzopfli-dev on Linux; on Windows the static archive
# scripts/build-windows.sh makes, handed in as ZOPFLI_INCLUDE_DIR and ZOPFLI_LIBRARY.
find_path(ZOPFLI_INCLUDE_DIR zopfli/zopfli.h REQUIRED)
find_library(ZOPFLI_LIBRARY NAMES zopfli REQUIRED)
if(NOT TARGET zopfli::zopfli)
    add_library(zopfli::zopfli UNKNOWN IMPORTED)
    set_target_properties(zopfli::zopfli PROPERTIES
        IMPORTED_LOCATION "${ZOPFLI_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${ZOPFLI_INCLUDE_DIR}")
endif()
message(STATUS "zopfli: ${ZOPFLI_LIBRARY}")
