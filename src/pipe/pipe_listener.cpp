#include "pipe/pipe_listener.h"

#include <cstdint>
#include <new>

#include "log/service_log.h"
#include "pipe/pipe_channel.h"
#include "platform/platform.h"
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
        // The worker owns the instance (and this copy of its handle) from
        // here on.
        auto* handed = new (std::nothrow) os::PipeHandle(pipe);
        if (handed == nullptr ||
            !os::start_detached_thread(SessionWorker, handed)) {
          delete handed;
          os::pipe_disconnect(pipe);
          os::pipe_close(pipe);
        }
        break;
    }
  }
}

}  // namespace vorn
