// Running the real built service for end-to-end tests: as a foreground
// process with its own socket and log folders on POSIX, under the service
// control manager (Wine's, in the tests) on Windows.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorn::test {

struct ServiceRun {
  std::unique_ptr<TempDir> dir;          // POSIX: socket and log folders
  ChildProcess process;                  // POSIX: the service process
  std::vector<std::string> log_paths;    // candidate log files
  std::vector<std::size_t> log_offsets;  // their sizes before the start
  bool started = false;
};

// Starts the service and waits until it accepts clients.
bool service_start(ServiceRun& run, std::string& error);
// Requests a stop (SIGTERM / SERVICE_CONTROL_STOP) and waits for the end;
// gives the exit code (process exit code / the service's Win32 exit code).
bool service_stop(ServiceRun& run, unsigned timeout_ms, int& exit_code);
// Stops the service and starts it again with the same folders and log, as
// an operator's restart does.
bool service_restart(ServiceRun& run, unsigned timeout_ms, std::string& error);
// What a client process needs in its environment to find the service.
std::vector<std::pair<std::string, std::string>> client_environment(
    const ServiceRun& run);

// Where the service of `run` looks for its trusted-digest list (Windows:
// beside each candidate log; POSIX: the folder the run configures).
std::vector<std::string> trusted_digests_paths(const ServiceRun& run);

// The exit code a client shows after the service terminated it: 0 on
// Windows (TerminateProcess with 0), 128 + SIGKILL on POSIX.
int terminated_exit_code();
// Removes leftovers of an earlier run (Windows: a registered service).
void service_cleanup();

}  // namespace vorn::test
