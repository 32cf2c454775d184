# The guard module exports exactly the functions its header declares: none
# of its C++ runtime or libcrypto, and none missing. On Windows the .def,
# from which the DLL and vorn_guard.lib are made, lists the same.
#   cmake -DHEADER=<vorn_guard.h> -DMODULE=<module> -DFORMAT=elf -DNM=<nm>
#         -P guard_exports.cmake
#   cmake -DHEADER=... -DMODULE=... -DFORMAT=pe -DOBJDUMP=<objdump>
#         -DDEF=<vorn_guard.def> -P guard_exports.cmake
file(READ ${HEADER} header)
string(REGEX MATCHALL "VORN_GUARD_API[^;(]*[ *]vorn_guard_[a-z_]+[ \n]*\\("
       declarations "${header}")
set(declared "")
foreach(declaration IN LISTS declarations)
  string(REGEX MATCH "vorn_guard_[a-z_]+" name "${declaration}")
  list(APPEND declared ${name})
endforeach()
list(SORT declared)
if(NOT declared MATCHES "vorn_guard_start")
  message(FATAL_ERROR "no declarations read from ${HEADER}")
endif()

if(FORMAT STREQUAL "pe")
  execute_process(COMMAND ${OBJDUMP} -p ${MODULE} OUTPUT_VARIABLE dump
                  RESULT_VARIABLE result)
  # The export table's name list, after its heading: "\t[   3] vorn_guard_stop".
  string(FIND "${dump}" "[Ordinal/Name Pointer] Table" names_at)
  if(names_at GREATER_EQUAL 0)
    string(SUBSTRING "${dump}" ${names_at} -1 dump)
  else()
    set(dump "")
  endif()
  string(REGEX MATCHALL "\t\\[ *[0-9]+\\] [^\n]+" lines "${dump}")
  set(pattern "\\] (.+)$")
else()
  execute_process(COMMAND ${NM} -D --defined-only ${MODULE}
                  OUTPUT_VARIABLE dump RESULT_VARIABLE result)
  string(REGEX MATCHALL "[^\n]+" lines "${dump}")
  set(pattern " ([^ ]+)$")
endif()
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cannot read the exports of ${MODULE}")
endif()
set(exported "")
foreach(line IN LISTS lines)
  if(line MATCHES "${pattern}")
    list(APPEND exported ${CMAKE_MATCH_1})
  endif()
endforeach()
list(SORT exported)
if(NOT exported STREQUAL declared)
  message(FATAL_ERROR "${MODULE} exports\n  ${exported}\nthe header declares\n"
                      "  ${declared}")
endif()

if(DEF)
  file(STRINGS ${DEF} def_lines REGEX "^[ \t]+vorn_guard_")
  list(TRANSFORM def_lines STRIP)
  list(SORT def_lines)
  if(NOT def_lines STREQUAL declared)
    message(FATAL_ERROR "${DEF} lists\n  ${def_lines}\nthe header declares\n"
                        "  ${declared}")
  endif()
endif()
