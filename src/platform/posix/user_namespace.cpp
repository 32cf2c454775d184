#include "platform/posix/user_namespace.h"

#include <unistd.h>

#include <algorithm>

#include "platform/posix/fd_util.h"

namespace vorn::os::posix {

namespace {

constexpr std::uint32_t kDefaultOverflowUid = 65534;
// The kernel keeps at most 340 ranges, 33 bytes each as printed.
constexpr std::size_t kMaxUidMapBytes = 16 * 1024;

// A decimal number below 2^32 that fills the field exactly.
bool parse_u32(const std::string& text, std::uint64_t& value) {
  if (text.empty() || text.size() > 10) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value <= 0xFFFFFFFFu;
}

std::uint32_t overflow_uid() {
  std::string text;
  std::uint64_t value = 0;
  if (!read_small_file("/proc/sys/kernel/overflowuid", 16, text) ||
      text.empty() || text.back() != '\n') {
    return kDefaultOverflowUid;
  }
  text.pop_back();
  return parse_u32(text, value) ? static_cast<std::uint32_t>(value)
                                : kDefaultOverflowUid;
}

}  // namespace

bool uid_unmapped(const std::string& uid_map, std::uint32_t uid) {
  std::size_t start = 0;
  while (start < uid_map.size()) {
    const std::size_t end = uid_map.find('\n', start);
    if (end == std::string::npos) return false;
    std::uint64_t numbers[3] = {};
    std::size_t at = start;
    for (std::uint64_t& number : numbers) {
      const std::size_t field = uid_map.find_first_not_of(' ', at);
      if (field == std::string::npos || field >= end) return false;
      at = std::min(uid_map.find(' ', field), end);
      if (!parse_u32(uid_map.substr(field, at - field), number)) return false;
    }
    if (uid_map.find_first_not_of(' ', at) < end) return false;
    if (uid >= numbers[0] && uid - numbers[0] < numbers[2]) return false;
    start = end + 1;
  }
  return true;
}

// Root outside a sandbox's user namespace shows as the overflow uid inside
// it. A map that merely differs from the initial namespace's identity map
// ("0 0 4294967295") is not enough to tell: one that maps a range over the
// overflow uid (subordinate uids) makes it a real account that someone may
// run a listener as. Only a namespace that maps nothing to it, while it maps
// this process's own uid, shows every outside account it lacks (root among
// them) as that number, and the player's own uid never as it (subordinate
// uids the namespace leaves out do show as it). The initial namespace maps
// every uid, so nothing changes there.
bool server_is_unmapped_here(uid_t server) {
  const std::uint32_t overflow = overflow_uid();
  if (server != overflow || ::geteuid() == overflow) return false;
  std::string uid_map;
  return read_small_file("/proc/self/uid_map", kMaxUidMapBytes, uid_map) &&
         uid_unmapped(uid_map, overflow);
}

}  // namespace vorn::os::posix
