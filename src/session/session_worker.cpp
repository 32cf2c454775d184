#include "session/session_worker.h"

#include <cstdint>

#include "session/handshake.h"
#include "session/session_loop.h"

namespace vorn {

void SessionWorker(void* pipe_argument) {
  os::PipeHandle pipe;
  pipe.raw = reinterpret_cast<std::intptr_t>(pipe_argument);
  std::optional<SessionState> state = run_handshake(pipe);
  if (state) run_session_loop(*state);
}

}  // namespace vorn
