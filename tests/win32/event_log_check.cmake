# The event log side of the diagnostic channel. Wine's event log keeps
# nothing: it hands each text to its "eventlog" debug channel at the level of
# the event's type, which is what can be read here. That the events land in
# the Application log under the registered source, with the service's
# message table, needs a real Windows.
#   cmake -DRUN=<wine-run.sh> -DWRITER=<vorn_diagnostic_writer.exe> -P ...
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env
          VORN_WINEDEBUG=-all,err+eventlog,warn+eventlog,trace+eventlog
          ${RUN} ${WRITER}
  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${WRITER} exited with ${result}:\n${err}")
endif()
foreach(expected
    "err:eventlog:ReportEventW L\"diagnostic test: error\""
    "warn:eventlog:ReportEventW L\"diagnostic test: warning\""
    "trace:eventlog:ReportEventW L\"diagnostic test: information\"")
  string(FIND "${out}${err}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "not reported: ${expected}\n${err}")
  endif()
endforeach()
