# What makes the guard module shippable inside a game: its file names, what
# it exports, what it needs on a player's machine, and its version resource.
# Included by src/CMakeLists.txt once the target vorn_guard exists.

set(VORN_GUARD_SOURCE_DIR ${PROJECT_SOURCE_DIR}/src/guard)

if(WIN32)
  # vorn_guard.dll with its import library libvorn_guard.dll.a. The .def is
  # the one list of exports: the DLL is linked with it, and the MSVC import
  # library below is made from it.
  set_target_properties(vorn_guard PROPERTIES PREFIX "")
  target_sources(vorn_guard PRIVATE ${VORN_GUARD_SOURCE_DIR}/vorn_guard.def)

  vorn_add_version_resource(vorn_guard DESCRIPTION "VORN guard module"
                            FILE_TYPE VFT_DLL)

  # mingw's own import library is libvorn_guard.dll.a; studios on MSVC get
  # vorn_guard.lib, made by the cross toolchain's dlltool. (An MSVC build of
  # the module makes vorn_guard.lib itself.)
  if(NOT MSVC)
    if(NOT CMAKE_DLLTOOL)
      message(FATAL_ERROR "dlltool not found: it makes vorn_guard.lib")
    endif()
    set(VORN_GUARD_MSVC_IMPLIB ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/vorn_guard.lib)
    # Run in the output folder: dlltool names the library's inner symbols
    # after the output path, which must not carry the build machine's.
    add_custom_command(
      OUTPUT ${VORN_GUARD_MSVC_IMPLIB}
      COMMAND ${CMAKE_DLLTOOL} --machine i386:x86-64
              --input-def ${VORN_GUARD_SOURCE_DIR}/vorn_guard.def
              --dllname vorn_guard.dll --output-lib vorn_guard.lib
      WORKING_DIRECTORY ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}
      DEPENDS ${VORN_GUARD_SOURCE_DIR}/vorn_guard.def
      COMMENT "Import library vorn_guard.lib for MSVC")
    add_custom_target(vorn_guard_msvc_implib ALL
                      DEPENDS ${VORN_GUARD_MSVC_IMPLIB})
    # For cmake/install.cmake, which runs in the top-level scope.
    set(VORN_GUARD_MSVC_IMPLIB ${VORN_GUARD_MSVC_IMPLIB} PARENT_SCOPE)
  endif()
  return()
endif()

set_target_properties(vorn_guard PROPERTIES C_VISIBILITY_PRESET hidden
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
# Exports the C API only, and keeps the module unloadable (dlclose).
target_link_options(vorn_guard PRIVATE
  "LINKER:--version-script=${VORN_GUARD_SOURCE_DIR}/vorn_guard.map")
set_property(TARGET vorn_guard APPEND PROPERTY LINK_DEPENDS
  ${VORN_GUARD_SOURCE_DIR}/vorn_guard.map)

# The SONAME is libvorn_guard.so.1 (the service recognises the module in a
# client by it), and the file is libvorn_guard.so with libvorn_guard.so.1 a
# link to it. That layout dates from when the service went by the mapped
# file's name; it stays until the package is split so that the usual one
# (the file under its SONAME, the bare .so a development link) passes
# lintian. CMake's SOVERSION would make the usual one, so the SONAME is set
# by hand and the link made here and at install.
set(VORN_GUARD_SONAME libvorn_guard.so.1)
set(VORN_GUARD_SONAME ${VORN_GUARD_SONAME} PARENT_SCOPE)  # for install.cmake
set_target_properties(vorn_guard PROPERTIES NO_SONAME ON)
target_link_options(vorn_guard PRIVATE "LINKER:-soname,${VORN_GUARD_SONAME}")
# Programs of this build linked with the module need the link too.
add_custom_command(TARGET vorn_guard POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E create_symlink $<TARGET_FILE_NAME:vorn_guard>
          $<TARGET_FILE_DIR:vorn_guard>/${VORN_GUARD_SONAME})
