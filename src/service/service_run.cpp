#include "service/service_run.h"

#include "integrity/digest_policy.h"
#include "log/diagnostics.h"
#include "log/service_log.h"
#include "platform/runtime.h"
#include "protocol/rules.h"
#include "service/pipe_listener.h"
#include "session/supervisor.h"

namespace vorn {

os::Error service_run(const ServiceHooks& hooks) {
  if (os::Error error = os::listener_open()) {
    diagnose(DiagnosticLevel::error, "cannot listen: " + error.words());
    close_diagnostics(kDiagnosticsFlushMs);
    return error;
  }
  const std::string endpoint = os::endpoint_name();
  diagnose(DiagnosticLevel::info, std::string(kServiceTitle) +
                                      " started: listening on " + endpoint +
                                      ", logging to " + log_file_path() + ", " +
                                      describe(*current_digest_policy()));
  if (hooks.listening != nullptr) hooks.listening(endpoint);
  Supervisor threads;
  if (!threads.start(listener_work(threads))) {
    diagnose(DiagnosticLevel::error,
             "the listener thread cannot start: no client is served");
  }
  os::stop_event_wait();
  // At most kListenerStopWaitMs in all. Sessions end by themselves within
  // one pass of the stop, and what is left of the budget lets them write
  // their CLOSED lines; a listener still waiting for a client (Windows)
  // simply ends with the process. The stop never takes longer for them.
  (void)threads.wait_all(kListenerStopWaitMs);
  if (hooks.stopping != nullptr) hooks.stopping();
  os::listener_close();
  diagnose(DiagnosticLevel::info, std::string(kServiceTitle) + " stopped");
  close_diagnostics(kDiagnosticsFlushMs);
  return os::Error();
}

}  // namespace vorn
