// Whole sessions against the real service: heartbeats, goodbye, and every
// enforcement reason with a real client process being terminated.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "e2e/e2e_support.h"
#include "e2e/service_fixture.h"
#include "e2e/service_log_reader.h"
#include "platform/system.h"

namespace vorn::test {
namespace {

const char kHello[] = "HELLO|{pid}|e2e-test-client|{e1}|{e2}";

class EndToEndSession : public ServiceTest<> {
 protected:
  void TearDown() override {
    ServiceTest::TearDown();
    EXPECT_EQ(check_session_pairs(service_log_lines(run_)), "");
  }

  // Runs a raw probe session to its end and returns the result, with the
  // probe's pid in `pid`.
  ProbeResult session(const std::vector<std::string>& arguments, unsigned& pid,
                      unsigned timeout_ms = 90000) {
    ProbeResult result;
    ChildProcess child;
    const std::string out =
        run_.dir->file("session-" + std::to_string(++runs_) + ".out");
    const auto start = std::chrono::steady_clock::now();
    if (!start_probe(run_, arguments, child, out)) return result;
    pid = child.pid;
    result.ended = wait_child(child, timeout_ms, result.exit_code);
    result.elapsed_ms = static_cast<unsigned>(
        std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start)
            .count());
    release_child(child);
    result.output = read_probe_output(out);
    return result;
  }

  std::vector<std::string> lines_for(unsigned pid) {
    return lines_naming(service_log_lines(run_), pid);
  }

  // The log of a session that ended with `reason`.
  void expect_enforced(unsigned pid, const std::string& reason) {
    ASSERT_TRUE(
        wait_for_log_line(run_, "SESSION CLOSED pid=" + pid_text(pid), 30000));
    const std::vector<std::string> lines = lines_for(pid);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1],
              "ENFORCEMENT pid=" + pid_text(pid) + " reason=" + reason);
  }

  void expect_quiet_end(unsigned pid) {
    ASSERT_TRUE(
        wait_for_log_line(run_, "SESSION CLOSED pid=" + pid_text(pid), 30000));
    const std::vector<std::string> lines = lines_for(pid);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("SESSION READY pid=" + pid_text(pid), 0), 0u);
  }

  int runs_ = 0;
};

TEST_F(EndToEndSession, PingsArePongedAndByeEndsQuietly) {
  unsigned pid = 0;
  const ProbeResult result =
      session({"raw", "--load-guard", kHello, "PING|{token}|1|a",
               "PING|{token}|007|b", "PING|{token}|+9|c", "BYE|{token}|done"},
              pid);
  ASSERT_TRUE(result.ended);
  EXPECT_NE(result.output.find("< PONG|1\n"), std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find("< PONG|7\n"), std::string::npos);
  EXPECT_NE(result.output.find("< PONG|9\n"), std::string::npos);
  expect_quiet_end(pid);
}

TEST_F(EndToEndSession, GuardModuleHoldsASessionWithHeartbeats) {
  unsigned pid = 0;
  const ProbeResult result =
      session({"session", "--seconds", "4", "--interval-ms", "500"}, pid);
  ASSERT_TRUE(result.ended);
  EXPECT_EQ(result.exit_code, 0) << result.output;
  expect_quiet_end(pid);
}

TEST_F(EndToEndSession, ReplayedSequenceTerminatesTheClient) {
  unsigned pid = 0;
  const ProbeResult result =
      session({"raw", "--load-guard", "--hold-ms", "60000", kHello,
               "PING|{token}|5|a", "PING|{token}|5|a"},
              pid);
  ASSERT_TRUE(result.ended);
  EXPECT_EQ(result.exit_code, terminated_exit_code());
  EXPECT_LT(result.elapsed_ms, 45000u);
  expect_enforced(pid, "LOCAL_PROTOCOL_REPLAY");
}

TEST_F(EndToEndSession, InvalidMessageTerminatesTheClient) {
  unsigned pid = 0;
  const ProbeResult result = session(
      {"raw", "--load-guard", "--hold-ms", "60000", kHello, "ping|{token}|1|a"},
      pid);
  ASSERT_TRUE(result.ended);
  EXPECT_EQ(result.exit_code, terminated_exit_code());
  EXPECT_LT(result.elapsed_ms, 45000u);
  expect_enforced(pid, "LOCAL_PROTOCOL_INVALID");
}

TEST_F(EndToEndSession, SilenceAfterHelloIsAHeartbeatTimeout) {
  unsigned pid = 0;
  const ProbeResult result =
      session({"raw", "--load-guard", "--hold-ms", "60000", kHello}, pid);
  ASSERT_TRUE(result.ended);
  EXPECT_EQ(result.exit_code, terminated_exit_code());
  EXPECT_GE(result.elapsed_ms, 12000u);
  EXPECT_LT(result.elapsed_ms, 45000u);
  expect_enforced(pid, "LOCAL_GUARD_HEARTBEAT_TIMEOUT");
}

TEST_F(EndToEndSession, ClientThatNeverReadsIsStillTerminatedOnTimeout) {
  // It pings without reading its PONGs, then falls silent.
  unsigned pid = 0;
  const ProbeResult result =
      session({"raw", "--load-guard", "--no-read", "--hold-ms", "60000", kHello,
               "PING|{token}|1|a", "PING|{token}|2|a", "PING|{token}|3|a"},
              pid);
  ASSERT_TRUE(result.ended);
  EXPECT_EQ(result.exit_code, terminated_exit_code());
  // Ended by the service well before its own hold, however slowly it started.
  EXPECT_LT(result.elapsed_ms, 45000u);
  expect_enforced(pid, "LOCAL_GUARD_HEARTBEAT_TIMEOUT");
}

TEST_F(EndToEndSession, ClientThatExitsEndsTheSessionQuietly) {
  unsigned pid = 0;
  const ProbeResult result =
      session({"raw", "--load-guard", kHello, "PING|{token}|1|a"}, pid);
  ASSERT_TRUE(result.ended);
  EXPECT_EQ(result.exit_code, 0) << result.output;
  expect_quiet_end(pid);
}

TEST_F(EndToEndSession, GuardModuleChangedOnDiskIsCaughtAtTheRecheck) {
  // A private copy of the probe and its guard module, so the module file can
  // be changed while a session runs from it.
  namespace fs = std::filesystem;
  const std::string module_name =
      os::path_separator() == '\\' ? "vorn_guard.dll" : "libvorn_guard.so.1";
  const fs::path bin = binary_directory();
  const fs::path copy = fs::path(run_.dir->file("copy"));
  fs::create_directories(copy);
  fs::copy_file(bin / probe_file_name(), copy / probe_file_name());
  fs::copy_file(bin / module_name, copy / module_name);

  ChildProcess child;
  ASSERT_TRUE(
      start_child(child, (copy / probe_file_name()).string(),
                  {"session", "--seconds", "40", "--interval-ms", "1000"},
                  client_environment(run_), run_.dir->file("copy.out")));
  const unsigned pid = child.pid;
  ASSERT_TRUE(wait_for_session_ready(run_, pid, 20000));
  // The file at the module's path is replaced by a different one. Windows
  // holds the verified file for the session, so it cannot be renamed there
  // (the attack case ModuleHeldForTheSession shows the rest).
  std::error_code error;
  fs::rename(copy / module_name, copy / (module_name + ".old"), error);
  if (error) {
    EXPECT_EQ(os::path_separator(), '\\') << error.message();
    kill_child(child);
    release_child(child);
    return;
  }
  {
    std::ofstream replacement(copy / module_name, std::ios::binary);
    replacement << "not the guard module";
  }
  ASSERT_TRUE(fs::exists(copy / module_name));
  int exit_code = -1;
  ASSERT_TRUE(wait_child(child, 30000, exit_code));
  release_child(child);
  EXPECT_EQ(exit_code, terminated_exit_code());
  expect_enforced(pid, "RUNTIME_INTEGRITY_CHANGED");
}

}  // namespace
}  // namespace vorn::test
