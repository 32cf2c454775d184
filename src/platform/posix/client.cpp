// The client end, for the reference guard module and the probe.
#include "platform/client.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/posix/fd_util.h"
#include "platform/posix/service_names.h"
#include "platform/posix/user_namespace.h"
#include "platform/runtime.h"

namespace vorn::os {

namespace {

constexpr std::uint32_t kConnectRetryMs = 50;
constexpr std::size_t kLargestMessage = 65536;

enum class ConnectAttempt { connected, busy, failed };

ConnectAttempt connect_once(const sockaddr_un& address, int& connected_fd,
                            Error& failure) {
  // Non-blocking, so a full backlog answers EAGAIN at once instead of
  // blocking past the caller's time limit.
  posix::UniqueFd fd(
      ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) {
    failure = last_system_error();
    return ConnectAttempt::failed;
  }
  const int result = posix::retry_on_eintr([&] {
    return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address),
                     sizeof address);
  });
  if (result != 0) {
    failure = last_system_error();
    // All its places taken: try again shortly. No socket file (ENOENT) or
    // nobody accepting on it (ECONNREFUSED) means no service to wait for.
    return failure.native() == EAGAIN ? ConnectAttempt::busy
                                      : ConnectAttempt::failed;
  }
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    failure = last_system_error();
    return ConnectAttempt::failed;
  }
  connected_fd = fd.release();
  return ConnectAttempt::connected;
}

// The service runs as root. Whoever else listens at the socket (a stale or
// planted file in a folder someone could write) must not see the HELLO;
// with an overridden endpoint the service may be this user's own. In a
// sandbox's user namespace root is unmapped and shows as the overflow uid.
Error served_by_the_service(int fd, bool overridden) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
      size != sizeof peer) {
    return Error(Errc::untrusted, "its server's credentials cannot be read");
  }
  if (peer.uid == 0 || (overridden && peer.uid == ::geteuid()) ||
      posix::server_is_unmapped_here(peer.uid)) {
    return Error();
  }
  return Error(Errc::untrusted,
               "its server runs as user " + std::to_string(peer.uid));
}

}  // namespace

ClientEndpoint client_endpoint() {
  const char* chosen = std::getenv("VORN_GUARD_ENDPOINT");
  if (chosen != nullptr && chosen[0] != '\0') return {chosen, true};
  return {std::string(posix::kEndpointDirectory) + "/" + posix::kEndpointFile,
          false};
}

bool endpoint_address(const std::string& name, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (name.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, name.data(), name.size());
  return true;
}

ConnectResult client_connect(ClientConnection& connection,
                             std::uint32_t timeout_ms, Error* error) {
  const ClientEndpoint endpoint = client_endpoint();
  sockaddr_un address;
  Error ignored;
  Error& why = error != nullptr ? *error : ignored;
  if (!endpoint_address(endpoint.name, address)) {
    why = Error(Errc::too_large, "the path is too long for a local socket");
    return ConnectResult::unreachable;
  }
  const std::uint64_t deadline = tick_ms() + timeout_ms;
  for (;;) {
    int fd = -1;
    switch (connect_once(address, fd, why)) {
      case ConnectAttempt::connected:
        why = served_by_the_service(fd, endpoint.overridden);
        if (why) {
          ::close(fd);
          return ConnectResult::not_the_service;
        }
        connection = ClientConnection(fd);
        return ConnectResult::connected;
      case ConnectAttempt::failed:
        return ConnectResult::unreachable;
      case ConnectAttempt::busy:
        break;
    }
    const std::uint64_t now = tick_ms();
    if (now >= deadline) {
      why = Error(Errc::busy, "every place is taken");
      return ConnectResult::busy;
    }
    sleep_ms(static_cast<std::uint32_t>(
        std::min<std::uint64_t>(kConnectRetryMs, deadline - now)));
  }
}

Error client_endpoint_listening() {
  // The socket file, not a connection: a connection would cost the service
  // an accepted client of its own.
  struct stat status {};
  if (::stat(client_endpoint().name.c_str(), &status) != 0) {
    return last_system_error();
  }
  if (!S_ISSOCK(status.st_mode)) return Error(Errc::not_found, "not a socket");
  return Error();
}

bool client_write(const ClientConnection& connection, const char* data,
                  std::size_t size) {
  const ssize_t sent = posix::retry_on_eintr([&] {
    return ::send(static_cast<int>(connection.raw()), data, size, MSG_NOSIGNAL);
  });
  return sent >= 0 && static_cast<std::size_t>(sent) == size;
}

bool client_read(const ClientConnection& connection, std::string& message,
                 std::uint32_t timeout_ms, bool& closed) {
  closed = false;
  const int fd = static_cast<int>(connection.raw());
  const std::uint64_t deadline = tick_ms() + timeout_ms;
  for (;;) {
    pollfd entry{fd, POLLIN, 0};
    const std::uint64_t now = tick_ms();
    const int wait_ms = now >= deadline ? 0 : static_cast<int>(deadline - now);
    const int ready = ::poll(&entry, 1, wait_ms);
    if (ready > 0) break;
    if (ready == 0) return false;
    if (errno != EINTR) return false;
  }
  std::vector<char> buffer(kLargestMessage);
  const ssize_t length = posix::retry_on_eintr([&] {
    return ::recv(fd, buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT);
  });
  if (length == 0) {
    // The service sends no empty messages, so 0 is its end of the connection.
    closed = true;
    return false;
  }
  if (length < 0) {
    closed = errno == ECONNRESET || errno == EPIPE;
    return false;
  }
  if (static_cast<std::size_t>(length) > buffer.size()) return false;
  message.assign(buffer.data(), static_cast<std::size_t>(length));
  return true;
}

void ClientConnectionKind::close(std::intptr_t raw) {
  ::close(static_cast<int>(raw));
}

bool pin_module_of(const void* address_in_module) {
  Dl_info info{};
  if (::dladdr(address_in_module, &info) == 0 || info.dli_fname == nullptr) {
    return false;
  }
  // The module is loaded already (RTLD_NOLOAD); RTLD_NODELETE marks it for
  // good, so the reference taken here can go at once. Pinned only from a
  // start on, not at link time (-z nodelete): a program that loads the module
  // only to look at it can still unload it.
  void* self = ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  if (self == nullptr) return false;
  ::dlclose(self);
  return true;
}

bool on_fork_child(void (*handler)()) {
  return ::pthread_atfork(nullptr, nullptr, handler) == 0;
}

ProcessId current_process_id() { return static_cast<ProcessId>(::getpid()); }

bool current_executable_path(std::string& path) {
  return posix::read_link("/proc/self/exe", path);
}

bool module_path_of(const void* address_in_module, std::string& path) {
  Dl_info info{};
  if (::dladdr(address_in_module, &info) == 0 || info.dli_fname == nullptr ||
      info.dli_fname[0] == '\0') {
    return false;
  }
  // The loader keeps the name it was given; the service sees the real file.
  char* resolved = ::realpath(info.dli_fname, nullptr);
  if (resolved == nullptr) return false;
  path = resolved;
  ::free(resolved);
  return true;
}

std::string guard_evidence_cache_path() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  std::string folder;
  if (cache != nullptr && cache[0] == '/') {
    folder = cache;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') return "";
    folder = std::string(home) + "/.cache";
  }
  ::mkdir(folder.c_str(), 0700);
  folder += "/vorn-guard";
  // The player's alone: nobody else has a say in what it remembers.
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return "";
  return folder + "/evidence";
}

bool replace_file(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace vorn::os
