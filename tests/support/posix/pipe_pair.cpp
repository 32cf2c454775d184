#include "support/pipe_pair.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace vorn::test {

bool open_pipe_pair(PipePair& pair) {
  int ends[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
    return false;
  }
  pair.server = os::PipeHandle(ends[0], 0);
  pair.client = ends[1];
  return true;
}

bool client_send_raw(const PipePair& pair, const std::string& bytes) {
  ssize_t sent = 0;
  do {
    sent = ::send(static_cast<int>(pair.client), bytes.data(), bytes.size(),
                  MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent >= 0 && static_cast<std::size_t>(sent) == bytes.size();
}

bool client_receive_raw(const PipePair& pair, std::string& bytes,
                        unsigned timeout_ms) {
  const int fd = static_cast<int>(pair.client);
  pollfd entry{fd, POLLIN, 0};
  int ready = 0;
  do {
    ready = ::poll(&entry, 1, static_cast<int>(timeout_ms));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return false;
  std::vector<char> buffer(64 * 1024);
  ssize_t length = 0;
  do {
    length = ::recv(fd, buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT);
  } while (length < 0 && errno == EINTR);
  // 0 is the server's end of the connection: the service sends no empty
  // messages.
  if (length <= 0 || static_cast<std::size_t>(length) > buffer.size()) {
    return false;
  }
  bytes.assign(buffer.data(), static_cast<std::size_t>(length));
  return true;
}

void close_client(PipePair& pair) {
  if (pair.client >= 0) ::close(static_cast<int>(pair.client));
  pair.client = -1;
}

}  // namespace vorn::test
