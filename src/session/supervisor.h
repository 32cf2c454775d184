// The service's threads: the listener and one worker per session, owned from
// their start. The stop waits for all of them together, within one deadline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/runtime.h"

namespace vorn {

// A handle: copies share the same threads. The listener keeps one to start
// workers with, so a listener that outlives the stop's wait still starts
// them safely.
class Supervisor {
 public:
  Supervisor();

  // Starts `body` on a thread of its own, counted before the thread exists,
  // so that a stop right after sees it. False when none starts (or `body` is
  // empty); `body` and what it holds are then released.
  bool start(std::unique_ptr<os::ThreadBody> body);

  // Threads started and not yet ended.
  std::size_t running() const;

  // Waits until every thread has ended, or at most `timeout_ms`; true when
  // none runs. One still running then ends with the process.
  bool wait_all(std::uint32_t timeout_ms) const;

  // What the copies and the running threads share.
  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace vorn
