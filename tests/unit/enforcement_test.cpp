// enforce() against a fake client process: when it logs, when it terminates,
// and that it leaves the handle to its caller.
#include "session/enforcement.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fake_runtime.h"
#include "fakes/fake_session_fixture.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

using fake::Call;
using fake::kStartTick;

class EnforcementTest : public fake::FakeSessionTest {
 protected:
  static ClientProcess open_client() {
    return ClientProcess(os::process_open_for_session(7));
  }

  static void expect_nothing_done() {
    EXPECT_TRUE(fake::events_of(Call::process_terminate).empty());
    EXPECT_FALSE(fake::world().process.terminated);
    EXPECT_TRUE(fake::events_of(Call::process_close).empty());
  }
};

TEST_F(EnforcementTest, NullHandleDoesNothing) {
  enforce(ClientProcess(), 7, kReasonInvalid);
  EXPECT_TRUE(log_messages().empty());
  EXPECT_TRUE(fake::events_of(Call::process_is_running).empty());
  expect_nothing_done();
  expect_own_handles_only();
}

TEST_F(EnforcementTest, ExitedClientIsLeftAlone) {
  const ClientProcess process = open_client();
  fake::world().process.exit_tick = kStartTick;
  enforce(process, 7, kReasonInvalid);
  EXPECT_TRUE(log_messages().empty());
  expect_nothing_done();
  EXPECT_TRUE(fake::world().process.handle_open);
  expect_own_handles_only();
}

TEST_F(EnforcementTest, HandleThatCannotBeWaitedOnIsLeftAlone) {
  const ClientProcess process = open_client();
  fake::world().process.wait_fails = true;
  enforce(process, 7, kReasonReplay);
  EXPECT_TRUE(log_messages().empty());
  expect_nothing_done();
  expect_own_handles_only();
}

TEST_F(EnforcementTest, RunningClientIsLoggedThenTerminated) {
  const ClientProcess process = open_client();
  enforce(process, 7, kReasonInvalid);
  EXPECT_EQ(log_messages(),
            std::vector<std::string>{
                "ENFORCEMENT pid=7 reason=LOCAL_PROTOCOL_INVALID"});
  const std::vector<fake::Event> terminate =
      fake::events_of(Call::process_terminate);
  ASSERT_EQ(terminate.size(), 1u);
  EXPECT_EQ(terminate[0].log_lines, 1u) << "terminated before the log line";
  EXPECT_TRUE(fake::world().process.terminated);
  // The caller closes the handle.
  EXPECT_TRUE(fake::events_of(Call::process_close).empty());
  EXPECT_TRUE(fake::world().process.handle_open);
  EXPECT_TRUE(process.is_open());
  expect_own_handles_only();
}

TEST_F(EnforcementTest, LineHasNoBlanksBeyondTheOneBeforeReason) {
  enforce(open_client(), 7, kReasonInvalid);
  const std::string text = test::read_file(log_path_);
  ASSERT_EQ(text.size(), fake::kTimestampLength + 47u + 2u);
  EXPECT_TRUE(fake::is_timestamp(text.substr(0, fake::kTimestampLength)));
  EXPECT_EQ(text.substr(fake::kTimestampLength),
            "ENFORCEMENT pid=7 reason=LOCAL_PROTOCOL_INVALID\r\n");
}

struct ReasonCase {
  const char* reason;
  os::ProcessId pid;
  std::string line;
};

class EnforcementReasonTest : public EnforcementTest,
                              public ::testing::WithParamInterface<ReasonCase> {
};

TEST_P(EnforcementReasonTest, LogsPidAndReasonUnchanged) {
  const ReasonCase& c = GetParam();
  enforce(ClientProcess(os::process_open_for_session(c.pid)), c.pid, c.reason);
  EXPECT_EQ(log_messages(), std::vector<std::string>{c.line});
  EXPECT_EQ(fake::events_of(Call::process_terminate).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, EnforcementReasonTest,
    ::testing::Values(
        ReasonCase{kReasonReplay, 42,
                   "ENFORCEMENT pid=42 reason=LOCAL_PROTOCOL_REPLAY"},
        ReasonCase{kReasonInvalid, 0,
                   "ENFORCEMENT pid=0 reason=LOCAL_PROTOCOL_INVALID"},
        ReasonCase{kReasonHeartbeatTimeout, 812,
                   "ENFORCEMENT pid=812 reason=LOCAL_GUARD_HEARTBEAT_TIMEOUT"},
        ReasonCase{kReasonIntegrityChanged, 4294967295u,
                   "ENFORCEMENT pid=4294967295 "
                   "reason=RUNTIME_INTEGRITY_CHANGED"}));

}  // namespace
}  // namespace vorn
