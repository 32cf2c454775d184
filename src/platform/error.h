// The one way a failure is told, in the whole tree: a portable code that a
// caller may act on, and the words an operator reads. What the system says
// is translated once per backend (platform/posix/system_error.cpp,
// platform/win32/system_error.cpp); everything above uses only this type.
// What a call found (a client refused, a file absent, code changed) stays
// the call's own outcome enum; an Error says why, beside it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace vorn::os {

enum class Errc {
  none,
  not_found,
  access_denied,
  already_exists,
  busy,
  would_block,
  timed_out,
  broken_connection,
  too_large,
  invalid,
  // Found, but not to be relied on: a file or folder others may change, a
  // server that is not the service, code that is not the verified files'.
  untrusted,
  no_resources,
  unsupported,
  other
};

// One failure, or none (default-constructed). True when it failed.
class [[nodiscard]] Error {
 public:
  Error() = default;
  // `native` is the system's own number where the failure is the system's
  // (errno, GetLastError()), else 0.
  Error(Errc code, std::string words, std::uint32_t native = 0)
      : code_(code), words_(std::move(words)), native_(native) {}

  explicit operator bool() const { return code_ != Errc::none; }
  Errc code() const { return code_; }
  const std::string& words() const { return words_; }
  std::uint32_t native() const { return native_; }

  // Says where it happened: "prefix: words". None stays none.
  Error& context(const std::string& prefix) & {
    if (code_ != Errc::none) words_ = prefix + ": " + words_;
    return *this;
  }
  Error&& context(const std::string& prefix) && {
    return std::move(context(prefix));
  }

 private:
  Errc code_ = Errc::none;
  std::string words_;
  std::uint32_t native_ = 0;
};

// The calling thread's last system failure (errno / GetLastError()), with
// the system's words. Read before anything else can overwrite it: give the
// context afterwards (`last_system_error().context(path)`), not in an
// argument built first.
Error last_system_error();
// A system failure already read: an errno value or a GetLastError() code.
// Always a failure, 0 included: it stands for a call that failed.
Error system_error(std::uint32_t native);

}  // namespace vorn::os
