// errno in the tree's terms: its portable code, and strerror's words.
#include <errno.h>

#include <cstring>

#include "platform/error.h"

namespace vorn::os {

namespace {

// What each errno value means to a caller; anything else is Errc::other.
struct Translation {
  int native;
  Errc code;
};
constexpr Translation kTranslations[] = {
    {ENOENT, Errc::not_found},
    {ESRCH, Errc::not_found},
    {ENXIO, Errc::not_found},
    {EACCES, Errc::access_denied},
    {EPERM, Errc::access_denied},
    {EROFS, Errc::access_denied},
    {EEXIST, Errc::already_exists},
    {EBUSY, Errc::busy},
    {ETXTBSY, Errc::busy},
    {EWOULDBLOCK, Errc::would_block},
    {EAGAIN, Errc::would_block},
    {EINPROGRESS, Errc::would_block},
    {ETIMEDOUT, Errc::timed_out},
    {EPIPE, Errc::broken_connection},
    {ECONNRESET, Errc::broken_connection},
    {ECONNREFUSED, Errc::broken_connection},
    {ECONNABORTED, Errc::broken_connection},
    {ENOTCONN, Errc::broken_connection},
    {E2BIG, Errc::too_large},
    {EFBIG, Errc::too_large},
    {EMSGSIZE, Errc::too_large},
    {ENAMETOOLONG, Errc::too_large},
    {EOVERFLOW, Errc::too_large},
    {EINVAL, Errc::invalid},
    {EBADF, Errc::invalid},
    {ENOTDIR, Errc::invalid},
    {EISDIR, Errc::invalid},
    {ELOOP, Errc::invalid},
    {ENOMEM, Errc::no_resources},
    {ENOSPC, Errc::no_resources},
    {EDQUOT, Errc::no_resources},
    {EMFILE, Errc::no_resources},
    {ENFILE, Errc::no_resources},
    {ENOBUFS, Errc::no_resources},
    {ENOSYS, Errc::unsupported},
    {EOPNOTSUPP, Errc::unsupported},
    {ENOTSUP, Errc::unsupported},
    {EAFNOSUPPORT, Errc::unsupported},
    {EPROTONOSUPPORT, Errc::unsupported},
};

Errc portable_code(int native) {
  for (const Translation& translation : kTranslations) {
    if (translation.native == native) return translation.code;
  }
  return Errc::other;
}

}  // namespace

Error system_error(std::uint32_t native) {
  const int number = static_cast<int>(native);
  return Error(portable_code(number), std::strerror(number), native);
}

Error last_system_error() {
  return system_error(static_cast<std::uint32_t>(errno));
}

}  // namespace vorn::os
