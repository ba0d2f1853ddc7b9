# Installation: the headers, libtav.so. (with a libtav.so link for -ltav),
# libtavplatform.so, pkg-config files and a CMake package.
#
#   include/tav.h                  the C library
#   include/tav/tav.hpp, json.hpp  the header-only C++ layer
#   include/tav/adapters/*.h       the header-only adapters, one per library (C and C++)
#   include/tav/platform/zuno.h    the platform functions (hosts write <tav/platform/zuno.h>)
#   lib/libtav.so., lib/libtav.so -> libtav.so., lib/libtavplatform.so
#   lib/pkgconfig/tav.pc, tav-platform.pc
#   lib/cmake/tav/tavConfig.cmake, tavConfigVersion.cmake
#
# The package config is written by hand rather than exported: it names the
# odd file libtav.so. and its soname exactly, so consumers link it by path and
# record libtav.so. as needed.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS tav tavplatform LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
# The build tree's libtav.so link, installed as a link.
install(FILES ${PROJECT_BINARY_DIR}/libtav.so DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/tav.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/tav/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tav
        FILES_MATCHING PATTERN "*.hpp" PATTERN "*.h")
install(FILES ${PROJECT_SOURCE_DIR}/platform/zuno.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tav/platform)

# pkg-config files find their prefix from their own place, so the tree can be moved.
file(RELATIVE_PATH TAV_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" TAV_PC_TO_PREFIX "${TAV_PC_TO_PREFIX}")
foreach(pc tav tav-platform)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

set(TAV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tav)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/tavConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cmake/tavConfig.cmake
  INSTALL_DESTINATION ${TAV_CMAKE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/tavConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/cmake/tavConfig.cmake ${PROJECT_BINARY_DIR}/cmake/tavConfigVersion.cmake
        DESTINATION ${TAV_CMAKE_DIR})
