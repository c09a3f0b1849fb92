# zopfli searches hardest for the smallest deflate stream of a block (-best): Debian's
# libzopfli-dev on Linux; on Windows the static archive scripts/build-windows.sh makes.
include(${CMAKE_CURRENT_LIST_DIR}/imported_library.cmake)
imported_library(zopfli::zopfli ZOPFLI zopfli/zopfli.h zopfli)
