// Helpers shared by the end-to-end tests: probe runs and log inspection.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "e2e/service_harness.h"

namespace vorn::test {

struct ProbeResult {
  bool ended = false;  // false: still running at the time limit (then killed)
  int exit_code = -1;
  std::string output;  // what the probe printed
  unsigned elapsed_ms = 0;
};

// Runs vorn-guard-probe with `arguments` and waits at most timeout_ms.
ProbeResult run_probe(const ServiceRun& run,
                      const std::vector<std::string>& arguments,
                      unsigned timeout_ms);

// Starts a probe without waiting for it.
bool start_probe(const ServiceRun& run, const std::vector<std::string>& arguments,
                 ChildProcess& child, const std::string& output_file = "");

// Waits until a log line satisfies `match`, at most timeout_ms.
bool wait_for_log(const ServiceRun& run,
                  const std::function<bool(const std::string&)>& match,
                  unsigned timeout_ms);
bool wait_for_log_line(const ServiceRun& run, const std::string& line,
                       unsigned timeout_ms);
// Lines starting with `prefix`.
std::vector<std::string> log_lines_starting(const ServiceRun& run,
                                            const std::string& prefix);

// Every "SESSION READY pid=N ..." is followed by exactly one
// "SESSION CLOSED pid=N", with at most one ENFORCEMENT line for N between.
// Returns an empty text when the log keeps that rule, else what is wrong.
std::string check_session_pairs(const std::vector<std::string>& lines);

// What a probe wrote to its output file, with CR LF line ends (a Windows
// console program's) read as LF.
std::string read_probe_output(const std::string& path);

// The probe's file name as the service logs it in " host=".
std::string probe_file_name();
std::string pid_text(unsigned pid);

}  // namespace vorn::test
