# 32-bit Windows, cross-compiled with Debian's MinGW-w64 (g++-mingw-w64-i686); tests run under
# Debian's wine32, which needs a kernel that runs 32-bit x86 programs.
set(VELKOR_MINGW i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VELKOR_WINE wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
