#include "session/session_worker.h"

#include <atomic>
#include <cstdint>

#include "session/handshake.h"
#include "session/session_loop.h"

namespace vorn {

namespace {

std::atomic<int> running_workers{0};

}  // namespace

int active_session_workers() { return running_workers.load(); }

void SessionWorker(void* pipe_argument) {
  ++running_workers;
  os::PipeHandle pipe;
  pipe.raw = reinterpret_cast<std::intptr_t>(pipe_argument);
  std::optional<SessionState> state = run_handshake(pipe);
  if (state) run_session_loop(*state);
  --running_workers;
}

}  // namespace vorn
