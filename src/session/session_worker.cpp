#include "session/session_worker.h"

#include <atomic>
#include <cstdint>
#include <memory>

#include "session/handshake.h"
#include "session/session_loop.h"

namespace vorn {

namespace {

std::atomic<int> running_workers{0};

}  // namespace

int active_session_workers() { return running_workers.load(); }

void SessionWorker(void* pipe_argument) {
  ++running_workers;
  // The listener hands over a heap-held handle; the worker owns it now.
  const std::unique_ptr<os::PipeHandle> handed(
      static_cast<os::PipeHandle*>(pipe_argument));
  // Nothing a client does may take the service down: a worker that runs out
  // of memory ends its own connection only (its handles may then leak, which
  // costs one instance, not the service).
  try {
    std::optional<SessionState> state = run_handshake(*handed);
    if (state) run_session_loop(*state);
  } catch (...) {
  }
  --running_workers;
}

}  // namespace vorn
