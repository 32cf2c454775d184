// The session loop on a fake clock: every way a session ends, the sequence
// and message rules, the strict deadlines and the close sequence.
//
// Timing: the fake clock moves only when the loop sleeps (200 ms a pass) or a
// write is given a duration, so a session that starts at kStartTick runs its
// passes at kStartTick + 200 * n.
#include "session/session_loop.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_integrity.h"
#include "fakes/fake_runtime.h"
#include "fakes/fake_session_fixture.h"
#include "log/service_log.h"
#include "pipe/pipe_channel.h"
#include "protocol/message_fields.h"
#include "session/enforcement.h"
#include "session/handshake.h"
#include "session/session_state.h"
#include "session/session_worker.h"
#include "session/supervisor.h"

namespace vorn {
namespace {

using fake::Call;
using fake::kStartTick;

constexpr os::ProcessId kPid = 42;
const std::string kToken =
    "00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF";
const std::string kEvidence1(64, 'A');
const std::string kEvidence2(64, 'B');
const std::string kReadyLine = "SESSION READY pid=42 host=client.exe";
const std::string kMaxSequence = "9223372036854775807";

std::string ping(const std::string& sequence,
                 const std::string& token = kToken) {
  return "PING|" + token + "|" + sequence + "|x";
}

std::string bye(const std::string& token = kToken) { return "BYE|" + token; }

std::string pong(const std::string& sequence) {
  return "PONG|" + sequence + "\n";
}

class SessionLoopTest : public fake::FakeSessionTest {
 protected:
  // A session as a successful handshake leaves it, built by hand.
  void begin() {
    state_ = SessionState();
    state_.connection = Connection(fake::connected_pipe());
    state_.client_pid = kPid;
    state_.client_process = ClientProcess(os::process_open_for_session(kPid));
    state_.token = kToken;
    state_.integrity_record.pid = kPid;
    state_.integrity_record.evidence_1 = kEvidence1;
    state_.integrity_record.evidence_2 = kEvidence2;
    state_.last_heartbeat_tick = fake::now();
    state_.last_recheck_tick = fake::now();
    state_.last_sequence = 0;
    log_line(kReadyLine);
    fake::integrity().observed = &state_;
  }

  // The same through the real handshake, for a HELLO arriving now.
  bool begin_with_handshake() {
    fake::deliver_at(fake::now(), "HELLO|42|client-tag-0001|" + kEvidence1 +
                                      "|" + kEvidence2);
    std::optional<SessionState> result =
        run_handshake(Connection(fake::connected_pipe()));
    if (!result) return false;
    state_ = std::move(*result);
    fake::integrity().observed = &state_;
    return true;
  }

  void run() { run_session_loop(state_); }

  // Everything written during the loop (the handshake's OK reply left out).
  static std::vector<std::string> pongs() {
    std::vector<std::string> out;
    for (const std::string& bytes : fake::written_bytes()) {
      if (bytes.rfind("OK|", 0) != 0) out.push_back(bytes);
    }
    return out;
  }

  static std::vector<std::uint64_t> pong_ticks() {
    std::vector<std::uint64_t> out;
    for (const fake::Written& w : fake::world().pipe.written) {
      if (w.bytes.rfind("OK|", 0) != 0) out.push_back(w.tick);
    }
    return out;
  }

  // When the pipe was released.
  static std::uint64_t close_tick() {
    const std::vector<fake::Event> flush = fake::events_of(Call::pipe_flush);
    return flush.empty() ? 0 : flush.front().tick;
  }

  // The end every session has: READY, at most one ENFORCEMENT (with a
  // termination after it), CLOSED; the process handle closed before the
  // CLOSED line and the pipe released after it, and nothing after that.
  void expect_closed(const char* reason) {
    std::vector<std::string> expected{kReadyLine};
    if (reason != nullptr) {
      expected.push_back("ENFORCEMENT pid=42 reason=" + std::string(reason));
    }
    expected.push_back("SESSION CLOSED pid=42");
    EXPECT_EQ(log_messages(), expected);

    const std::vector<fake::Event> terminate =
        fake::events_of(Call::process_terminate);
    if (reason != nullptr) {
      ASSERT_EQ(terminate.size(), 1u);
      EXPECT_EQ(terminate[0].log_lines, 2u) << "terminated before logging";
    } else {
      EXPECT_TRUE(terminate.empty()) << "client terminated without reason";
    }

    const std::vector<fake::Event> process_close =
        fake::events_of(Call::process_close);
    ASSERT_EQ(process_close.size(), 1u);
    EXPECT_EQ(process_close[0].log_lines, expected.size() - 1);
    EXPECT_FALSE(fake::world().process.handle_open);

    expect_channel_closed_once();
    const std::vector<fake::Event> flush = fake::events_of(Call::pipe_flush);
    ASSERT_EQ(flush.size(), 1u);
    EXPECT_EQ(flush[0].log_lines, expected.size());
    ASSERT_FALSE(fake::world().events.empty());
    EXPECT_EQ(fake::world().events.back().call, Call::pipe_close);

    EXPECT_FALSE(fake::world().pipe.read_blocked_forever);
    expect_own_handles_only();
  }

  SessionState state_;
};

// ------------------------------------------------------------ endings

struct EndingCase {
  const char* name;
  std::function<void()> setup;
  std::vector<std::string> pongs;
  const char* reason;  // null: no enforcement
  std::uint64_t end_after_ms;
};

class EndingTest : public SessionLoopTest,
                   public ::testing::WithParamInterface<EndingCase> {};

TEST_P(EndingTest, EndsAsTheTableSays) {
  const EndingCase& c = GetParam();
  begin();
  c.setup();
  run();
  EXPECT_EQ(pongs(), c.pongs);
  expect_closed(c.reason);
  EXPECT_EQ(close_tick(), kStartTick + c.end_after_ms);
}

INSTANTIATE_TEST_SUITE_P(
    Endings, EndingTest,
    ::testing::Values(
        EndingCase{"StopBeforeFirstPass",
                   [] {
                     fake::stop_at(kStartTick);
                     fake::deliver_at(kStartTick, ping("1"));
                   },
                   {},
                   nullptr,
                   0},
        EndingCase{"ClientExited",
                   [] {
                     fake::deliver_at(kStartTick, ping("1"));
                     fake::world().process.exit_tick = kStartTick + 1000;
                   },
                   {pong("1")},
                   nullptr,
                   1000},
        EndingCase{"ProcessWaitFails",
                   [] {
                     fake::world().process.wait_fails = true;
                     fake::deliver_at(kStartTick, ping("1"));
                   },
                   {},
                   nullptr,
                   0},
        EndingCase{"BytesWaitingQueryFails",
                   [] {
                     fake::world().pipe.bytes_waiting_fails = true;
                     fake::deliver_at(kStartTick, ping("1"));
                   },
                   {},
                   nullptr,
                   0},
        EndingCase{"ConnectionBroken",
                   [] {
                     fake::deliver_at(kStartTick, ping("1"));
                     fake::break_at(kStartTick + 400);
                   },
                   {pong("1")},
                   nullptr,
                   400},
        EndingCase{
            "OverlongMessageUnreadable",
            [] { fake::deliver_at(kStartTick + 200, std::string(2048, 'P')); },
            {},
            nullptr,
            200},
        EndingCase{"PingWithWrongToken",
                   [] {
                     fake::deliver_at(kStartTick,
                                      ping("1", std::string(64, 'F')));
                   },
                   {},
                   kReasonReplay,
                   0},
        EndingCase{"ByeWithToken",
                   [] {
                     fake::deliver_at(kStartTick, ping("1"));
                     fake::deliver_at(kStartTick + 200, bye());
                   },
                   {pong("1")},
                   nullptr,
                   200},
        EndingCase{"AnyOtherMessage",
                   [] {
                     fake::deliver_at(kStartTick, "HELLO|42|client-tag-0001|" +
                                                      kEvidence1 + "|" +
                                                      kEvidence2);
                   },
                   {},
                   kReasonInvalid,
                   0},
        EndingCase{"NoHeartbeat", [] {}, {}, kReasonHeartbeatTimeout, 12200},
        EndingCase{"RecheckFails",
                   [] { fake::integrity().recheck_results = {false}; },
                   {},
                   kReasonIntegrityChanged,
                   10200},
        EndingCase{"OtherProgramAtAPing",
                   [] {
                     fake::integrity().still_runs = {os::CodeLook::gone};
                     fake::deliver_at(kStartTick, ping("1"));
                   },
                   {},
                   kReasonIntegrityChanged,
                   0},
        EndingCase{"StopAfterSleep",
                   [] { fake::stop_at(kStartTick + 100); },
                   {},
                   nullptr,
                   200}),
    fake::CaseName());

// ------------------------------------------------------------ first PING

struct SequenceCase {
  const char* name;
  std::string field;
  std::optional<std::string> accepted_as;  // nothing: a replay
};

class FirstSequenceTest : public SessionLoopTest,
                          public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(FirstSequenceTest, ParsedAndJudged) {
  const SequenceCase& c = GetParam();
  begin();
  fake::deliver_at(kStartTick, ping(c.field));
  fake::deliver_at(kStartTick + 200, bye());
  run();
  if (c.accepted_as) {
    EXPECT_EQ(pongs(), std::vector<std::string>{pong(*c.accepted_as)});
    expect_closed(nullptr);
    EXPECT_EQ(close_tick(), kStartTick + 200);
    EXPECT_EQ(format_decimal_i64(state_.last_sequence), *c.accepted_as);
  } else {
    EXPECT_TRUE(pongs().empty());
    expect_closed(kReasonReplay);
    EXPECT_EQ(close_tick(), kStartTick);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, FirstSequenceTest,
    ::testing::Values(SequenceCase{"One", "1", "1"},
                      SequenceCase{"Zero", "0", std::nullopt},
                      SequenceCase{"LeadingZeros", "007", "7"},
                      SequenceCase{"PlusSign", "+5", "5"},
                      SequenceCase{"TrailingJunk", "12abc", "12"},
                      SequenceCase{"NoDigits", "abc", std::nullopt},
                      SequenceCase{"Negative", "-3", std::nullopt},
                      SequenceCase{"Empty", "", std::nullopt},
                      SequenceCase{"MinusZero", "-0", std::nullopt},
                      SequenceCase{"LeadingBlank", " 9", "9"},
                      SequenceCase{"TwentyFiveNines", std::string(25, '9'),
                                   kMaxSequence}),
    fake::CaseName());

TEST_F(SessionLoopTest, PongCarriesTheParsedNumberNotTheText) {
  begin();
  fake::deliver_at(kStartTick, ping("007"));
  fake::deliver_at(kStartTick + 200, bye());
  run();
  ASSERT_EQ(fake::written_bytes().size(), 1u);
  EXPECT_EQ(fake::written_bytes()[0], "PONG|7\n");
  EXPECT_EQ(fake::world().pipe.written[0].timeout_ms, kWriteBoundMs);
}

TEST_F(SessionLoopTest, AfterTheLargestNumberEveryPingIsAReplay) {
  begin();
  fake::deliver_at(kStartTick, ping(std::string(25, '9')));
  fake::deliver_at(kStartTick + 200, ping(std::string(30, '9')));
  run();
  EXPECT_EQ(pongs(), std::vector<std::string>{pong(kMaxSequence)});
  expect_closed(kReasonReplay);
  EXPECT_EQ(close_tick(), kStartTick + 200);
}

TEST_F(SessionLoopTest, SameNumberTwiceIsAReplay) {
  begin();
  fake::deliver_at(kStartTick, ping("5"));
  fake::deliver_at(kStartTick + 200, ping("5"));
  run();
  EXPECT_EQ(pongs(), std::vector<std::string>{pong("5")});
  expect_closed(kReasonReplay);
  EXPECT_EQ(close_tick(), kStartTick + 200);
}

TEST_F(SessionLoopTest, LowerNumberIsAReplay) {
  begin();
  fake::deliver_at(kStartTick, ping("5"));
  fake::deliver_at(kStartTick + 200, ping("4"));
  run();
  EXPECT_EQ(pongs(), std::vector<std::string>{pong("5")});
  expect_closed(kReasonReplay);
}

TEST_F(SessionLoopTest, NumbersMayJumpAhead) {
  begin();
  fake::deliver_at(kStartTick, ping("1"));
  fake::deliver_at(kStartTick + 200, ping("2"));
  fake::deliver_at(kStartTick + 400, ping("50"));
  fake::deliver_at(kStartTick + 600, bye());
  run();
  EXPECT_EQ(pongs(),
            (std::vector<std::string>{pong("1"), pong("2"), pong("50")}));
  EXPECT_EQ(state_.last_sequence, 50);
  expect_closed(nullptr);
  EXPECT_EQ(close_tick(), kStartTick + 600);
}

// ------------------------------------------------------------ other messages

struct MessageCase {
  const char* name;
  std::string message;
  const char* reason;  // null: no enforcement
  std::vector<std::string> pongs;
};

class MessageTest : public SessionLoopTest,
                    public ::testing::WithParamInterface<MessageCase> {};

// The message comes first; a BYE follows one pass later for a session that
// is still open.
TEST_P(MessageTest, JudgedAsTheRulesSay) {
  const MessageCase& c = GetParam();
  begin();
  fake::deliver_at(kStartTick, c.message);
  fake::deliver_at(kStartTick + 200, bye());
  run();
  EXPECT_EQ(pongs(), c.pongs);
  expect_closed(c.reason);
  const bool ended_by_message = c.pongs.empty();
  EXPECT_EQ(close_tick(), kStartTick + (ended_by_message ? 0 : 200));
}

INSTANTIATE_TEST_SUITE_P(
    Messages, MessageTest,
    ::testing::Values(
        MessageCase{"PingLowerCaseToken",
                    ping("1",
                         "00112233445566778899aabb"
                         "ccddeeff0011223344556677"
                         "8899aabbccddeeff"),
                    kReasonReplay,
                    {}},
        MessageCase{"PingTokenOneShort",
                    ping("1", kToken.substr(1)),
                    kReasonReplay,
                    {}},
        MessageCase{"PingEmptyToken", ping("1", ""), kReasonReplay, {}},
        MessageCase{
            "ByeWrongToken", bye(std::string(64, 'F')), kReasonInvalid, {}},
        MessageCase{"ByeEmptyToken", "BYE||x", kReasonInvalid, {}},
        MessageCase{
            "PingThreeFields", "PING|" + kToken + "|5", kReasonInvalid, {}},
        MessageCase{
            "PingFiveFields", "PING|" + kToken + "|5|x|y", kReasonInvalid, {}},
        MessageCase{
            "PingTrailingBar", "PING|" + kToken + "|5|", kReasonInvalid, {}},
        MessageCase{
            "PingLowerCase", "ping|" + kToken + "|5|x", kReasonInvalid, {}},
        MessageCase{
            "PingLeadingBlank", " PING|" + kToken + "|5|x", kReasonInvalid, {}},
        MessageCase{"ByeOneField", "BYE", kReasonInvalid, {}},
        MessageCase{"ByeBarOnly", "BYE|", kReasonInvalid, {}},
        MessageCase{"ByeLowerCase", "bye|" + kToken, kReasonInvalid, {}},
        MessageCase{"EmptyOnceTrimmed", "\n", kReasonInvalid, {}},
        MessageCase{
            "OnlyTerminators", std::string("\r\n\0\n", 4), kReasonInvalid, {}},
        MessageCase{"SingleBar", "|", kReasonInvalid, {}},
        MessageCase{"PongFromClient", "PONG|1", kReasonInvalid, {}},
        MessageCase{"ByeWithExtraFields", bye() + "|a|b", nullptr, {}},
        MessageCase{"ByeWithTrailingBar", bye() + "|", nullptr, {}},
        MessageCase{"ByeWithTerminators", bye() + "\r\n", nullptr, {}},
        MessageCase{"PingEmptyLastField",
                    "PING|" + kToken + "|5||",
                    nullptr,
                    {pong("5")}},
        MessageCase{
            "PingWithTerminators", ping("5") + "\r\n", nullptr, {pong("5")}},
        MessageCase{"PingAnyLastField",
                    "PING|" + kToken + "|5|any text\t!",
                    nullptr,
                    {pong("5")}}),
    fake::CaseName());

// ------------------------------------------------------------ deadlines

TEST_F(SessionLoopTest, ExactlyTwelveSecondsIsNotYetATimeout) {
  begin();
  state_.last_heartbeat_tick = kStartTick - kHeartbeatTimeoutMs;
  fake::stop_at(kStartTick + 100);
  run();
  expect_closed(nullptr);
  EXPECT_EQ(close_tick(), kStartTick + 200);
}

TEST_F(SessionLoopTest, OneMillisecondMoreIsATimeout) {
  begin();
  state_.last_heartbeat_tick = kStartTick - kHeartbeatTimeoutMs - 1;
  fake::stop_at(kStartTick + 100);
  run();
  expect_closed(kReasonHeartbeatTimeout);
  EXPECT_EQ(close_tick(), kStartTick);
  EXPECT_EQ(fake::events_of(Call::process_terminate)[0].tick, kStartTick);
}

TEST_F(SessionLoopTest, ExactlyTenSecondsIsNotYetARecheck) {
  begin();
  state_.last_recheck_tick = kStartTick - kRecheckIntervalMs;
  fake::stop_at(kStartTick + 100);
  run();
  EXPECT_TRUE(fake::integrity().rechecks.empty());
  expect_closed(nullptr);
}

TEST_F(SessionLoopTest, OneMillisecondMoreStartsARecheck) {
  begin();
  state_.last_recheck_tick = kStartTick - kRecheckIntervalMs - 1;
  fake::stop_at(kStartTick + 100);
  run();
  const std::vector<fake::RecheckCall>& rechecks = fake::integrity().rechecks;
  ASSERT_EQ(rechecks.size(), 1u);
  EXPECT_EQ(rechecks[0].tick, kStartTick);
  EXPECT_EQ(rechecks[0].pid, kPid);
  EXPECT_EQ(rechecks[0].record.evidence_1, kEvidence1);
  EXPECT_EQ(rechecks[0].record.evidence_2, kEvidence2);
  // The start of the re-check is noted before it runs.
  EXPECT_EQ(rechecks[0].last_recheck_tick_seen, kStartTick);
  EXPECT_EQ(state_.last_recheck_tick, kStartTick);
  expect_closed(nullptr);
}

TEST_F(SessionLoopTest, RechecksFollowAtIntervalsOfMoreThanTenSeconds) {
  begin();
  for (int i = 1; i <= 25; ++i) {
    fake::deliver_at(kStartTick + 1000u * static_cast<unsigned>(i),
                     ping(std::to_string(i)));
  }
  fake::deliver_at(kStartTick + 25200, bye());
  run();
  std::vector<std::uint64_t> ticks;
  for (const fake::RecheckCall& r : fake::integrity().rechecks) {
    ticks.push_back(r.tick);
  }
  EXPECT_EQ(ticks, (std::vector<std::uint64_t>{kStartTick + 10200,
                                               kStartTick + 20400}));
  EXPECT_EQ(pongs().size(), 25u);
  expect_closed(nullptr);
}

// Looks at the code come at random, half an interval to a whole one apart,
// and a changed look ends the session.
TEST_F(SessionLoopTest, CodeIsLookedAtRandomlyAtMostAnIntervalApart) {
  begin();
  fake::integrity().code_looks = {os::CodeLook::intact, os::CodeLook::intact,
                                  os::CodeLook::intact, os::CodeLook::changed};
  for (int i = 1; i <= 45; ++i) {
    fake::deliver_at(kStartTick + 1000u * static_cast<unsigned>(i),
                     ping(std::to_string(i)));
  }
  run();
  const std::vector<std::uint64_t>& ticks = fake::integrity().code_look_ticks;
  ASSERT_EQ(ticks.size(), 4u);
  std::uint64_t before = kStartTick;
  for (const std::uint64_t tick : ticks) {
    EXPECT_GE(tick - before, kRecheckIntervalMs / 2);
    EXPECT_LE(tick - before, kRecheckIntervalMs + kPollIntervalMs);
    before = tick;
  }
  EXPECT_NE(ticks[1] - ticks[0], ticks[2] - ticks[1]);
  expect_closed(kReasonIntegrityChanged);
}

TEST_F(SessionLoopTest, SecondFailedRecheckEndsTheSession) {
  begin();
  fake::integrity().recheck_results = {true, false};
  for (int i = 1; i <= 25; ++i) {
    fake::deliver_at(kStartTick + 1000u * static_cast<unsigned>(i),
                     ping(std::to_string(i)));
  }
  run();
  EXPECT_EQ(fake::integrity().rechecks.size(), 2u);
  expect_closed(kReasonIntegrityChanged);
  EXPECT_EQ(close_tick(), kStartTick + 20400);
  EXPECT_EQ(pongs().size(), 20u);
}

TEST_F(SessionLoopTest, WaitingPingIsHandledBeforeTheDeadlineTest) {
  begin();
  state_.last_heartbeat_tick = kStartTick - 12500;
  fake::deliver_at(kStartTick, ping("1"));
  fake::stop_at(kStartTick + 100);
  run();
  EXPECT_EQ(pongs(), std::vector<std::string>{pong("1")});
  EXPECT_EQ(state_.last_heartbeat_tick, kStartTick);
  expect_closed(nullptr);
}

TEST_F(SessionLoopTest, HeartbeatCountsFromWhenThePingIsHandled) {
  begin();
  // Sent between two passes, handled at the next one.
  fake::deliver_at(kStartTick + 50, ping("1"));
  run();
  EXPECT_EQ(pong_ticks(), std::vector<std::uint64_t>{kStartTick + 200});
  EXPECT_EQ(state_.last_heartbeat_tick, kStartTick + 200);
  expect_closed(kReasonHeartbeatTimeout);
  EXPECT_EQ(close_tick(), kStartTick + 200 + 12200);
}

TEST_F(SessionLoopTest, QueuedMessagesGoInConsecutivePasses) {
  begin();
  fake::deliver_at(kStartTick, ping("1"));
  fake::deliver_at(kStartTick, ping("2"));
  fake::deliver_at(kStartTick, bye());
  run();
  EXPECT_EQ(pongs(), (std::vector<std::string>{pong("1"), pong("2")}));
  EXPECT_EQ(pong_ticks(),
            (std::vector<std::uint64_t>{kStartTick, kStartTick + 200}));
  expect_closed(nullptr);
  EXPECT_EQ(close_tick(), kStartTick + 400);
}

// ------------------------------------------------------------ stops

TEST_F(SessionLoopTest, StopBeforeTheFirstPassHandlesNothing) {
  begin();
  fake::stop_at(kStartTick);
  fake::deliver_at(kStartTick, ping("1"));
  run();
  EXPECT_TRUE(fake::events_of(Call::pipe_read).empty());
  EXPECT_TRUE(fake::events_of(Call::pipe_bytes_waiting).empty());
  EXPECT_TRUE(fake::written_bytes().empty());
  EXPECT_FALSE(fake::world().process.terminated);
  expect_closed(nullptr);
  EXPECT_EQ(close_tick(), kStartTick);
}

TEST_F(SessionLoopTest, StopDuringTheSessionClosesWithoutTerminating) {
  begin();
  fake::deliver_at(kStartTick, ping("1"));
  fake::stop_at(kStartTick + 1000);
  run();
  EXPECT_EQ(pongs(), std::vector<std::string>{pong("1")});
  EXPECT_FALSE(fake::world().process.terminated);
  expect_closed(nullptr);
  EXPECT_EQ(close_tick(), kStartTick + 1000);
}

TEST_F(SessionLoopTest, StopBeforeTheHandshakeFinishedClosesAtOnce) {
  // The stop comes while the OK reply is being written.
  fake::script_write(os::WriteOutcome::written, 20);
  fake::stop_at(kStartTick + 10);
  ASSERT_TRUE(begin_with_handshake());
  fake::deliver_at(kStartTick + 20, ping("1", state_.token));
  run();
  EXPECT_TRUE(pongs().empty());
  // Only the handshake's read of the HELLO.
  EXPECT_EQ(fake::events_of(Call::pipe_read).size(), 1u);
  EXPECT_FALSE(fake::world().process.terminated);
  expect_closed(nullptr);
  EXPECT_EQ(close_tick(), kStartTick + 20);
}

// ------------------------------------------------------------ writes

TEST_F(SessionLoopTest, TimedOutPongEndsTheSessionQuietly) {
  begin();
  fake::script_write(os::WriteOutcome::timed_out, kWriteBoundMs);
  fake::deliver_at(kStartTick, ping("1"));
  run();
  EXPECT_EQ(pongs(), std::vector<std::string>{pong("1")});
  expect_closed(nullptr);
  EXPECT_GE(close_tick(), kStartTick + kWriteBoundMs);
}

TEST_F(SessionLoopTest, FailedPongIsNotActedOn) {
  begin();
  fake::script_write(os::WriteOutcome::failed, 0);
  fake::deliver_at(kStartTick, ping("1"));
  fake::deliver_at(kStartTick + 200, ping("2"));
  fake::deliver_at(kStartTick + 400, bye());
  run();
  EXPECT_EQ(pongs(), (std::vector<std::string>{pong("1"), pong("2")}));
  EXPECT_EQ(state_.last_sequence, 2);
  expect_closed(nullptr);
  EXPECT_EQ(close_tick(), kStartTick + 400);
}

// ------------------------------------------------------------ long sessions

TEST_F(SessionLoopTest, PingEveryElevenSecondsStaysConnected) {
  ASSERT_TRUE(begin_with_handshake());
  const std::uint64_t ready = state_.last_heartbeat_tick;
  std::vector<std::string> expected_pongs;
  std::vector<std::uint64_t> expected_ticks;
  for (unsigned i = 1; i <= 10; ++i) {
    fake::deliver_at(ready + 11000u * i, ping(std::to_string(i), state_.token));
    expected_pongs.push_back(pong(std::to_string(i)));
    expected_ticks.push_back(ready + 11000u * i);
  }
  fake::deliver_at(ready + 110200, bye(state_.token));
  run();
  EXPECT_EQ(pongs(), expected_pongs);
  EXPECT_EQ(pong_ticks(), expected_ticks);
  std::vector<std::uint64_t> recheck_ticks;
  for (const fake::RecheckCall& r : fake::integrity().rechecks) {
    recheck_ticks.push_back(r.tick);
  }
  std::vector<std::uint64_t> expected_rechecks;
  for (unsigned k = 1; k <= 10; ++k)
    expected_rechecks.push_back(ready + 10200u * k);
  EXPECT_EQ(recheck_ticks, expected_rechecks);
  expect_closed(nullptr);
  EXPECT_EQ(close_tick(), ready + 110200);
}

TEST_F(SessionLoopTest, GapOfTwelveAndAHalfSecondsTimesOut) {
  ASSERT_TRUE(begin_with_handshake());
  const std::uint64_t ready = state_.last_heartbeat_tick;
  fake::deliver_at(ready + 11000, ping("1", state_.token));
  fake::deliver_at(ready + 23500, ping("2", state_.token));
  run();
  EXPECT_EQ(pongs(), std::vector<std::string>{pong("1")});
  expect_closed(kReasonHeartbeatTimeout);
  EXPECT_EQ(close_tick(), ready + 23200);
}

// A stop that comes right after the hand-over must see the worker: it is
// counted before its thread is asked for, and released when none starts.
TEST_F(SessionLoopTest, WorkerCountsBeforeItsThreadStarts) {
  Supervisor workers;
  std::size_t counted_at_start = 0;
  fake::world().on_thread_start = [&] { counted_at_start = workers.running(); };
  EXPECT_FALSE(workers.start(session_work(Connection(fake::connected_pipe()))));
  EXPECT_EQ(counted_at_start, 1u);
  EXPECT_EQ(workers.running(), 0u);
  EXPECT_TRUE(workers.wait_all(0));
  expect_channel_closed_once();
}

}  // namespace
}  // namespace vorn
