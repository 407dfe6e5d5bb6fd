# Shared by the Linux cross toolchains: Debian's cross compilers for VELKOR_TRIPLET
# (crossbuild-essential-<arch>, whose C and C++ runtimes are in /usr/<triplet>), and the
# target's libraries either unpacked into VELKOR_SYSROOT by make-sysroot.sh (as the Makefile
# does) or installed on this machine as multiarch -dev packages. The including file sets
# VELKOR_TRIPLET (the compilers' prefix), VELKOR_MULTIARCH (the libraries' folder),
# CMAKE_SYSTEM_PROCESSOR and VELKOR_QEMU.
#
# ctest runs the programs, and the process tests start theirs through VELKOR_EMULATOR: natively
# where this machine runs them, under Debian's qemu-user where it does not.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VELKOR_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VELKOR_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${VELKOR_MULTIARCH})
set(CMAKE_FIND_ROOT_PATH /usr/${VELKOR_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(VELKOR_SYSROOT "" CACHE PATH "Folder holding the target's unpacked -dev packages")
# The compile checks read this file again in projects of their own: they see the same values.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELKOR_SYSROOT VELKOR_RUNS_NATIVELY)
set(_runtime /usr/${VELKOR_TRIPLET}/lib)
if(VELKOR_SYSROOT)
  # Some packages still put their libraries in /lib.
  set(_libs ${VELKOR_SYSROOT}/usr/lib/${VELKOR_MULTIARCH})
  set(_lib_flags "-L${_libs} -Wl,-rpath-link,${_libs}")
  set(_library_path ${_libs})
  if(EXISTS ${VELKOR_SYSROOT}/lib/${VELKOR_MULTIARCH})
    string(APPEND _lib_flags " -Wl,-rpath-link,${VELKOR_SYSROOT}/lib/${VELKOR_MULTIARCH}")
    string(APPEND _library_path ":${VELKOR_SYSROOT}/lib/${VELKOR_MULTIARCH}")
  endif()
  list(APPEND CMAKE_FIND_ROOT_PATH ${VELKOR_SYSROOT})
  foreach(language C CXX)
    set(CMAKE_${language}_FLAGS_INIT "-isystem ${VELKOR_SYSROOT}/usr/include/${VELKOR_MULTIARCH} -isystem ${VELKOR_SYSROOT}/usr/include")
  endforeach()
  foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT "${_lib_flags}")
  endforeach()
  # pkg-config reads the unpacked .pc files only, and prefixes their paths with the folder.
  set(ENV{PKG_CONFIG_LIBDIR} ${_libs}/pkgconfig:${VELKOR_SYSROOT}/usr/share/pkgconfig)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${VELKOR_SYSROOT})
  string(APPEND _library_path ":${_runtime}")
else()
  set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VELKOR_MULTIARCH}/pkgconfig:/usr/share/pkgconfig)
  set(_library_path ${_runtime})
endif()

# Natively, programs start through the cross runtime's own dynamic loader, which takes the
# library path, so that nothing of the target needs installing. Whether a C++ program built for
# the target runs here that way is asked once per build folder.
file(GLOB _loader /usr/${VELKOR_TRIPLET}/lib/ld-linux*.so.*)
if(NOT DEFINED VELKOR_RUNS_NATIVELY)
  set(_probe ${CMAKE_BINARY_DIR}/CMakeFiles/runs-natively)
  file(WRITE ${_probe}.cpp "#include <string>\nint main() { return std::string(\"0\").size() - 1; }\n")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${_probe}.cpp -o ${_probe} RESULT_VARIABLE _built
                  OUTPUT_QUIET ERROR_QUIET)
  set(_ran 1)
  if(_built EQUAL 0)
    execute_process(COMMAND ${_loader} --library-path ${_runtime} ${_probe} RESULT_VARIABLE _ran
                    OUTPUT_QUIET ERROR_QUIET)
  endif()
  if(_ran STREQUAL "0")
    set(_native ON)
  else()
    set(_native OFF)
  endif()
  set(VELKOR_RUNS_NATIVELY ${_native} CACHE BOOL "Programs built for ${VELKOR_TRIPLET} run here")
endif()
if(VELKOR_RUNS_NATIVELY)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_loader} --library-path ${_library_path})
else()
  find_program(VELKOR_QEMU_PROGRAM ${VELKOR_QEMU})
  if(NOT VELKOR_QEMU_PROGRAM)
    message(FATAL_ERROR "programs built for ${VELKOR_TRIPLET} do not run on this machine and "
                        "${VELKOR_QEMU} is missing (Debian package qemu-user)")
  endif()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELKOR_QEMU_PROGRAM} -L /usr/${VELKOR_TRIPLET}
                                    -E LD_LIBRARY_PATH=${_library_path})
endif()
