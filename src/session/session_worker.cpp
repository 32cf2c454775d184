#include "session/session_worker.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "platform/runtime.h"
#include "session/handshake.h"
#include "session/session_loop.h"

namespace vorn {

namespace {

std::atomic<int> running_workers{0};

struct HandOver {
  Connection connection;
  // Given back after the connection is closed.
  UserPlace place;
};

}  // namespace

int active_session_workers() { return running_workers.load(); }

bool start_session_worker(Connection connection, UserPlace place) {
  // Without memory for the hand-over, both are released on return.
  auto* handed =
      new (std::nothrow) HandOver{std::move(connection), std::move(place)};
  if (handed == nullptr) return false;
  // Counted before the thread exists, so a stop right after the hand-over
  // still waits for this worker's close.
  ++running_workers;
  if (!os::start_detached_thread(SessionWorker, handed)) {
    --running_workers;
    delete handed;
    return false;
  }
  return true;
}

void SessionWorker(void* connection_argument) {
  // The listener hands over a heap-held connection; the worker owns it now.
  const std::unique_ptr<HandOver> handed(
      static_cast<HandOver*>(connection_argument));
  // Nothing a client does may take the service down: a worker that runs out
  // of memory ends its own connection only, released by its owners.
  try {
    std::optional<SessionState> state =
        run_handshake(std::move(handed->connection), handed->place.hash_turn());
    if (state) run_session_loop(*state);
  } catch (...) {
  }
  --running_workers;
}

}  // namespace vorn
