# libdeflate decodes the blocks (zlib decodes again any block it refuses): Debian's
# libdeflate-dev on Linux; on Windows the static archive scripts/build-windows.sh makes.
include(${CMAKE_CURRENT_LIST_DIR}/imported_library.cmake)
imported_library(libdeflate::libdeflate LIBDEFLATE libdeflate.h deflate)
