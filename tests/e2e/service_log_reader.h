// What the service logged during one run, and the checks the end-to-end
// tests make over those lines.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "e2e/service_harness.h"

namespace vorn::test {

// Lines the service logged since service_start, without timestamp and CR LF.
std::vector<std::string> service_log_lines(const ServiceRun& run);
// The log's bytes written since the service started, timestamps included.
std::string raw_log_since_start(const ServiceRun& run);

// Waits until a log line satisfies `match`, at most timeout_ms (stretched by
// patient_ms, as every wait here).
bool wait_for_log(const ServiceRun& run,
                  const std::function<bool(const std::string&)>& match,
                  unsigned timeout_ms);
bool wait_for_log_line(const ServiceRun& run, const std::string& line,
                       unsigned timeout_ms);

// Waits for the line that starts a session of `pid`.
bool wait_for_session_ready(const ServiceRun& run, unsigned pid,
                            unsigned timeout_ms);

// Lines that name exactly this pid ("pid=N" followed by a blank or the end).
std::vector<std::string> lines_naming(const std::vector<std::string>& lines,
                                      unsigned pid);
std::size_t count_starting(const std::vector<std::string>& lines,
                           const std::string& prefix);

// Every "SESSION READY pid=N ..." is followed by exactly one
// "SESSION CLOSED pid=N", with at most one ENFORCEMENT line for N between.
// Returns an empty text when the log keeps that rule, else what is wrong.
std::string check_session_pairs(const std::vector<std::string>& lines);
// check_session_pairs for every pid but `shared_pid`, whose sessions may
// overlap (the test process holds many at once): for it, READY and CLOSED
// must balance, CLOSED never comes first, and no ENFORCEMENT is logged.
std::string check_session_balance(const std::vector<std::string>& lines,
                                  unsigned shared_pid);
// Waits until every session in the log has its CLOSED line.
bool wait_sessions_closed(const ServiceRun& run, unsigned shared_pid,
                          unsigned timeout_ms);

}  // namespace vorn::test
