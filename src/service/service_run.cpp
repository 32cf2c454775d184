#include "service/service_run.h"

#include "pipe/pipe_listener.h"
#include "platform/platform.h"
#include "session/session_worker.h"

namespace vorn {

void run_until_stopped() {
  // A listener that cannot be started leaves the service running without
  // clients until it is stopped.
  os::ThreadHandle listener = os::start_thread(PipeListener, nullptr);
  os::stop_event_wait();
  const std::uint64_t stop_tick = os::tick_ms();
  if (listener.open) {
    // A listener still waiting for a client simply ends with the process.
    os::thread_wait(listener, kListenerStopWaitMs);
    os::thread_close(listener);
  }
  // Sessions end by themselves within one pass of the stop. What is left of
  // the same budget lets them write their SESSION CLOSED lines before the
  // process ends; the stop never takes longer for it.
  while (active_session_workers() > 0 &&
         os::tick_ms() - stop_tick < kListenerStopWaitMs) {
    os::sleep_ms(10);
  }
}

}  // namespace vorn
