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
  // Started by start_piped_child: our ends of the child's standard input
  // and output (Windows handle / POSIX descriptor; -1 when none), and what
  // was read from its output but not yet returned as a line.
  std::intptr_t input = -1;
  std::intptr_t output = -1;
  std::string pending;
};

// Starts `program` with `arguments`; `environment` entries (NAME, value) are
// added to (or replace in) the test's own environment. Standard output and
// standard error are captured to `stdout_file` and `stderr_file` when they
// are not empty. `own_session` (POSIX): the child leads a session of its own
// without a controlling terminal, as a service manager starts a service.
bool start_child(
    ChildProcess& child, const std::string& program,
    const std::vector<std::string>& arguments,
    const std::vector<std::pair<std::string, std::string>>& environment = {},
    const std::string& stdout_file = "", bool own_session = false,
    const std::string& stderr_file = "");
// Starts `program` with its standard input and output as pipes to this
// process, for a child that is told what to do line by line.
bool start_piped_child(
    ChildProcess& child, const std::string& program,
    const std::vector<std::string>& arguments,
    const std::vector<std::pair<std::string, std::string>>& environment = {});
// One line of the child's output without its line feed; false at the end of
// its output or when no whole line came within timeout_ms.
bool read_child_line(ChildProcess& child, std::string& line,
                     unsigned timeout_ms);
bool write_child_line(ChildProcess& child, const std::string& line);
// Closes the child's standard input, which tells it that nothing follows.
void close_child_input(ChildProcess& child);
// Waits at most idle_ms, stretched by patient_ms; true with the exit code
// when it ended (a POSIX child killed by a signal gives 128 + signal number).
bool wait_child(ChildProcess& child, unsigned idle_ms, int& exit_code);
void kill_child(ChildProcess& child);
// Frees what start_child or start_piped_child holds (kills the child first
// when still running).
void release_child(ChildProcess& child);

// Directory of the running test binary (build/<preset>/bin).
std::string binary_directory();
// Adds ".exe" on Windows.
std::string executable_name(const std::string& base);
// True when the tests run under Wine (never on POSIX).
bool under_wine();

}  // namespace vorn::test
