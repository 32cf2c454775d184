# The guard module ships inside games: it must carry only what it calls,
# nothing of the service's integrity check, process inspection or log.
#   cmake -DNM=<nm> -DMODULE=<built module> -P guard_symbols.cmake
execute_process(COMMAND ${NM} ${MODULE} OUTPUT_VARIABLE symbols
                RESULT_VARIABLE result ERROR_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} could not read ${MODULE}")
endif()
# Without its own entry points nothing was read, and no absence proves much.
if(NOT symbols MATCHES "vorn_guard_start")
  message(FATAL_ERROR "no symbols read from ${MODULE}")
endif()
foreach(name integrity_check integrity_recheck examine_client_file log_line
             run_handshake append_to_log_file)
  if(symbols MATCHES "${name}")
    message(FATAL_ERROR "${MODULE} carries ${name}, which it never calls")
  endif()
endforeach()
