#include "service/service_run.h"

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
  if (!os::listener_open(error)) return false;
  if (hooks.listening != nullptr) hooks.listening(os::endpoint_name());
  os::ThreadHandle listener = os::start_thread(PipeListener, nullptr);
  os::stop_event_wait();
  wait_for_the_end(listener);
  if (hooks.stopping != nullptr) hooks.stopping();
  os::listener_close();
  return true;
}

}  // namespace vorn
