// Writes one diagnostic of each level through the service's channel, for the
// test that reads what the event log makes of them.
#include "platform/system.h"

int main() {
  using vorn::os::DiagnosticLevel;
  vorn::os::write_diagnostic(DiagnosticLevel::error, "diagnostic test: error");
  vorn::os::write_diagnostic(DiagnosticLevel::warning,
                             "diagnostic test: warning");
  vorn::os::write_diagnostic(DiagnosticLevel::info,
                             "diagnostic test: information");
  return 0;
}
