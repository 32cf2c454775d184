// Helpers shared by the end-to-end tests: probe runs and what they printed.
#pragma once

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

using Environment = std::vector<std::pair<std::string, std::string>>;

// Runs vorn-guard-probe with `arguments` and waits at most timeout_ms;
// `changes` replace or add to what client_environment(run) gives.
ProbeResult run_probe(const ServiceRun& run,
                      const std::vector<std::string>& arguments,
                      unsigned timeout_ms, const Environment& changes = {});

// Starts a probe without waiting for it.
// `arguments` with each "--wait-ms" (how long the probe waits for a reply)
// stretched by patient_ms, as every wait for the service is.
std::vector<std::string> patient_probe(std::vector<std::string> arguments);
bool start_probe(const ServiceRun& run,
                 const std::vector<std::string>& arguments, ChildProcess& child,
                 const std::string& output_file = "");

// What a probe wrote to its output file, with CR LF line ends (a Windows
// console program's) read as LF.
std::string read_probe_output(const std::string& path);

// Waits until the service ends `client`'s session at a re-check that failed
// (its ENFORCEMENT line, then the client's end as terminated) and releases
// it; "" when so, else what happened instead.
std::string wait_ended_by_recheck(const ServiceRun& run, ChildProcess& client);

// Writes `text` as the trusted list of the service of `run` (every place it
// may look), or removes it.
void write_trusted_list(const ServiceRun& run, const std::string& text);
void remove_trusted_list(const ServiceRun& run);

// The probe's file name as the service logs it in " host=".
std::string probe_file_name();
std::string pid_text(unsigned pid);

}  // namespace vorn::test
