#include "service/pipe_listener.h"

#include <utility>

#include "log/diagnostics.h"
#include "log/service_log.h"
#include "pipe/connection.h"
#include "platform/runtime.h"
#include "protocol/rules.h"
#include "session/session_worker.h"
#include "session/user_places.h"

namespace vorn {

namespace {

// A connection over its user's share is closed at once, so that the place
// goes to another user's game. The worker owns an admitted connection from
// here on; when none can start, it is released here.
void serve(Supervisor& workers, Connection connection,
           const os::ClientUser& user) {
  UserPlace place;
  if (user_places().admit(user, os::tick_ms(), place) != Admission::admitted) {
    return;
  }
  (void)workers.start(session_work(std::move(connection), std::move(place)));
}

void listen(Supervisor& workers) {
  log_line(kBanner);
  // Told once with the OS's words, then counted: the loop retries quickly.
  RepeatedProblem trouble("the listener cannot take clients",
                          "the listener takes clients again");
  // The stop event is looked at before the first instance and after every
  // client, failed connection or failed creation.
  while (!os::stop_event_is_set()) {
    os::PipeHandle pipe;
    os::Error error;
    const os::AcceptOutcome outcome = os::accept_client(pipe, error);
    if (error) trouble.failed(DiagnosticLevel::error, error.words());
    switch (outcome) {
      case os::AcceptOutcome::create_failed:
        os::sleep_ms(kCreateRetryMs);
        break;
      case os::AcceptOutcome::connect_failed:
        break;
      case os::AcceptOutcome::connected: {
        trouble.succeeded();
        const os::ClientUser user = os::pipe_client_user(pipe);
        serve(workers, Connection(std::move(pipe)), user);
        break;
      }
    }
  }
}

class ListenerWork final : public os::ThreadBody {
 public:
  explicit ListenerWork(Supervisor workers) : workers_(std::move(workers)) {}
  void run() override { listen(workers_); }

 private:
  Supervisor workers_;
};

}  // namespace

std::unique_ptr<os::ThreadBody> listener_work(Supervisor workers) {
  return std::unique_ptr<os::ThreadBody>(new (std::nothrow)
                                             ListenerWork(std::move(workers)));
}

}  // namespace vorn
