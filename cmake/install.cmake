# What `cmake --install` and the packages put on a machine: the service, the
# probe, the guard module with its header, the operator's files and the docs.
# Every rule belongs to one of the components below, the only ones the
# packages take, so nothing else that might declare install rules (test
# frameworks) ends up in them. Tests have no install rules at all.
# On Linux each component is a Debian package (cmake/deb_packages.cmake):
#   vorn     the service, the probe, the operator's files and the docs
#   library  the guard module, for the games that load it
#   dev      what building a game against the module takes
# Windows installs one folder, and all of it is the component "vorn".

set(VORN_INSTALL_COMPONENT vorn)
if(WIN32)
  set(VORN_LIBRARY_COMPONENT ${VORN_INSTALL_COMPONENT})
  set(VORN_DEV_COMPONENT ${VORN_INSTALL_COMPONENT})
else()
  set(VORN_LIBRARY_COMPONENT library)
  set(VORN_DEV_COMPONENT dev)
endif()

if(WIN32)
  # A flat, self-contained folder: the scripts register the service exe that
  # sits next to them, and the probe finds the DLL beside itself.
  install(TARGETS vorn-guard-service vorn-guard-probe
          RUNTIME DESTINATION bin COMPONENT ${VORN_INSTALL_COMPONENT})
  # The DLL goes to bin (RUNTIME); its import library, libvorn_guard.dll.a,
  # to lib (ARCHIVE), for clients that link the module at build time.
  install(TARGETS vorn_guard
          RUNTIME DESTINATION bin COMPONENT ${VORN_INSTALL_COMPONENT}
          ARCHIVE DESTINATION lib COMPONENT ${VORN_INSTALL_COMPONENT})
  # The import library for MSVC, made from the same .def (cross builds).
  if(VORN_GUARD_MSVC_IMPLIB)
    install(FILES ${VORN_GUARD_MSVC_IMPLIB}
            DESTINATION lib COMPONENT ${VORN_INSTALL_COMPONENT})
  endif()
  install(FILES src/guard/include/vorn_guard.h
          DESTINATION include COMPONENT ${VORN_INSTALL_COMPONENT})
  install(PROGRAMS packaging/windows/install.cmd packaging/windows/uninstall.cmd
                   packaging/windows/log-folders.cmd
          DESTINATION bin COMPONENT ${VORN_INSTALL_COMPONENT})
  install(FILES README.md DESTINATION . COMPONENT ${VORN_INSTALL_COMPONENT})
  # The folder is read when installing, so documents added later are taken
  # without a new configure.
  install(DIRECTORY docs/ DESTINATION docs
          COMPONENT ${VORN_INSTALL_COMPONENT}
          FILES_MATCHING PATTERN "*.md")
  set(VORN_SDK_BINDIR bin)
  set(VORN_SDK_LIBDIR lib)
  set(VORN_SDK_INCLUDEDIR include)
  set(VORN_SDK_EXAMPLESDIR examples)
  include(cmake/install_sdk.cmake)
  return()
endif()

# Debian's documentation folder is named after the package.
set(CMAKE_INSTALL_DOCDIR share/doc/vorn-guard
    CACHE PATH "Documentation root (DATAROOTDIR/doc/vorn-guard)")
# Debian keeps libraries, and their pkg-config files, in the multiarch folder
# (lib/x86_64-linux-gnu), in /usr and /usr/local alike, so that a cross build
# finds the right one. GNUInstallDirs picks it for the prefix /usr only; a
# tree configured before this line holds GNUInstallDirs' own "lib", which is
# replaced too (a value given with -D is left alone).
if(CMAKE_LIBRARY_ARCHITECTURE AND EXISTS /etc/debian_version)
  get_property(vorn_libdir_doc CACHE CMAKE_INSTALL_LIBDIR PROPERTY HELPSTRING)
  if(NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR} OR
     vorn_libdir_doc STREQUAL "Object code libraries (lib)")
    set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH
        "Object code libraries (lib/${CMAKE_LIBRARY_ARCHITECTURE})" FORCE)
  endif()
endif()
include(GNUInstallDirs)
# The packages of the library and of its development files, named as Debian
# names them after the SONAME; each has a documentation folder of its own.
set(VORN_LIBRARY_PACKAGE libvorn-guard${VORN_GUARD_SOVERSION})
set(VORN_DEV_PACKAGE libvorn-guard-dev)

# The probe loads libvorn_guard.so.1 at run time; ../lib next to its own folder
# finds it in any prefix without an ldconfig run.
file(RELATIVE_PATH VORN_PROBE_TO_LIBDIR
     "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix/${CMAKE_INSTALL_LIBDIR}")
set_target_properties(vorn-guard-probe PROPERTIES
  INSTALL_RPATH "$ORIGIN/${VORN_PROBE_TO_LIBDIR}")

# The unit's ExecStart names /usr/bin/vorn-guard-service, so the service
# stays in bin rather than sbin.
install(TARGETS vorn-guard-service vorn-guard-probe
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT ${VORN_INSTALL_COMPONENT})
# The signing tool goes with what a studio builds against: a game's build
# machine signs with it and needs no service.
install(TARGETS vorn-guard-sign
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT ${VORN_DEV_COMPONENT})
# The file libvorn_guard.so.1 that games load, and the development link
# libvorn_guard.so that only building against it needs.
install(TARGETS vorn_guard
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        COMPONENT ${VORN_LIBRARY_COMPONENT}
        NAMELINK_COMPONENT ${VORN_DEV_COMPONENT})
install(FILES src/guard/include/vorn_guard.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT ${VORN_DEV_COMPONENT})

# The pkg-config file and the systemd unit name the prefix they are installed
# to, which is known only at install time: cpack installs to /usr whatever
# prefix was configured. Both are therefore written by the install step.
set(VORN_PC_TEMPLATE ${CMAKE_CURRENT_SOURCE_DIR}/packaging/linux/vorn-guard.pc.in)
install(CODE "
  set(VORN_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  set(vorn_pc \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/vorn-guard.pc\")
  message(STATUS \"Installing: \$ENV{DESTDIR}\${vorn_pc}\")
  configure_file(\"${VORN_PC_TEMPLATE}\" \"\$ENV{DESTDIR}\${vorn_pc}\" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\$ENV{DESTDIR}\${vorn_pc}\")
" COMPONENT ${VORN_DEV_COMPONENT})

# The unit's ExecStart and Documentation point into that prefix.
set(VORN_UNIT_SOURCE
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/linux/vorn-guard-service.service)
install(CODE "
  if(NOT EXISTS \"${VORN_UNIT_SOURCE}\")
    message(FATAL_ERROR \"systemd unit missing: ${VORN_UNIT_SOURCE}\")
  endif()
  set(vorn_service \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/vorn-guard-service\")
  set(vorn_docs \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}\")
  set(vorn_unit_file \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/vorn-guard-service.service\")
  file(READ \"${VORN_UNIT_SOURCE}\" vorn_unit)
  string(REPLACE \"/usr/bin/vorn-guard-service\" \"\${vorn_service}\"
         vorn_unit \"\${vorn_unit}\")
  string(REPLACE \"/usr/share/doc/vorn-guard\" \"\${vorn_docs}\"
         vorn_unit \"\${vorn_unit}\")
  message(STATUS \"Installing: \$ENV{DESTDIR}\${vorn_unit_file}\")
  file(WRITE \"\$ENV{DESTDIR}\${vorn_unit_file}\" \"\${vorn_unit}\")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\$ENV{DESTDIR}\${vorn_unit_file}\")
" COMPONENT ${VORN_INSTALL_COMPONENT})

# logrotate reads /etc/logrotate.d only: /etc for the prefix /usr (the
# package, where it is a conffile), <prefix>/etc for any other, as
# GNUInstallDirs places sysconfdir.
set(VORN_LOGROTATE_SOURCE
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/linux/vorn-guard.logrotate)
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(vorn_logrotate /etc/logrotate.d/vorn-guard)
  else()
    set(vorn_logrotate \"\${CMAKE_INSTALL_PREFIX}/etc/logrotate.d/vorn-guard\")
  endif()
  message(STATUS \"Installing: \$ENV{DESTDIR}\${vorn_logrotate}\")
  configure_file(\"${VORN_LOGROTATE_SOURCE}\" \"\$ENV{DESTDIR}\${vorn_logrotate}\" COPYONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\$ENV{DESTDIR}\${vorn_logrotate}\")
" COMPONENT ${VORN_INSTALL_COMPONENT})

# Manual pages and the changelog, compressed as Debian wants them: gzip -9n
# keeps no name or time stamp, so the same sources give the same bytes.
find_program(VORN_GZIP gzip REQUIRED)
set(vorn_gz_out ${CMAKE_BINARY_DIR}/packaging)
set(vorn_gz_files)
function(vorn_gzip source name)
  add_custom_command(
    OUTPUT ${vorn_gz_out}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${vorn_gz_out}/${name}
    COMMAND ${VORN_GZIP} -9nf ${vorn_gz_out}/${name}
    DEPENDS ${source}
    COMMENT "Compressing ${name}"
    VERBATIM)
  set(vorn_gz_files ${vorn_gz_files} ${vorn_gz_out}/${name}.gz PARENT_SCOPE)
endfunction()
set(vorn_linux ${CMAKE_CURRENT_SOURCE_DIR}/packaging/linux)
vorn_gzip(${vorn_linux}/man/vorn-guard-service.8 vorn-guard-service.8)
vorn_gzip(${vorn_linux}/man/vorn-guard-probe.1 vorn-guard-probe.1)
vorn_gzip(${vorn_linux}/man/vorn-guard-sign.1 vorn-guard-sign.1)
# A package that is its own upstream (version 1.0.0, no Debian revision)
# names its changelog changelog.gz.
vorn_gzip(${vorn_linux}/changelog changelog)
add_custom_target(vorn_compressed_docs ALL DEPENDS ${vorn_gz_files})
install(FILES ${vorn_gz_out}/vorn-guard-service.8.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
        COMPONENT ${VORN_INSTALL_COMPONENT})
install(FILES ${vorn_gz_out}/vorn-guard-probe.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT ${VORN_INSTALL_COMPONENT})
install(FILES ${vorn_gz_out}/vorn-guard-sign.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT ${VORN_DEV_COMPONENT})
# Debian wants both in the documentation folder of every package.
foreach(vorn_component_docdir IN ITEMS
    "${VORN_INSTALL_COMPONENT};${CMAKE_INSTALL_DOCDIR}"
    "${VORN_LIBRARY_COMPONENT};${CMAKE_INSTALL_DATAROOTDIR}/doc/${VORN_LIBRARY_PACKAGE}"
    "${VORN_DEV_COMPONENT};${CMAKE_INSTALL_DATAROOTDIR}/doc/${VORN_DEV_PACKAGE}")
  list(GET vorn_component_docdir 0 vorn_component)
  list(GET vorn_component_docdir 1 vorn_docdir)
  install(FILES ${vorn_gz_out}/changelog.gz ${vorn_linux}/copyright
          DESTINATION ${vorn_docdir} COMPONENT ${vorn_component})
endforeach()
# The changelog's newest entry is the release being built.
file(STRINGS ${vorn_linux}/changelog vorn_changelog_top LIMIT_COUNT 1)
if(NOT vorn_changelog_top MATCHES "^vorn-guard \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/linux/changelog starts with "
          "'${vorn_changelog_top}', not with version ${PROJECT_VERSION}")
endif()

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT ${VORN_INSTALL_COMPONENT})
# docs/ beside README.md, as in the sources, so the README's links work.
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
        COMPONENT ${VORN_INSTALL_COMPONENT}
        FILES_MATCHING PATTERN "*.md")

set(VORN_SDK_BINDIR ${CMAKE_INSTALL_BINDIR})
set(VORN_SDK_LIBDIR ${CMAKE_INSTALL_LIBDIR})
set(VORN_SDK_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
# The example goes with the header, in the -dev package.
set(VORN_SDK_EXAMPLESDIR
    ${CMAKE_INSTALL_DATAROOTDIR}/doc/${VORN_DEV_PACKAGE}/examples)
include(cmake/install_sdk.cmake)
