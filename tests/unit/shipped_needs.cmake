# What a player's or operator's loader sees of the shipped Linux binaries:
# nothing needed beyond glibc (libcrypto, libstdc++ and libgcc are inside
# each), no glibc symbol version newer than GLIBC_MAX when it is given, and
# the SONAME libvorn_guard.so.1 on the module. ld-linux is glibc's too: the
# module's thread-local data is reached through its __tls_get_addr; libdl
# and libpthread are glibc's own before 2.34 merged them into libc.
#   cmake -DREADELF=<readelf> -DFILES=<a;b;...> [-DGLIBC_MAX=2.31]
#         -P shipped_needs.cmake
foreach(file IN LISTS FILES)
  execute_process(COMMAND ${READELF} -d -V ${file} OUTPUT_VARIABLE dynamic
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0 OR NOT dynamic MATCHES "\\(NEEDED\\)")
    message(FATAL_ERROR "cannot read the dynamic section of ${file}")
  endif()
  if(file MATCHES "libvorn_guard" AND
     NOT dynamic MATCHES "Library soname: \\[libvorn_guard\\.so\\.1\\]")
    message(FATAL_ERROR "${file} lacks the SONAME libvorn_guard.so.1")
  endif()
  string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" needed "${dynamic}")
  foreach(entry IN LISTS needed)
    if(NOT entry MATCHES
       "\\[(libc\\.so\\.6|libdl\\.so\\.2|libpthread\\.so\\.0|ld-linux-x86-64\\.so\\.2)\\]")
      message(FATAL_ERROR "${file} needs more than glibc: ${entry}")
    endif()
  endforeach()
  if(DEFINED GLIBC_MAX)
    string(REGEX MATCHALL "Name: GLIBC_[0-9.]+" versions "${dynamic}")
    foreach(version IN LISTS versions)
      string(REPLACE "Name: GLIBC_" "" version "${version}")
      if(version VERSION_GREATER GLIBC_MAX)
        message(FATAL_ERROR "${file} needs GLIBC_${version} (at most "
                "GLIBC_${GLIBC_MAX} may be named)")
      endif()
    endforeach()
  endif()
endforeach()
