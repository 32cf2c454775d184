# What a player's loader sees of the Linux guard module: the SONAME
# libvorn_guard.so.1, and nothing needed beyond glibc (libcrypto, libstdc++
# and libgcc are inside it). ld-linux is glibc's too: the module's
# thread-local data is reached through its __tls_get_addr.
#   cmake -DREADELF=<readelf> -DMODULE=<libvorn_guard.so.1> -P guard_needs.cmake
execute_process(COMMAND ${READELF} -d ${MODULE} OUTPUT_VARIABLE dynamic
                RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT dynamic MATCHES "\\(SONAME\\)")
  message(FATAL_ERROR "cannot read the dynamic section of ${MODULE}")
endif()
if(NOT dynamic MATCHES "Library soname: \\[libvorn_guard\\.so\\.1\\]")
  message(FATAL_ERROR "${MODULE} lacks the SONAME libvorn_guard.so.1:\n${dynamic}")
endif()
string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" needed "${dynamic}")
foreach(entry IN LISTS needed)
  if(NOT entry MATCHES "\\[(libc\\.so\\.6|ld-linux-x86-64\\.so\\.2)\\]")
    message(FATAL_ERROR "${MODULE} needs more than glibc: ${entry}")
  endif()
endforeach()
