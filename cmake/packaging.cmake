# Packages built by `cpack` in a build folder: a ZIP for Windows
# (vorn-guard-1.0.0-win64.zip) with what cmake/install.cmake installs in the
# component "vorn", and for Linux one .deb per component installed there
# (cmake/deb_packages.cmake): vorn-guard_1.0.0_amd64.deb,
# libvorn-guard1_1.0.0_amd64.deb and libvorn-guard-dev_1.0.0_amd64.deb.

set(CPACK_PACKAGE_NAME vorn-guard)
set(CPACK_PACKAGE_VENDOR "VORN")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "VORN Local Guard Service: local heartbeat and integrity guard for game clients")
# Lines of at most 80 columns: the .deb's extended description keeps them.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "The VORN Local Guard Service runs beside a protected game client. The"
  "client's guard module connects to it over a local endpoint, presents the"
  "SHA-256 of its executable and of the guard module, and proves it is alive"
  "with heartbeats. The service checks the client, answers every heartbeat,"
  "re-checks the files every 10 seconds and terminates a client that stops"
  "its heartbeats, replays or garbles a message, or fails the re-check."
  "Includes vorn-guard-probe, the operator's check tool.")
# Debian wants a name and a mail address; the reserved .invalid domain says
# that there is no public one.
set(CPACK_PACKAGE_CONTACT "VORN maintainers <maintainers@vorn.invalid>")
set(CPACK_RESOURCE_FILE_README ${CMAKE_CURRENT_SOURCE_DIR}/README.md)
# Packages carry stripped binaries; the build tree keeps the debug info.
set(CPACK_STRIP_FILES ON)

# Only the product; anything else with install rules stays out.
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};${PROJECT_NAME};${VORN_INSTALL_COMPONENT};/")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_PACKAGE_FILE_NAME
      ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_SYSTEM_NAME})
  # Extracted into a folder of the operator's choice (C:\Program Files\VORN),
  # the archive gives bin\, lib\, include\ and docs\ directly in it.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  # Its programs signed when a certificate is configured, as in the MSI.
  set(CPACK_VORN_SIGN_SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/packaging/windows/sign.sh)
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/sign_package.cmake)
else()
  set(CPACK_GENERATOR DEB)
  # The install step writes files that name their own prefix (the unit, the
  # pkg-config file): with DESTDIR staging, CMAKE_INSTALL_PREFIX is /usr then.
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_INSTALL_PREFIX /usr)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_NAME vorn-guard)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # What the binaries need, as dpkg-shlibdeps (dpkg-dev) reads it off them:
  # libc6 alone when they are self-contained (cmake/self_contained.cmake),
  # from the release the build machine's glibc names; 2.30 for the packages
  # that ship, which scripts/release-linux.sh builds in Debian 11. Without
  # dpkg-shlibdeps the same is stated by hand, with the build machine's
  # glibc as the floor (no binary can need a newer one).
  find_program(VORN_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(VORN_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  elseif(VORN_SELF_CONTAINED)
    execute_process(COMMAND getconf GNU_LIBC_VERSION
                    OUTPUT_VARIABLE vorn_glibc OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REGEX MATCH "[0-9]+\\.[0-9]+" vorn_glibc "${vorn_glibc}")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${vorn_glibc})")
    set(CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS "libc6 (>= ${vorn_glibc})")
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libc6 (>= 2.36), libgcc-s1 (>= 3.0), libssl3 (>= 3.0.0), libstdc++6 (>= 11)")
    set(CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS "libc6 (>= 2.36)")
  endif()
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  include(cmake/deb_packages.cmake)
endif()

include(CPack)

# The Windows Installer package, vorn-guard-<version>-x64.msi in the build
# folder, made with wixl (Debian package wixl; msitools for msiinfo and
# msibuild) from what the ZIP holds; not built by default:
#   cmake --build --preset windows --target vorn_msi
# Signed when a certificate is configured, see packaging/windows/sign.sh.
if(WIN32)
  set(VORN_MSI_FILE
      ${CMAKE_BINARY_DIR}/${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-x64.msi)
  # msi.cmake finds wixl, msiinfo and msibuild when it runs, and says what to
  # install when they are missing.
  add_custom_target(vorn_msi
    COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR}
            -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DVERSION=${PROJECT_VERSION}
            -DOUTPUT=${VORN_MSI_FILE} -P ${PROJECT_SOURCE_DIR}/cmake/msi.cmake
    COMMENT "Building ${VORN_MSI_FILE}"
    VERBATIM USES_TERMINAL)
  # Everything the install step takes.
  add_dependencies(vorn_msi vorn-guard-service vorn-guard-probe vorn_guard)
  if(TARGET vorn_guard_msvc_implib)
    add_dependencies(vorn_msi vorn_guard_msvc_implib)
  endif()
endif()
