#include "service/service_run.h"

#include "integrity/digest_policy.h"
#include "log/diagnostics.h"
#include "log/service_log.h"
#include "platform/runtime.h"
#include "service/pipe_listener.h"
#include "session/session_worker.h"

namespace vorn {

namespace {

// After the stop: at most kListenerStopWaitMs in all. A listener still
// waiting for a client simply ends with the process; sessions end by
// themselves within one pass of the stop, and what is left of the budget
// lets them write their CLOSED lines. The stop never takes longer for it.
void wait_for_the_end(os::ThreadHandle& listener) {
  const std::uint64_t stop_tick = os::tick_ms();
  if (listener.open) {
    os::thread_wait(listener, kListenerStopWaitMs);
    os::thread_close(listener);
  }
  while (active_session_workers() > 0 &&
         os::tick_ms() - stop_tick < kListenerStopWaitMs) {
    os::sleep_ms(10);
  }
}

}  // namespace

bool service_run(const ServiceHooks& hooks, std::string& error) {
  if (!os::listener_open(error)) {
    diagnose(DiagnosticLevel::error, "cannot listen: " + error);
    flush_diagnostics(kDiagnosticsFlushMs);
    return false;
  }
  const std::string endpoint = os::endpoint_name();
  diagnose(DiagnosticLevel::info, std::string(kServiceTitle) +
                                      " started: listening on " + endpoint +
                                      ", logging to " + log_file_path() + ", " +
                                      describe(*current_digest_policy()));
  if (hooks.listening != nullptr) hooks.listening(endpoint);
  os::ThreadHandle listener = os::start_thread(PipeListener, nullptr);
  if (!listener.open) {
    diagnose(DiagnosticLevel::error,
             "the listener thread cannot start: no client is served");
  }
  os::stop_event_wait();
  wait_for_the_end(listener);
  if (hooks.stopping != nullptr) hooks.stopping();
  os::listener_close();
  diagnose(DiagnosticLevel::info, std::string(kServiceTitle) + " stopped");
  flush_diagnostics(kDiagnosticsFlushMs);
  return true;
}

}  // namespace vorn
