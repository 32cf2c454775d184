#include "session/enforcement.h"

#include "log/diagnostics.h"
#include "log/service_log.h"
#include "protocol/message_fields.h"
#include "protocol/rules.h"

namespace vorn {

void enforce(const ClientProcess& process, os::ProcessId pid,
             const char* reason) {
  if (!process.is_open()) return;
  // A client that has already ended (or cannot be waited on) is left alone.
  if (!process.is_running()) return;
  // Logged first, so the line stands even if the termination fails.
  log_line("ENFORCEMENT pid=" + format_decimal_u32(pid) + " reason=" + reason);
  process.terminate();
  diagnose(DiagnosticLevel::warning,
           "client pid=" + format_decimal_u32(pid) + " terminated: " + reason);
}

}  // namespace vorn
