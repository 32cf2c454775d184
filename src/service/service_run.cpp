#include "service/service_run.h"

#include "pipe/pipe_listener.h"
#include "platform/platform.h"

namespace vorn {

void run_until_stopped() {
  // A listener that cannot be started leaves the service running without
  // clients until it is stopped.
  os::ThreadHandle listener = os::start_thread(PipeListener, nullptr);
  os::stop_event_wait();
  if (listener.open) {
    // A listener still waiting for a client simply ends with the process.
    os::thread_wait(listener, kListenerStopWaitMs);
    os::thread_close(listener);
  }
}

}  // namespace vorn
