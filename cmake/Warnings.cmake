# Every target of the project is built with these warnings; with VELKOR_WERROR they are errors.
add_compile_options(-Wall -Wextra)
if(VELKOR_WERROR)
  add_compile_options(-Werror)
endif()

# GCC 12 at -O3 (and in 32-bit builds) reports overlapping copies inside libstdc++'s own string
# concatenation (GCC bug 105329): a false -Wrestrict that would stop Release builds. It stays a
# warning there; GCC 13 fixed it.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wno-error=restrict>)
endif()
