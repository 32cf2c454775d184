// The service as a whole: start-up banner, the 32-session limit, stopping
// with sessions still running, and a restart the guard module rides out.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "e2e/e2e_support.h"
#include "e2e/service_fixture.h"
#include "e2e/service_log_reader.h"
#include "support/patience.h"

namespace vorn::test {
namespace {

const char kBanner[] = "VORN Local Guard Service 1.0.0 ONLINE";

bool ready_line_for(const std::string& line, unsigned pid) {
  return line.rfind("SESSION READY pid=" + pid_text(pid) + " ", 0) == 0;
}

class EndToEndService : public ServiceTest<> {
 protected:
  void TearDown() override {
    for (ChildProcess& child : clients_) release_child(child);
    ServiceTest::TearDown();
  }

  // Starts a client that holds a session with heartbeats for `seconds`.
  unsigned start_session_client(unsigned seconds) {
    return start_session_client_with({}, seconds);
  }

  unsigned start_session_client_with(std::vector<std::string> options,
                                     unsigned seconds) {
    clients_.emplace_back();
    ChildProcess& child = clients_.back();
    output_files_.push_back(
        run_.dir->file("client-" + std::to_string(clients_.size()) + ".out"));
    // Waits for its OK as long as the test waits for its session: 32 of them
    // starting at once take their turns at the check.
    std::vector<std::string> arguments = {"session",
                                          "--seconds",
                                          std::to_string(seconds),
                                          "--interval-ms",
                                          "2000",
                                          "--timeout-ms",
                                          std::to_string(patient_ms(60000))};
    arguments.insert(arguments.end(), options.begin(), options.end());
    if (!start_probe(run_, arguments, child, output_files_.back())) return 0;
    return child.pid;
  }

  bool wait_ready(unsigned pid, unsigned timeout_ms) {
    return wait_for_session_ready(run_, pid, timeout_ms);
  }

  std::vector<ChildProcess> clients_;
  std::vector<std::string> output_files_;
};

TEST_F(EndToEndService, LogsTheBannerFirstAndStopsWithExitCodeZero) {
  ASSERT_TRUE(wait_for_log_line(run_, kBanner, 10000));
  EXPECT_EQ(service_log_lines(run_).front(), kBanner);
  const auto start = std::chrono::steady_clock::now();
  int exit_code = -1;
  ASSERT_TRUE(service_stop(run_, 30000, exit_code));
  EXPECT_EQ(exit_code, 0);
  // The host waits at most 2000 ms for the listener; the rest is the
  // service manager on a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(service_log_lines(run_).size(), 1u);
}

TEST_F(EndToEndService, StatusProbeSeesAWorkingService) {
  const ProbeResult result =
      run_probe(run_, {"status", "--timeout-ms", "10000"}, 60000);
  ASSERT_TRUE(result.ended);
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(check_session_pairs(service_log_lines(run_)), "");
}

TEST_F(EndToEndService, StopEndsLiveSessionsWithoutTerminatingClients) {
  std::vector<unsigned> pids;
  for (int i = 0; i < 3; ++i) pids.push_back(start_session_client(60));
  for (unsigned pid : pids) ASSERT_TRUE(wait_ready(pid, 30000));

  int exit_code = -1;
  ASSERT_TRUE(service_stop(run_, 30000, exit_code));
  EXPECT_EQ(exit_code, 0);
  const std::vector<std::string> lines = service_log_lines(run_);
  EXPECT_EQ(check_session_pairs(lines), "");
  EXPECT_EQ(count_starting(lines, "ENFORCEMENT"), 0u);
  // The clients were not terminated: each noticed the closed session and
  // ended on its own with the probe's "closed early" code.
  for (ChildProcess& child : clients_) {
    int code = -1;
    ASSERT_TRUE(wait_child(child, 30000, code));
    EXPECT_EQ(code, 5);
  }
}

TEST_F(EndToEndService, ThirtyThreeClientsAreServedThirtyTwoAtATime) {
  std::vector<unsigned> pids;
  for (int i = 0; i < 32; ++i) {
    const unsigned pid = start_session_client(120);
    ASSERT_NE(pid, 0u);
    pids.push_back(pid);
  }
  for (std::size_t i = 0; i < pids.size(); ++i) {
    ASSERT_TRUE(wait_ready(pids[i], 90000))
        << read_probe_output(output_files_[i]);
  }

  ChildProcess waiting;
  ASSERT_TRUE(start_probe(run_, {"status", "--timeout-ms", "60000"}, waiting,
                          run_.dir->file("33rd.out")));
  // While 32 sessions hold every instance, the 33rd is not served.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_FALSE(ready_line_for(service_log_lines(run_).back(), waiting.pid));
  for (const std::string& line : service_log_lines(run_)) {
    EXPECT_FALSE(ready_line_for(line, waiting.pid));
  }

  // One session ends; the 33rd client gets its turn.
  kill_child(clients_.front());
  int exit_code = -1;
  ASSERT_TRUE(wait_child(waiting, 60000, exit_code));
  EXPECT_EQ(exit_code, 0);
  EXPECT_TRUE(wait_ready(waiting.pid, 30000));
  release_child(waiting);
}

TEST_F(EndToEndService, GuardModuleReconnectsAfterARestart) {
  const unsigned pid = start_session_client_with({"--reconnect"}, 15);
  ASSERT_TRUE(wait_ready(pid, 30000));
  std::string error;
  ASSERT_TRUE(service_restart(run_, 30000, error)) << error;

  // The module opens a second session by itself, with a fresh HELLO.
  std::size_t sessions = 0;
  for (int i = 0; i < 300 && sessions < 2; ++i) {
    sessions = 0;
    for (const std::string& line : service_log_lines(run_)) {
      if (ready_line_for(line, pid)) ++sessions;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(sessions, 2u);
  int exit_code = -1;
  ASSERT_TRUE(wait_child(clients_.back(), 60000, exit_code));
  const std::string output = read_probe_output(output_files_.back());
  EXPECT_EQ(exit_code, 0) << output;
  EXPECT_NE(output.find("EVENT ended"), std::string::npos) << output;
  EXPECT_NE(output.find("EVENT connected"), std::string::npos) << output;
}

// An operator's check: --connect-only opens no session and so writes no
// line; nothing listening is told with the endpoint and the system's words.
TEST_F(EndToEndService, ProbeChecksTheEndpointWithoutASession) {
  // The banner may follow the endpoint by a moment.
  ASSERT_TRUE(wait_for_log(
      run_, [](const std::string& line) { return line == kBanner; }, 10000));
  const std::size_t lines = service_log_lines(run_).size();
  const ProbeResult check =
      run_probe(run_, {"status", "--connect-only", "--json"}, 30000);
  EXPECT_EQ(check.exit_code, 0) << check.output;
  EXPECT_NE(check.output.find("\"outcome\":\"ok\""), std::string::npos)
      << check.output;
  EXPECT_EQ(service_log_lines(run_).size(), lines);

#ifdef _WIN32
  const std::string nowhere = "\\\\.\\pipe\\VORNGuardNobodyListens";
#else
  const std::string nowhere = run_.dir->file("nobody-listens");
#endif
  const ProbeResult none =
      run_probe(run_, {"status"}, 30000, {{"VORN_GUARD_ENDPOINT", nowhere}});
  EXPECT_EQ(none.exit_code, 3) << none.output;
  EXPECT_NE(none.output.find("UNREACHABLE: " + nowhere + ": "),
            std::string::npos)
      << none.output;
}

}  // namespace
}  // namespace vorn::test
