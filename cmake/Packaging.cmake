# Install layout: lib/libvelkorlink.so.1 and lib/libvelkorutils.so.1 side by side (the link
# library finds the utility library through RUNPATH $ORIGIN), include/velkorlink.h, a CMake
# package and a pkg-config file. The installed tree can be moved as a whole.
include(CMakePackageConfigHelpers)

set(VELKOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Velkorlink)

install(TARGETS velkorlink velkorutils EXPORT VelkorlinkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT VelkorlinkTargets NAMESPACE Velkorlink:: DESTINATION ${VELKOR_CMAKE_DIR})

configure_package_config_file(cmake/VelkorlinkConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VelkorlinkConfig.cmake INSTALL_DESTINATION ${VELKOR_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VelkorlinkConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VelkorlinkConfig.cmake
              ${PROJECT_BINARY_DIR}/VelkorlinkConfigVersion.cmake
        DESTINATION ${VELKOR_CMAKE_DIR})

# The pkg-config file finds the prefix from its own folder, however deep the library folder is
# (lib, or lib/x86_64-linux-gnu on Debian).
file(RELATIVE_PATH VELKOR_PC_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VELKOR_PC_PREFIX "${VELKOR_PC_PREFIX}")
configure_file(cmake/velkorlink.pc.in ${PROJECT_BINARY_DIR}/velkorlink.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/velkorlink.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
