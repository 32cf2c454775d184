#include "service/pipe_listener.h"

#include "log/service_log.h"
#include "pipe/connection.h"
#include "platform/runtime.h"
#include "session/session_worker.h"

namespace vorn {

void PipeListener(void* /*unused*/) {
  log_line(kBanner);
  // The stop event is looked at before the first instance and after every
  // client, failed connection or failed creation.
  while (!os::stop_event_is_set()) {
    os::PipeHandle pipe;
    switch (os::accept_client(pipe)) {
      case os::AcceptOutcome::create_failed:
        os::sleep_ms(kCreateRetryMs);
        break;
      case os::AcceptOutcome::connect_failed:
        break;
      case os::AcceptOutcome::connected:
        // The worker owns the connection from here on; when none can start,
        // it is released here.
        (void)start_session_worker(Connection(pipe));
        break;
    }
  }
}

}  // namespace vorn
