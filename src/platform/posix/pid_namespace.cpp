#include "platform/posix/pid_namespace.h"

#include <algorithm>
#include <string>

#include "platform/posix/fd_util.h"
#include "platform/runtime.h"

namespace vorn::os {

namespace {

constexpr char kNspidLabel[] = "NSpid:";
// A pidfd's fdinfo is a few short lines; NSpid has at most 33 numbers.
constexpr std::size_t kMaxFdinfoBytes = 4096;

// A pid as the kernel prints it: decimal, positive, within 32 bits.
bool parse_pid(const std::string& text, ProcessId& pid) {
  if (text.empty() || text.size() > 10) return false;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value == 0 || value > 0xFFFFFFFFu) return false;
  pid = static_cast<ProcessId>(value);
  return true;
}

}  // namespace

namespace posix {

bool innermost_pid_in(const std::string& text, ProcessId& pid) {
  std::size_t start = 0;
  while (text.compare(start, sizeof kNspidLabel - 1, kNspidLabel) != 0) {
    start = text.find('\n', start);
    if (start == std::string::npos) return false;
    ++start;
  }
  const std::size_t end = text.find('\n', start);
  if (end == std::string::npos) return false;
  ProcessId last = 0;
  std::size_t at = start + sizeof kNspidLabel - 1;
  while (at < end) {
    const std::size_t field = text.find_first_not_of(" \t", at);
    if (field == std::string::npos || field >= end) break;
    const std::size_t field_end =
        std::min(text.find_first_of(" \t", field), end);
    if (!parse_pid(text.substr(field, field_end - field), last)) return false;
    at = field_end;
  }
  if (last == 0) return false;
  pid = last;
  return true;
}

}  // namespace posix

// The pidfd's own fdinfo names the very process it holds, so no pid is
// looked up again. Kernels before 5.5 print no NSpid there: only the pid the
// service sees is known then.
bool process_innermost_pid(const ProcessHandle& process, ProcessId& pid) {
  if (!process.open()) return false;
  std::string fdinfo;
  return posix::read_small_file(
             "/proc/self/fdinfo/" + std::to_string(process.raw()),
             kMaxFdinfoBytes, fdinfo) &&
         posix::innermost_pid_in(fdinfo, pid);
}

}  // namespace vorn::os
