# 64-bit Windows, cross-compiled with Debian's MinGW-w64 (g++-mingw-w64-x86-64); tests run under
# Debian's wine64 loader itself, which needs no 32-bit Wine.
set(VELKOR_MINGW x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELKOR_WINE wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
