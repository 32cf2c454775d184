# Debian's hardening flags for the product's binaries: dpkg-buildflags gives
# the compiler and linker options a Debian package is built with (stack
# protector, _FORTIFY_SOURCE, format checks, RELRO; with hardening=+all also
# BIND_NOW). Taken when dpkg-buildflags is there, so the .deb made from the
# linux preset carries them. Not for Windows, nor the sanitizer and fuzz
# builds: they are no product, are built without optimisation (fortify needs
# it) and bring their own runtime checks.
#
# An environment that sets DEB_BUILD_MAINT_OPTIONS (a Debian build) keeps its
# own choice; otherwise every hardening feature is asked for.

if(WIN32 OR VORN_SANITIZE OR VORN_FUZZ)
  return()
endif()

find_program(VORN_DPKG_BUILDFLAGS dpkg-buildflags)
if(VORN_DPKG_BUILDFLAGS)
  set(vorn_buildflags_default ON)
else()
  set(vorn_buildflags_default OFF)
endif()
option(VORN_DEB_BUILDFLAGS "Build with the flags of dpkg-buildflags"
       ${vorn_buildflags_default})
if(NOT VORN_DEB_BUILDFLAGS)
  return()
endif()
if(NOT VORN_DPKG_BUILDFLAGS)
  message(FATAL_ERROR "VORN_DEB_BUILDFLAGS is ON but dpkg-buildflags is missing "
          "(package dpkg-dev)")
endif()

if(DEFINED ENV{DEB_BUILD_MAINT_OPTIONS})
  set(vorn_maint_options "$ENV{DEB_BUILD_MAINT_OPTIONS}")
else()
  set(vorn_maint_options "hardening=+all")
endif()

# -ffile-prefix-map names the folder it is run in: the sources, so no build
# machine's path ends up in the binaries.
function(vorn_dpkg_buildflag name out)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env "DEB_BUILD_MAINT_OPTIONS=${vorn_maint_options}"
            ${VORN_DPKG_BUILDFLAGS} --get ${name}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE value OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-buildflags --get ${name} failed (${status})")
  endif()
  separate_arguments(value UNIX_COMMAND "${value}")
  set(${out} ${value} PARENT_SCOPE)
endfunction()

vorn_dpkg_buildflag(CPPFLAGS vorn_cppflags)
vorn_dpkg_buildflag(CFLAGS vorn_cflags)
vorn_dpkg_buildflag(CXXFLAGS vorn_cxxflags)
vorn_dpkg_buildflag(LDFLAGS vorn_ldflags)

# After the build type's own -O and -g, as a Debian build would have them.
add_compile_options(${vorn_cppflags}
                    "$<$<COMPILE_LANGUAGE:C>:${vorn_cflags}>"
                    "$<$<COMPILE_LANGUAGE:CXX>:${vorn_cxxflags}>")
add_link_options(${vorn_ldflags})
message(STATUS "dpkg-buildflags (${vorn_maint_options}): "
        "${vorn_cppflags} | ${vorn_cxxflags} | ${vorn_ldflags}")
