// The operator's channel beside service.log (journal / event log): what
// the service did and why, in words. service.log itself never changes for
// it. Never a session's secrets: no token is ever passed here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/system.h"

namespace vorn {

using os::DiagnosticLevel;

// Queues one line and returns at once: the channel may be slow (a busy
// journal, the event log service), and a session must never wait for it.
// A full queue drops the line and counts it; the count follows later.
void diagnose(DiagnosticLevel level, const std::string& message);

// Waits at most `timeout_ms` until every queued line is written.
void flush_diagnostics(std::uint32_t timeout_ms);

// The service's end: writes what is queued within `timeout_ms`, ends the
// writer thread and joins it. Later lines are written by their caller.
void close_diagnostics(std::uint32_t timeout_ms);

// Tests: every line goes to `sink` at once instead; an empty sink restores
// the system's channel.
using DiagnosticSink =
    std::function<void(DiagnosticLevel level, const std::string& message)>;
void set_diagnostic_sink(DiagnosticSink sink);

// A problem that may repeat at every try (a log line that cannot be
// written, an instance that cannot be made): told once with its cause, then
// counted, and the count told when it goes away or its cause changes.
class RepeatedProblem {
 public:
  RepeatedProblem(std::string problem, std::string recovered)
      : problem_(std::move(problem)), recovered_(std::move(recovered)) {}
  void failed(DiagnosticLevel level, const std::string& cause);
  void succeeded();

 private:
  void tell_count();

  std::string problem_;    // "service.log cannot be written"
  std::string recovered_;  // "service.log is written again"
  std::string cause_;      // the one told, empty while all is well
  std::uint64_t repeats_ = 0;
};

}  // namespace vorn
