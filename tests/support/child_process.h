// Starting and watching real child processes in tests.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vorn::test {

struct ChildProcess {
  std::intptr_t handle = 0;  // Windows process handle / POSIX pid
  std::uint32_t pid = 0;
  bool running = false;
};

// Starts `program` with `arguments`; `environment` entries (NAME, value) are
// added to (or replace in) the test's own environment. Standard output is
// captured to `stdout_file` when it is not empty. `own_session` (POSIX):
// the child leads a session of its own without a controlling terminal, as a
// service manager starts a service.
bool start_child(
    ChildProcess& child, const std::string& program,
    const std::vector<std::string>& arguments,
    const std::vector<std::pair<std::string, std::string>>& environment = {},
    const std::string& stdout_file = "", bool own_session = false);
// Waits at most timeout_ms; true with the exit code when it ended (a POSIX
// child killed by a signal gives 128 + signal number).
bool wait_child(ChildProcess& child, unsigned timeout_ms, int& exit_code);
void kill_child(ChildProcess& child);
// Frees what start_child holds (kills the child first when still running).
void release_child(ChildProcess& child);

// Directory of the running test binary (build/<preset>/bin).
std::string binary_directory();
// Adds ".exe" on Windows.
std::string executable_name(const std::string& base);

}  // namespace vorn::test
