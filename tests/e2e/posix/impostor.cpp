// A socket that a process running as "nobody" listens on: the credentials a
// client sees are those of the listen() call.
#include "e2e/impostor.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace vorn::test {

namespace {

constexpr uid_t kNobody = 65534;
constexpr int kAcceptWaitMs = 30000;
// Once clients came, this long without another ends the serving.
constexpr int kQuietMs = 2000;
constexpr int kReadWaitMs = 10000;

// Reads one client to its end; the bytes it sent, or -1 when it did not end.
long drain(int client) {
  for (long total = 0;;) {
    pollfd readable{client, POLLIN, 0};
    if (::poll(&readable, 1, kReadWaitMs) != 1) return -1;
    char buffer[4096];
    const ssize_t length = ::recv(client, buffer, sizeof buffer, 0);
    if (length <= 0) return total;
    total += length;
  }
}

// The child's whole life: only system calls, as after fork in a threaded
// process. Serves every client (a client may look before it connects for
// real) and reports the bytes they sent in all (or -1) through `report`.
[[noreturn]] void serve(const std::string& path, int report) {
  long received = -1;
  const int listener = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (listener >= 0 &&
      ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) ==
          0 &&
      ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 &&
      ::listen(listener, 1) == 0) {
    for (int wait_ms = kAcceptWaitMs;; wait_ms = kQuietMs) {
      pollfd ready{listener, POLLIN, 0};
      if (::poll(&ready, 1, wait_ms) != 1) break;
      const int client = ::accept(listener, nullptr, nullptr);
      const long bytes = client >= 0 ? drain(client) : -1;
      if (client >= 0) ::close(client);
      if (bytes < 0) {
        received = -1;
        break;
      }
      received = (received < 0 ? 0 : received) + bytes;
    }
  }
  (void)!::write(report, &received, sizeof received);
  ::_exit(0);
}

}  // namespace

struct Impostor::State {
  std::string path;
  pid_t child = -1;
  int report = -1;
};

Impostor::Impostor() : state_(new State) {}

Impostor::~Impostor() {
  if (state_->child > 0) {
    ::kill(state_->child, SIGKILL);
    ::waitpid(state_->child, nullptr, 0);
  }
  if (state_->report >= 0) ::close(state_->report);
}

bool Impostor::start(const TempDir& dir, std::string& error, bool& skip) {
  skip = ::geteuid() != 0;
  if (skip) {
    error = "only root can listen as another user";
    return false;
  }
  state_->path = dir.file("impostor");
  int ends[2];
  if (::pipe(ends) != 0) {
    error = "pipe failed";
    return false;
  }
  state_->child = ::fork();
  if (state_->child == 0) {
    ::close(ends[0]);
    serve(state_->path, ends[1]);
  }
  ::close(ends[1]);
  state_->report = ends[0];
  if (state_->child < 0) {
    error = "fork failed";
    return false;
  }
  // Bound and listening once the file is a socket that accepts.
  for (int i = 0; i < 500; ++i) {
    if (::access(state_->path.c_str(), F_OK) == 0) return true;
    ::usleep(10000);
  }
  error = "the impostor never listened";
  return false;
}

std::string Impostor::endpoint() const { return state_->path; }

long Impostor::bytes_received(unsigned timeout_ms) {
  pollfd ready{state_->report, POLLIN, 0};
  long received = -1;
  if (::poll(&ready, 1, static_cast<int>(timeout_ms)) != 1 ||
      ::read(state_->report, &received, sizeof received) !=
          static_cast<ssize_t>(sizeof received)) {
    return -1;
  }
  return received;
}

}  // namespace vorn::test
