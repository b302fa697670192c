# Cross-compiles the Windows product with mingw-w64; tests run through Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VANTRO_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
