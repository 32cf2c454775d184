// Small helpers shared by the POSIX files of the platform layer. Header-only,
// so the runtime and the system library can both use them without linking to
// each other.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/types.h"

namespace vorn::os::posix {

inline std::int64_t nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000LL +
         static_cast<std::int64_t>(time.tv_nsec);
}

// A file's version as fstat shows it: device, inode, size, mtime, ctime.
inline FileIdentity identity_of(const struct stat& info) {
  FileIdentity identity;
  identity.known = true;
  identity.device = static_cast<std::uint64_t>(info.st_dev);
  identity.inode = static_cast<std::uint64_t>(info.st_ino);
  identity.size = static_cast<std::uint64_t>(info.st_size);
  identity.modified_ns = nanoseconds(info.st_mtim);
  identity.changed_ns = nanoseconds(info.st_ctim);
  identity.links = static_cast<std::uint64_t>(info.st_nlink);
  return identity;
}

// The first entry of a directory variable that systemd sets for a unit
// (RUNTIME_DIRECTORY, CONFIGURATION_DIRECTORY: a colon-separated list when
// the unit names several), or `fallback` when it is unset or empty.
inline std::string systemd_directory(const char* variable,
                                     const char* fallback) {
  const char* value = std::getenv(variable);
  const std::string first =
      value != nullptr
          ? std::string(value).substr(0, std::string(value).find(':'))
          : std::string();
  return first.empty() ? std::string(fallback) : first;
}

// The service's own account, or root, which may do anything anyway.
inline bool trusted_owner(uid_t owner) {
  return owner == ::geteuid() || owner == 0;
}

// Owns one file descriptor and closes it when it goes out of scope.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives up ownership without closing.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    // close() is not retried on EINTR: on Linux the descriptor is gone
    // either way, and a retry could close someone else's new descriptor.
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Repeats a system call that was interrupted by a signal handler.
template <typename Call>
auto retry_on_eintr(Call call) -> decltype(call()) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

// The target of a symbolic link (readlink without a size limit).
inline bool read_link(const std::string& link, std::string& target) {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t length =
        ::readlink(link.c_str(), buffer.data(), buffer.size());
    if (length < 0) return false;
    if (static_cast<std::size_t>(length) < buffer.size()) {
      target.assign(buffer.data(), static_cast<std::size_t>(length));
      return true;
    }
    // Possibly cut off: try again with more room.
    if (buffer.size() >= 1 << 20) return false;
    buffer.resize(buffer.size() * 2);
  }
}

// A small text file of the kernel's (below /proc): its first `limit` bytes
// at most, opened without following a final link, without blocking and
// without taking a terminal. Whatever holds a line must check it ended.
inline bool read_small_file(const std::string& path, std::size_t limit,
                            std::string& text) {
  UniqueFd fd(retry_on_eintr([&] {
    return ::open(path.c_str(),
                  O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  }));
  if (!fd.valid()) return false;
  text.assign(limit, '\0');
  std::size_t held = 0;
  while (held < limit) {
    const ssize_t count = retry_on_eintr(
        [&] { return ::read(fd.get(), &text[held], limit - held); });
    if (count < 0) return false;
    if (count == 0) break;
    held += static_cast<std::size_t>(count);
  }
  text.resize(held);
  return true;
}

// Writes all of `bytes`, as many calls as it takes; fails at the first
// failure, or when a write took nothing.
inline Error write_fully(int fd, const void* bytes, std::size_t size) {
  const char* const data = static_cast<const char*>(bytes);
  std::size_t written = 0;
  while (written < size) {
    const ssize_t count = retry_on_eintr(
        [&] { return ::write(fd, data + written, size - written); });
    if (count < 0) return last_system_error();
    if (count == 0) return Error(Errc::other, "nothing written");
    written += static_cast<std::size_t>(count);
  }
  return Error();
}
inline Error write_fully(int fd, const std::string& bytes) {
  return write_fully(fd, bytes.data(), bytes.size());
}

}  // namespace vorn::os::posix
