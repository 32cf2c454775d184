#include "session/session_worker.h"

#include <exception>
#include <new>
#include <optional>
#include <utility>

#include "session/handshake.h"
#include "session/session_loop.h"

namespace vorn {

namespace {

class SessionWork final : public os::ThreadBody {
 public:
  SessionWork(Connection connection, UserPlace place)
      : connection_(std::move(connection)), place_(std::move(place)) {}

  void run() override {
    // Nothing a client does may take the service down. The session code
    // throws nothing of its own; what the standard library throws (no
    // memory for a string, a lock the OS refuses) ends this worker's own
    // connection only, released by its owners.
    try {
      std::optional<SessionState> state =
          run_handshake(std::move(connection_), place_.hash_turn());
      if (state) run_session_loop(*state);
    } catch (const std::exception&) {
    }
  }

 private:
  Connection connection_;
  // Given back when the work is destroyed, after the session has closed
  // the connection.
  UserPlace place_;
};

}  // namespace

std::unique_ptr<os::ThreadBody> session_work(Connection connection,
                                             UserPlace place) {
  return std::unique_ptr<os::ThreadBody>(
      new (std::nothrow) SessionWork(std::move(connection), std::move(place)));
}

}  // namespace vorn
