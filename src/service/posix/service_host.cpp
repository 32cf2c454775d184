#include "service/posix/service_host.h"

#include <malloc.h>
#include <signal.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "log/diagnostics.h"
#include "platform/posix/fd_util.h"
#include "platform/runtime.h"
#include "service/service_run.h"

namespace vorn {

namespace {

void on_stop_signal(int /*signal_number*/) { os::stop_event_set(); }

bool install_signal_handlers() {
  struct sigaction stop {};
  stop.sa_handler = on_stop_signal;
  sigemptyset(&stop.sa_mask);
  stop.sa_flags = SA_RESTART;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  // A client that vanishes mid-write must not kill the service, and a
  // terminal hanging up must not either (the service never takes one as
  // its controlling terminal, but it may be started from one).
  return sigaction(SIGTERM, &stop, nullptr) == 0 &&
         sigaction(SIGINT, &stop, nullptr) == 0 &&
         sigaction(SIGPIPE, &ignore, nullptr) == 0 &&
         sigaction(SIGHUP, &ignore, nullptr) == 0;
}

// The service manager's readiness protocol: one datagram of "KEY=value"
// lines to the socket named in NOTIFY_SOCKET ('@' starts an abstract name).
// Without that variable nobody is listening, and nothing is sent.
void notify_service_manager(const std::string& state) {
  const char* socket_name = std::getenv("NOTIFY_SOCKET");
  if (socket_name == nullptr) return;
  const std::string name = socket_name;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (name.size() < 2 || name.size() >= sizeof address.sun_path ||
      (name[0] != '/' && name[0] != '@')) {
    return;
  }
  std::memcpy(address.sun_path, name.data(), name.size());
  if (name[0] == '@') address.sun_path[0] = '\0';
  const socklen_t length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  os::posix::UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return;
  (void)::sendto(fd.get(), state.data(), state.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&address), length);
}

}  // namespace

int run_service_host() {
#if defined(__GLIBC__)
  // glibc gives every session thread a malloc arena of its own; the service
  // allocates a few strings per message, so two arenas are plenty and keep
  // 32 sessions well inside the resident-memory budget.
  mallopt(M_ARENA_MAX, 2);
#endif
  if (const os::Error error = os::stop_event_create()) {
    os::write_diagnostic(DiagnosticLevel::error,
                         "cannot create the stop event: " + error.words());
    return 1;
  }
  if (!install_signal_handlers()) {
    os::write_diagnostic(DiagnosticLevel::error,
                         "cannot install signal handlers");
    return 1;
  }
  ServiceHooks hooks;
  hooks.listening = [](const std::string& endpoint) {
    notify_service_manager("READY=1\nSTATUS=Listening on " + endpoint);
  };
  hooks.stopping = [] { notify_service_manager("STOPPING=1"); };
  // A failure to listen is told on the operator's channel.
  return service_run(hooks) ? 1 : 0;
}

}  // namespace vorn
