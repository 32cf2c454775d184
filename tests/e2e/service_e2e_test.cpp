// The service as a whole: start-up banner, the 32-session limit, and stopping
// with sessions still running.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "e2e/e2e_support.h"
#include "e2e/service_fixture.h"
#include "e2e/service_log_reader.h"

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
    clients_.emplace_back();
    ChildProcess& child = clients_.back();
    const std::string out =
        run_.dir->file("client-" + std::to_string(clients_.size()) + ".out");
    if (!start_probe(run_,
                     {"session", "--seconds", std::to_string(seconds),
                      "--interval-ms", "2000"},
                     child, out)) {
      return 0;
    }
    return child.pid;
  }

  bool wait_ready(unsigned pid, unsigned timeout_ms) {
    return wait_for_log(
        run_,
        [&](const std::string& line) { return ready_line_for(line, pid); },
        timeout_ms);
  }

  std::vector<ChildProcess> clients_;
};

TEST_F(EndToEndService, LogsTheBannerFirstAndStopsWithExitCodeZero) {
  ASSERT_TRUE(wait_for_log_line(run_, kBanner, 10000));
  EXPECT_EQ(service_log_lines(run_).front(), kBanner);
  const auto start = std::chrono::steady_clock::now();
  int exit_code = -1;
  ASSERT_TRUE(service_stop(run_, 10000, exit_code));
  EXPECT_EQ(exit_code, 0);
  // The host waits at most 2000 ms for the listener.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
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
  ASSERT_TRUE(service_stop(run_, 10000, exit_code));
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
  for (unsigned pid : pids) ASSERT_TRUE(wait_ready(pid, 90000)) << pid;

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
  EXPECT_TRUE(wait_ready(waiting.pid, 1000));
  release_child(waiting);
}

}  // namespace
}  // namespace vorn::test
