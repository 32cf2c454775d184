// The service's endpoint: a listening AF_UNIX SOCK_SEQPACKET socket at a
// fixed path, at most 32 connections served at a time.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/posix/directory_trust.h"
#include "platform/posix/fd_util.h"
#include "platform/posix/runtime_internal.h"
#include "platform/posix/service_names.h"
#include "platform/runtime.h"

namespace vorn::os {

namespace {

constexpr int kBacklog = static_cast<int>(kEndpointPlaces);

// Read by the listener thread while the host opens or closes it.
std::atomic<int> g_listen_fd{-1};
// What listener_open bound, so listener_close removes only our own file.
std::string g_bound_path;
dev_t g_bound_device = 0;
ino_t g_bound_inode = 0;

// One place per session that may be served at a time: 0 is free, kClaimed is
// taken by an accept in progress, any other value is an accepted connection's
// descriptor + 1. Lock-free and trivially destructible, so a session worker
// that closes its connection while the process exits never touches a
// destroyed object.
constexpr int kClaimed = -1;
std::atomic<int> g_session_places[kEndpointPlaces] = {};

// Takes a free place, or returns kEndpointPlaces when all are taken.
std::size_t claim_place() {
  for (std::size_t i = 0; i < kEndpointPlaces; ++i) {
    int expected = 0;
    if (g_session_places[i].compare_exchange_strong(expected, kClaimed)) {
      return i;
    }
  }
  return kEndpointPlaces;
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// mkdir -p with mode 0755.
Error make_directories(const std::string& directory) {
  for (std::size_t end = 1; end <= directory.size(); ++end) {
    if (end != directory.size() && directory[end] != '/') continue;
    const std::string part = directory.substr(0, end);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      Error failure =
          last_system_error().context("cannot create directory " + part);
      // Someone trying the service by hand: say how it runs unprivileged.
      if (failure.native() == EACCES && ::geteuid() != 0) {
        return Error(failure.code(),
                     failure.words() +
                         " (the service runs as root; to try it as yourself, "
                         "set RUNTIME_DIRECTORY and ProgramData to folders of "
                         "your own)",
                     failure.native());
      }
      return failure;
    }
  }
  struct stat info {};
  if (::stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return Error(Errc::invalid, "not a directory: " + directory);
  }
  return Error();
}

// Whoever may write the endpoint's folder may replace the socket with one of
// their own. Checked by path with lstat: a link in its place is no plain
// directory.
Error endpoint_directory_distrust(const std::string& directory) {
  struct stat info {};
  const posix::DirectoryTrust trust =
      ::lstat(directory.c_str(), &info) == 0
          ? posix::directory_trust(info)
          : posix::DirectoryTrust{posix::DirectoryFault::not_a_directory, 0};
  if (trust.fault == posix::DirectoryFault::none) return Error();
  if (trust.fault == posix::DirectoryFault::not_a_directory) {
    return Error(Errc::untrusted,
                 "the endpoint folder is not a plain directory: " + directory);
  }
  return Error(
      Errc::untrusted,
      "the endpoint folder " + directory + " " +
          posix::distrust_words(trust, posix::ModeAdvice::after_semicolon));
}

bool fill_address(const std::string& path, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

// True when some process accepts (or queues) connections at `address`.
bool someone_listens(const sockaddr_un& address) {
  posix::UniqueFd probe(
      ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!probe.valid()) return false;
  if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address),
                sizeof address) == 0) {
    return true;
  }
  // EAGAIN: a listener whose backlog is full is still a listener.
  return errno == EAGAIN || errno == EINPROGRESS;
}

// Takes a socket file left behind by an instance that is gone. Fails when an
// instance answers, or something that is not a socket holds the path.
Error clear_stale_endpoint(const std::string& path,
                           const sockaddr_un& address) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return Error();
  if (!S_ISSOCK(info.st_mode)) {
    return Error(
        Errc::already_exists,
        "the endpoint path is taken by something that is not a socket: " +
            path);
  }
  if (someone_listens(address)) {
    return Error(Errc::already_exists,
                 "another instance is already listening on " + path);
  }
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    return last_system_error().context("cannot remove the stale socket " +
                                       path);
  }
  return Error();
}

}  // namespace

namespace posix {

void forget_accepted_connection(int fd) {
  for (std::atomic<int>& place : g_session_places) {
    int expected = fd + 1;
    if (place.compare_exchange_strong(expected, 0)) return;
  }
}

}  // namespace posix

std::string endpoint_name() {
  std::string directory =
      posix::systemd_directory("RUNTIME_DIRECTORY", posix::kEndpointDirectory);
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  if (directory == "/") return directory + posix::kEndpointFile;
  return directory + '/' + posix::kEndpointFile;
}

Error listener_open() {
  if (g_listen_fd.load() >= 0) return Error();
  const std::string path = endpoint_name();
  sockaddr_un address{};
  if (!fill_address(path, address)) {
    return Error(Errc::too_large,
                 "endpoint path too long for a local socket (at most " +
                     std::to_string(sizeof address.sun_path - 1) +
                     " bytes): " + path);
  }
  if (Error failure = make_directories(directory_of(path))) return failure;
  if (Error failure = endpoint_directory_distrust(directory_of(path))) {
    return failure;
  }
  if (Error failure = clear_stale_endpoint(path, address)) return failure;

  // Non-blocking, so a client that vanished between poll and accept cannot
  // hold the listener in accept.
  posix::UniqueFd fd(
      ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) {
    return last_system_error().context("cannot create a local socket");
  }
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address),
             sizeof address) != 0) {
    return last_system_error().context("cannot bind " + path);
  }
  struct stat info {};
  // Any local user may connect, like authenticated users on the Windows pipe;
  // who is talking is checked through the peer's credentials.
  if (::chmod(path.c_str(), 0666) != 0 || ::lstat(path.c_str(), &info) != 0 ||
      ::listen(fd.get(), kBacklog) != 0) {
    Error failure = last_system_error().context("cannot listen on " + path);
    ::unlink(path.c_str());
    return failure;
  }
  g_bound_path = path;
  g_bound_device = info.st_dev;
  g_bound_inode = info.st_ino;
  g_listen_fd.store(fd.release());
  return Error();
}

void listener_close() {
  const int fd = g_listen_fd.exchange(-1);
  if (fd < 0) return;
  ::close(fd);
  // Only the file we bound: a newer instance may have replaced it since.
  struct stat info {};
  if (::lstat(g_bound_path.c_str(), &info) == 0 &&
      info.st_dev == g_bound_device && info.st_ino == g_bound_inode) {
    ::unlink(g_bound_path.c_str());
  }
  g_bound_path.clear();
}

AcceptOutcome accept_client(PipeHandle& pipe, Error& error) {
  // Like CreateNamedPipeA at the instance limit: the caller pauses and tries
  // again. Clients keep waiting in the backlog meanwhile.
  const std::size_t index = claim_place();
  if (index == kEndpointPlaces) return AcceptOutcome::create_failed;
  // Holds the place for the accepted connection, or frees it again.
  struct Place {
    ~Place() { g_session_places[index].store(fd >= 0 ? fd + 1 : 0); }
    std::size_t index;
    int fd = -1;
  } place{index};

  const int listen_fd = g_listen_fd.load();
  if (listen_fd < 0) return AcceptOutcome::create_failed;
  const int stop_fd = posix::stop_event_fd();
  pollfd entries[2] = {{listen_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
  const nfds_t count = stop_fd >= 0 ? 2 : 1;
  // The stop event wakes the wait, so a stop never waits for one more client.
  if (posix::retry_on_eintr([&] { return ::poll(entries, count, -1); }) < 0) {
    error = last_system_error().context("waiting for clients failed");
    return AcceptOutcome::connect_failed;
  }
  if (count == 2 && (entries[1].revents & POLLIN) != 0) {
    return AcceptOutcome::connect_failed;
  }
  if ((entries[0].revents & (POLLERR | POLLNVAL)) != 0) {
    // The listening socket itself is broken: back off like a failed creation.
    error =
        Error(Errc::other, "the listening socket " + g_bound_path + " failed");
    return AcceptOutcome::create_failed;
  }
  const int fd = posix::retry_on_eintr(
      [&] { return ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC); });
  if (fd < 0) {
    // A client that gave up in the backlog is no error of the service's.
    if (errno != ECONNABORTED && errno != EAGAIN) {
      error = last_system_error().context("accepting a client failed");
    }
    return AcceptOutcome::connect_failed;
  }
  place.fd = fd;
  pipe = PipeHandle(fd, posix::boot_time_now_ns());
  return AcceptOutcome::connected;
}

}  // namespace vorn::os
