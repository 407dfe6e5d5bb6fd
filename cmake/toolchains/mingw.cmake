# Shared by the Windows toolchains: Debian's MinGW-w64 cross compilers for VELKOR_MINGW
# (posix threads), with the MinGW runtime linked statically so that the DLLs and programs need
# nothing beside them. Tests run under VELKOR_WINE, the Wine loader for the target's width,
# when it is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VELKOR_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELKOR_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${VELKOR_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VELKOR_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
find_program(VELKOR_WINE_PROGRAM NAMES ${VELKOR_WINE} PATHS /usr/lib/wine)
if(VELKOR_WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELKOR_WINE_PROGRAM})
endif()
