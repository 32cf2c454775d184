// The operator's channel on POSIX: standard error, one write per line, which
// systemd hands to the journal with the level taken from the prefix.
#include <unistd.h>

#include "platform/posix/fd_util.h"
#include "platform/system.h"

namespace vorn::os {

namespace {

const char* level_word(DiagnosticLevel level) {
  switch (level) {
    case DiagnosticLevel::error:
      return "error";
    case DiagnosticLevel::warning:
      return "warning";
    case DiagnosticLevel::notice:
      return "notice";
    case DiagnosticLevel::info:
      break;
  }
  return "info";
}

}  // namespace

void write_diagnostic(DiagnosticLevel level, const std::string& message) {
  std::string line;
  if (::isatty(STDERR_FILENO) == 1) {
    line = std::string("vorn-guard-service: ") + level_word(level) + ": ";
  } else {
    line = "<" + std::to_string(static_cast<int>(level)) + ">";
  }
  // One line per diagnostic, whatever the message holds.
  for (const char c : message) line += (c == '\n' || c == '\r') ? ' ' : c;
  line += '\n';
  (void)posix::write_fully(STDERR_FILENO, line);
}

}  // namespace vorn::os
