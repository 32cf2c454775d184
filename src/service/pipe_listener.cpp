#include "service/pipe_listener.h"

#include "log/diagnostics.h"
#include "log/service_log.h"
#include "pipe/connection.h"
#include "platform/runtime.h"
#include "session/session_worker.h"

namespace vorn {

void PipeListener(void* /*unused*/) {
  log_line(kBanner);
  // Told once with the OS's words, then counted: the loop retries quickly.
  RepeatedProblem trouble("the listener cannot take clients",
                          "the listener takes clients again");
  // The stop event is looked at before the first instance and after every
  // client, failed connection or failed creation.
  while (!os::stop_event_is_set()) {
    os::PipeHandle pipe;
    std::string error;
    const os::AcceptOutcome outcome = os::accept_client(pipe, error);
    if (!error.empty()) trouble.failed(DiagnosticLevel::error, error);
    switch (outcome) {
      case os::AcceptOutcome::create_failed:
        os::sleep_ms(kCreateRetryMs);
        break;
      case os::AcceptOutcome::connect_failed:
        break;
      case os::AcceptOutcome::connected:
        trouble.succeeded();
        // The worker owns the connection from here on; when none can start,
        // it is released here.
        (void)start_session_worker(Connection(pipe));
        break;
    }
  }
}

}  // namespace vorn
