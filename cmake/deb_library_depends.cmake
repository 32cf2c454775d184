# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) once the components are staged and
# before the .debs are made: the Depends of the library's package, from
# dpkg-shlibdeps. cpack's own run of it (CPACK_DEBIAN_PACKAGE_SHLIBDEPS)
# would also give that package maintainer scripts that call ldconfig, which
# its ldconfig trigger replaces and lintian rejects.
# Without dpkg-shlibdeps the list stated in cmake/packaging.cmake stays.
if(NOT CPACK_VORN_DPKG_SHLIBDEPS)
  return()
endif()

file(GLOB_RECURSE vorn_module LIST_DIRECTORIES false
     "${CPACK_TEMPORARY_DIRECTORY}/${CPACK_VORN_LIBRARY_COMPONENT}/*/${CPACK_VORN_LIBRARY_FILE}")
list(LENGTH vorn_module vorn_count)
if(NOT vorn_count EQUAL 1)
  message(FATAL_ERROR "expected one staged ${CPACK_VORN_LIBRARY_FILE}, "
          "found: '${vorn_module}'")
endif()

# dpkg-shlibdeps runs in a Debian source tree: it wants debian/control.
set(vorn_work "${CPACK_TOPLEVEL_DIRECTORY}/library-shlibdeps")
file(MAKE_DIRECTORY "${vorn_work}/debian")
file(TOUCH "${vorn_work}/debian/control")
execute_process(
  COMMAND "${CPACK_VORN_DPKG_SHLIBDEPS}" -O "${vorn_module}"
  WORKING_DIRECTORY "${vorn_work}"
  OUTPUT_VARIABLE vorn_output ERROR_VARIABLE vorn_error
  RESULT_VARIABLE vorn_result OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT vorn_result EQUAL 0 OR NOT vorn_output MATCHES "^shlibs:Depends=(.+)$")
  message(FATAL_ERROR "dpkg-shlibdeps ${vorn_module}: ${vorn_error}")
endif()
set(CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
