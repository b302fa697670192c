# Cross-compiles the 32-bit Windows product with mingw-w64. These machines cannot run
# 32-bit programs, so this build is compiled and packaged, never run.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VANTRO_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
