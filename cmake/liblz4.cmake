# liblz4 decodes the LZ4 blocks of CSO v2 and ZSO files: Debian's liblz4-dev on Linux; on
# Windows the static archive scripts/build-windows.sh makes.
include(${CMAKE_CURRENT_LIST_DIR}/imported_library.cmake)
imported_library(liblz4::liblz4 LIBLZ4 lz4.h lz4)
