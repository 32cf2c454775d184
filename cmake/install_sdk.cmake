# What a studio builds its game against, beside the header and the library:
# the CMake package (find_package(VornGuard)) and the example client; on
# Linux the signing tool too (cmake/install.cmake), which the package names.
# Included by cmake/install.cmake, which sets the folders first:
#   VORN_SDK_BINDIR, VORN_SDK_LIBDIR, VORN_SDK_INCLUDEDIR (relative to the
#   prefix) and VORN_SDK_EXAMPLESDIR.
include(CMakePackageConfigHelpers)

set(vorn_cmake_dir ${VORN_SDK_LIBDIR}/cmake/VornGuard)
set(vorn_sdk_out ${CMAKE_BINARY_DIR}/sdk)
# The paths in the config are relative to its own folder (PACKAGE_INIT), so
# cpack's /usr and an unpacked ZIP anywhere both work.
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/packaging/cmake/VornGuardConfig.cmake.in
  ${vorn_sdk_out}/VornGuardConfig.cmake
  INSTALL_DESTINATION ${vorn_cmake_dir}
  PATH_VARS VORN_SDK_BINDIR VORN_SDK_LIBDIR VORN_SDK_INCLUDEDIR
  NO_SET_AND_CHECK_MACRO)
# 1.x takes any 1.y (the C API only grows within a major version); a
# consumer of another pointer size is refused.
write_basic_package_version_file(${vorn_sdk_out}/VornGuardConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${vorn_sdk_out}/VornGuardConfig.cmake
              ${vorn_sdk_out}/VornGuardConfigVersion.cmake
        DESTINATION ${vorn_cmake_dir} COMPONENT ${VORN_DEV_COMPONENT})

install(FILES examples/minimal_client.c examples/CMakeLists.txt
              examples/README.md
        DESTINATION ${VORN_SDK_EXAMPLESDIR}
        COMPONENT ${VORN_DEV_COMPONENT})
