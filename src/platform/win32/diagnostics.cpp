// The operator's channel on Windows: the Application event log under the
// service's own source, whose messages (1 information, 2 warning, 3 error,
// each "%1") are the message table in vorn-guard-service.exe. The installers
// register the source. Under Wine the event log is a stub that passes the
// text to its "eventlog" debug channel; nothing is stored.
#include <windows.h>

#include <mutex>

#include "platform/system.h"

namespace vorn::os {

namespace {

constexpr char kEventSource[] = "VORNGuardLocalService";

struct EventType {
  WORD type;
  DWORD event_id;
};

EventType event_type(DiagnosticLevel level) {
  switch (level) {
    case DiagnosticLevel::error:
      return {EVENTLOG_ERROR_TYPE, 0xC0000003u};
    case DiagnosticLevel::warning:
      return {EVENTLOG_WARNING_TYPE, 0x80000002u};
    case DiagnosticLevel::notice:
    case DiagnosticLevel::info:
      break;
  }
  return {EVENTLOG_INFORMATION_TYPE, 0x40000001u};
}

// Registered once and kept for the process's life.
HANDLE event_source() {
  static std::once_flag once;
  static HANDLE source = nullptr;
  std::call_once(once,
                 [] { source = RegisterEventSourceA(nullptr, kEventSource); });
  return source;
}

}  // namespace

void write_diagnostic(DiagnosticLevel level, const std::string& message) {
  const HANDLE source = event_source();
  if (source == nullptr) return;
  const EventType type = event_type(level);
  const char* strings[] = {message.c_str()};
  (void)ReportEventA(source, type.type, 0, type.event_id, nullptr, 1, 0,
                     strings, nullptr);
}

}  // namespace vorn::os
