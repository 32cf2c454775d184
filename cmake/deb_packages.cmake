# The Linux packages: one .deb per install component (cmake/install.cmake),
# laid out as Debian lays out a shared library, so that a game's build
# machine takes the module and its development files without the service,
# and a player's machine the module alone:
#
#   component  package            section   holds
#   library    libvorn-guard1     libs      libvorn_guard.so.1
#   dev        libvorn-guard-dev  libdevel  header, libvorn_guard.so link,
#                                           pkg-config file, CMake package,
#                                           example client, signing tool
#   vorn       vorn-guard         admin     service, probe, unit, logrotate
#                                           snippet, manual pages, docs
#
# Included by cmake/packaging.cmake, which sets what the three share. The
# CPACK_DEBIAN_<COMPONENT>_* variables spell each component in capitals.

set(CPACK_DEB_COMPONENT_INSTALL ON)
# Only these components ("ALL" stands for the list).
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/")
set(CPACK_COMPONENTS_ALL
    ${VORN_LIBRARY_COMPONENT} ${VORN_DEV_COMPONENT} ${VORN_INSTALL_COMPONENT})
set(CPACK_DEBIAN_PACKAGE_SOURCE vorn-guard)
# A component's DEPENDS become "package (= version)": each package needs the
# library of its own release.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# cpack would put the project's summary before every package's description;
# each has a synopsis of its own instead.
set(vorn_service_synopsis "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}")
unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)

set(vorn_linux ${CMAKE_CURRENT_SOURCE_DIR}/packaging/linux)

# The guard module. triggers has dpkg refresh the loader's cache; shlibs
# tells dpkg-shlibdeps what a program linked with libvorn_guard.so.1 needs.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME ${VORN_LIBRARY_PACKAGE})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
string(JOIN "\n" CPACK_DEBIAN_LIBRARY_DESCRIPTION
  "VORN guard module for game clients"
  "The guard module is the library that a protected game client loads. It"
  "connects to the VORN Local Guard Service, presents the SHA-256 of the"
  "client's executable and of the module, and sends the heartbeats that keep"
  "the client's session. The service is in the package vorn-guard.")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA
    ${vorn_linux}/triggers ${vorn_linux}/shlibs)
# Its Depends come from dpkg-shlibdeps all the same, run by this script.
# CMake before 3.19 (Debian 11's, which builds the shipped packages) runs no
# such script, but its cpack also writes no ldconfig call for a library in
# the multiarch folder: there cpack's own run of dpkg-shlibdeps is right.
if(CMAKE_VERSION VERSION_LESS 3.19)
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_SHLIBDEPS ${CPACK_DEBIAN_PACKAGE_SHLIBDEPS})
else()
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_PRE_BUILD_SCRIPTS
      ${CMAKE_CURRENT_SOURCE_DIR}/cmake/deb_library_depends.cmake)
endif()
set(CPACK_VORN_DPKG_SHLIBDEPS ${VORN_DPKG_SHLIBDEPS})
set(CPACK_VORN_LIBRARY_COMPONENT ${VORN_LIBRARY_COMPONENT})
set(CPACK_VORN_LIBRARY_FILE libvorn_guard.so.${VORN_GUARD_SOVERSION})

# What building a game against the module takes.
set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${VORN_DEV_PACKAGE})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS ${VORN_LIBRARY_COMPONENT})
# The library, and what the signing tool needs: found by dpkg-shlibdeps,
# or the list stated by hand for the service's package.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${CPACK_DEBIAN_PACKAGE_DEPENDS}")
string(JOIN "\n" CPACK_DEBIAN_DEV_DESCRIPTION
  "VORN guard module for game clients: development files"
  "The header vorn_guard.h, the link libvorn_guard.so, the pkg-config file"
  "vorn-guard.pc and the CMake package VornGuard, for building a game client"
  "against the guard module, with an example client, and vorn-guard-sign,"
  "which signs the game's files for operators who trust the publisher.")

# The service and the probe, which loads the guard module. The maintainer
# scripts handle the unit and the log folders; conffiles keeps an
# administrator's changes to the logrotate snippet.
set(CPACK_DEBIAN_VORN_PACKAGE_NAME vorn-guard)
set(CPACK_COMPONENT_VORN_DEPENDS ${VORN_LIBRARY_COMPONENT})
string(JOIN "\n" CPACK_DEBIAN_VORN_DESCRIPTION
  "${vorn_service_synopsis}" "${CPACK_PACKAGE_DESCRIPTION}"
  "The guard module that game clients load is in libvorn-guard1.")
set(CPACK_DEBIAN_VORN_PACKAGE_CONTROL_EXTRA
    ${vorn_linux}/postinst ${vorn_linux}/prerm ${vorn_linux}/postrm
    ${vorn_linux}/conffiles)
