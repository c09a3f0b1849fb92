# Cross-compiles for 64-bit Windows (runs under Wine where 32-bit processes cannot).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triple x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
