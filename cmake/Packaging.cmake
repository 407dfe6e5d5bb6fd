# Install layout: lib/libvelkorlink.so.1 and lib/libvelkorutils.so.1 side by side (the link
# library finds the utility library through RUNPATH $ORIGIN), include/velkorlink.h, a CMake
# package and a pkg-config file. The installed tree can be moved as a whole.
include(CMakePackageConfigHelpers)

set(VELKOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Velkorlink)

# Each part is a component, named as the Debian package that holds it (packaging/).
install(TARGETS velkorlink EXPORT VelkorlinkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libvelkorlink1
          NAMELINK_COMPONENT libvelkorlink-dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT libvelkorlink1
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libvelkorlink-dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT libvelkorlink-dev)
install(TARGETS velkorutils EXPORT VelkorlinkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libvelkorutils1
          NAMELINK_COMPONENT libvelkorlink-dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT libvelkorutils1
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libvelkorlink-dev)
install(EXPORT VelkorlinkTargets NAMESPACE Velkorlink:: DESTINATION ${VELKOR_CMAKE_DIR}
        COMPONENT libvelkorlink-dev)

configure_package_config_file(cmake/VelkorlinkConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VelkorlinkConfig.cmake INSTALL_DESTINATION ${VELKOR_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VelkorlinkConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VelkorlinkConfig.cmake
              ${PROJECT_BINARY_DIR}/VelkorlinkConfigVersion.cmake
        DESTINATION ${VELKOR_CMAKE_DIR} COMPONENT libvelkorlink-dev)

# The pkg-config file finds the prefix from its own folder, however deep the library folder is
# (lib, or lib/x86_64-linux-gnu on Debian).
file(RELATIVE_PATH VELKOR_PC_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VELKOR_PC_PREFIX "${VELKOR_PC_PREFIX}")
# Outside the system's library folders a host finds the library where it was installed.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(VELKOR_PC_RPATH "")
else()
  set(VELKOR_PC_RPATH " -Wl,-rpath,\${libdir}")
endif()
configure_file(cmake/velkorlink.pc.in ${PROJECT_BINARY_DIR}/velkorlink.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/velkorlink.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT libvelkorlink-dev)
