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

# The file is libvorn_guard.so.1, named after its SONAME, by which the
# service recognises the module in a client and the loader finds it for a
# program linked with it; libvorn_guard.so is the development link that
# `-lvorn_guard` finds. CMake makes both, in the build tree and at install.
set(VORN_GUARD_SOVERSION 1)
set(VORN_GUARD_SOVERSION ${VORN_GUARD_SOVERSION} PARENT_SCOPE)  # for packaging
set_target_properties(vorn_guard PROPERTIES SOVERSION ${VORN_GUARD_SOVERSION})
