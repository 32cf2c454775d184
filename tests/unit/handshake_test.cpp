// The handshake on a fake pipe, process and clock: every answer to a first
// message, the drops without answer, and what a successful handshake hands on.
#include "session/handshake.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_integrity.h"
#include "fakes/fake_runtime.h"
#include "fakes/fake_session_fixture.h"
#include "log/diagnostics.h"
#include "session/session_state.h"

namespace vorn {
namespace {

using fake::Call;
using fake::kStartTick;

const std::string kHexLower =
    "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kHexUpper =
    "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";
const std::string kHexOther =
    "fedcba9876543210FEDCBA9876543210fedcba9876543210FEDCBA9876543210";
const std::string kHexOtherUpper =
    "FEDCBA9876543210FEDCBA9876543210FEDCBA9876543210FEDCBA9876543210";
const std::string kTag = "client-tag-0001";

std::string hello(const std::string& pid, const std::string& tag,
                  const std::string& evidence_1,
                  const std::string& evidence_2) {
  return "HELLO|" + pid + "|" + tag + "|" + evidence_1 + "|" + evidence_2;
}

std::string valid_hello() { return hello("42", kTag, kHexLower, kHexOther); }

// The token that the n-th random draw of the fake turns into.
std::string expected_token(int random_call) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string token;
  for (std::size_t i = 0; i < 32; ++i) {
    const std::uint8_t b = fake::random_byte(random_call, i);
    token.push_back(kDigits[b >> 4]);
    token.push_back(kDigits[b & 0x0F]);
  }
  return token;
}

std::string ok_reply(const std::string& token) {
  return "OK|" + token + "|1.0.0\n";
}

class HandshakeTest : public fake::FakeSessionTest {
 protected:
  std::optional<SessionState> run() {
    return run_handshake(Connection(fake::connected_pipe()));
  }

  // A refusal: the one reply, then one release; nothing logged, nobody
  // terminated, no process handle left open.
  void expect_refused(const std::optional<SessionState>& result,
                      const std::string& reply) {
    EXPECT_FALSE(result.has_value());
    EXPECT_EQ(fake::written_bytes(), std::vector<std::string>{reply + "\n"});
    EXPECT_EQ(fake::calls_among({Call::pipe_write, Call::pipe_flush}),
              (std::vector<Call>{Call::pipe_write, Call::pipe_flush}));
    expect_left_alone();
  }

  // A drop: no reply at all, one release, nothing logged.
  void expect_dropped(const std::optional<SessionState>& result) {
    EXPECT_FALSE(result.has_value());
    EXPECT_TRUE(fake::written_bytes().empty());
    expect_left_alone();
  }

  void expect_left_alone() {
    expect_channel_closed_once();
    EXPECT_TRUE(log_messages().empty());
    EXPECT_TRUE(fake::events_of(Call::process_terminate).empty());
    EXPECT_FALSE(fake::world().process.handle_open);
    EXPECT_FALSE(fake::world().pipe.read_blocked_forever);
    expect_own_handles_only();
  }
};

// ------------------------------------------------------------ HELLO table

struct HelloCase {
  const char* name;
  std::string message;
  // "OK" for an accepted client, else the error reply.
  std::string reply;
  bool integrity_runs;
  // Its pid in a pid namespace of its own; none: not told.
  std::optional<os::ProcessId> innermost_pid = std::nullopt;
};

class HelloTableTest : public HandshakeTest,
                       public ::testing::WithParamInterface<HelloCase> {};

TEST_P(HelloTableTest, AnswersAsTheTableSays) {
  const HelloCase& c = GetParam();
  fake::world().process.innermost_pid = c.innermost_pid;
  fake::deliver_at(kStartTick, c.message);
  std::optional<SessionState> result = run();

  EXPECT_EQ(fake::integrity().checks.size(), c.integrity_runs ? 1u : 0u);
  if (c.reply == "OK") {
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(fake::written_bytes(),
              std::vector<std::string>{ok_reply(expected_token(0))});
    EXPECT_EQ(log_messages(),
              std::vector<std::string>{"SESSION READY pid=42 host=client.exe"});
    EXPECT_TRUE(fake::events_of(Call::pipe_flush).empty());
    EXPECT_TRUE(fake::events_of(Call::process_terminate).empty());
    EXPECT_TRUE(fake::world().process.handle_open);
  } else {
    expect_refused(result, c.reply);
    EXPECT_FALSE(fake::world().process.handle_open);
    EXPECT_TRUE(fake::events_of(Call::random_bytes).empty());
  }
}

std::string with_byte(std::string text, std::size_t at, char byte) {
  text[at] = byte;
  return text;
}

const std::string kOnlyTerminators("\n\r\0\r\n\0", 6);

INSTANTIATE_TEST_SUITE_P(
    Hello, HelloTableTest,
    ::testing::Values(
        HelloCase{"Valid", valid_hello(), "OK", true},
        HelloCase{"TrailingCrLf", valid_hello() + "\r\n", "OK", true},
        HelloCase{"TrailingZeroBytes", valid_hello() + std::string(3, '\0'),
                  "OK", true},
        HelloCase{"TrailingBarIsNoField", valid_hello() + "|", "OK", true},
        HelloCase{"UpperCaseEvidence", hello("42", kTag, kHexUpper, kHexUpper),
                  "OK", true},
        // The process id is read leniently.
        HelloCase{"PidLeadingBlank", hello(" 42", kTag, kHexLower, kHexOther),
                  "OK", true},
        HelloCase{"PidLeadingZeros", hello("0042", kTag, kHexLower, kHexOther),
                  "OK", true},
        HelloCase{"PidPlusSign", hello("+42", kTag, kHexLower, kHexOther), "OK",
                  true},
        HelloCase{"PidTrailingJunk", hello("42abc", kTag, kHexLower, kHexOther),
                  "OK", true},
        HelloCase{"PidMinusWrapsModulo2To32",
                  hello("-4294967254", kTag, kHexLower, kHexOther), "OK", true},
        // A sandboxed client names itself by the pid it sees.
        HelloCase{"PidInItsOwnNamespace",
                  hello("7", kTag, kHexLower, kHexOther), "OK", true, 7},
        HelloCase{"TagOfTwelveBytes",
                  hello("42", "123456789012", kHexLower, kHexOther), "OK",
                  true},
        // Not a HELLO.
        HelloCase{"FourFields", "HELLO|42|" + kTag + "|" + kHexLower,
                  "ERR|HELLO", false},
        HelloCase{"SixFields", valid_hello() + "|extra", "ERR|HELLO", false},
        HelloCase{"SixFieldsLastEmpty", valid_hello() + "||", "ERR|HELLO",
                  false},
        HelloCase{"LowerCaseKeyword",
                  "hello|42|" + kTag + "|" + kHexLower + "|" + kHexOther,
                  "ERR|HELLO", false},
        HelloCase{"KeywordWithBlank",
                  "HELLO |42|" + kTag + "|" + kHexLower + "|" + kHexOther,
                  "ERR|HELLO", false},
        HelloCase{"OnlyTerminators", kOnlyTerminators, "ERR|HELLO", false},
        HelloCase{"SingleWord", "HELLO", "ERR|HELLO", false},
        // Well formed, but not this client or not its values.
        HelloCase{"OtherPid", hello("43", kTag, kHexLower, kHexOther),
                  "ERR|IDENTITY", false},
        HelloCase{"OtherPidInItsOwnNamespace",
                  hello("8", kTag, kHexLower, kHexOther), "ERR|IDENTITY", false,
                  7},
        HelloCase{"PidWithoutDigits", hello("abc", kTag, kHexLower, kHexOther),
                  "ERR|IDENTITY", false},
        HelloCase{"EmptyPid", hello("", kTag, kHexLower, kHexOther),
                  "ERR|IDENTITY", false},
        HelloCase{"PidSaturates",
                  hello("4294967338", kTag, kHexLower, kHexOther),
                  "ERR|IDENTITY", false},
        HelloCase{"TagOfElevenBytes",
                  hello("42", "12345678901", kHexLower, kHexOther),
                  "ERR|IDENTITY", false},
        HelloCase{"EmptyTag", hello("42", "", kHexLower, kHexOther),
                  "ERR|IDENTITY", false},
        HelloCase{"Evidence1Of63Digits",
                  hello("42", kTag, kHexLower.substr(1), kHexOther),
                  "ERR|IDENTITY", false},
        HelloCase{"Evidence1Of65Digits",
                  hello("42", kTag, kHexLower + "a", kHexOther), "ERR|IDENTITY",
                  false},
        HelloCase{"Evidence2Of63Digits",
                  hello("42", kTag, kHexLower, kHexOther.substr(1)),
                  "ERR|IDENTITY", false},
        HelloCase{"Evidence2Of65Digits",
                  hello("42", kTag, kHexLower, kHexOther + "0"), "ERR|IDENTITY",
                  false},
        HelloCase{"Evidence1WithG",
                  hello("42", kTag, with_byte(kHexLower, 10, 'G'), kHexOther),
                  "ERR|IDENTITY", false},
        HelloCase{"Evidence1WithBlank",
                  hello("42", kTag, with_byte(kHexLower, 0, ' '), kHexOther),
                  "ERR|IDENTITY", false},
        HelloCase{
            "Evidence1WithHighByte",
            hello("42", kTag, with_byte(kHexLower, 63, '\x80'), kHexOther),
            "ERR|IDENTITY", false},
        HelloCase{"Evidence2WithG",
                  hello("42", kTag, kHexLower, with_byte(kHexOther, 5, 'g')),
                  "ERR|IDENTITY", false},
        HelloCase{"Evidence2WithBlank",
                  hello("42", kTag, kHexLower, with_byte(kHexOther, 63, ' ')),
                  "ERR|IDENTITY", false},
        HelloCase{"Evidence2WithHighByte",
                  hello("42", kTag, kHexLower, with_byte(kHexOther, 0, '\xFF')),
                  "ERR|IDENTITY", false},
        HelloCase{"Evidence2WithZeroByte",
                  hello("42", kTag, kHexLower, with_byte(kHexOther, 30, '\0')),
                  "ERR|IDENTITY", false}),
    fake::CaseName());

// ------------------------------------------------------------ diagnostics

struct RefusalCase {
  const char* name;
  std::string message;
  std::string reason;  // "" for a HELLO that passes
};

class RefusalDiagnosticTest
    : public HandshakeTest,
      public ::testing::WithParamInterface<RefusalCase> {
 protected:
  void SetUp() override {
    HandshakeTest::SetUp();
    set_diagnostic_sink([this](DiagnosticLevel level, const std::string& text) {
      lines_.push_back(std::to_string(static_cast<int>(level)) + " " + text);
    });
  }
  void TearDown() override {
    set_diagnostic_sink(nullptr);
    HandshakeTest::TearDown();
  }
  std::vector<std::string> lines_;
};

// The operator reads why, in words; the client's own bytes never appear.
TEST_P(RefusalDiagnosticTest, TellsTheOperatorWhy) {
  const RefusalCase& c = GetParam();
  fake::deliver_at(kStartTick, c.message);
  (void)run();
  const std::vector<std::string> expected =
      c.reason.empty() ? std::vector<std::string>{}
                       : std::vector<std::string>{
                             "4 handshake refused, pid=42: " + c.reason};
  EXPECT_EQ(lines_, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Refusal, RefusalDiagnosticTest,
    ::testing::Values(
        RefusalCase{"Accepted", valid_hello(), ""},
        RefusalCase{"NotAHello", "HELLO|42|" + kTag,
                    "the first message is not a HELLO of five fields"},
        RefusalCase{"OtherPid", hello("43", kTag, kHexLower, kHexOther),
                    "pid field names another process (43)"},
        RefusalCase{"ShortTag", hello("42", "short", kHexLower, kHexOther),
                    "tag shorter than 12 bytes"},
        RefusalCase{"BadEvidence", hello("42", kTag, "xyz", kHexOther),
                    "evidence is not 64 hex digits"}),
    fake::CaseName());

// ------------------------------------------------------------ success

TEST_F(HandshakeTest, AcceptedClientGetsTokenAndSessionState) {
  fake::deliver_at(kStartTick, valid_hello());
  // The OK reply takes 30 ms to go out, so the state's ticks show when
  // they were read.
  fake::script_write(os::WriteOutcome::written, 30);
  std::optional<SessionState> result = run();
  ASSERT_TRUE(result.has_value());
  const SessionState& state = *result;

  const std::string token = expected_token(0);
  ASSERT_EQ(fake::world().pipe.written.size(), 1u);
  const fake::Written& reply = fake::world().pipe.written[0];
  EXPECT_EQ(reply.bytes, ok_reply(token));
  EXPECT_EQ(reply.bytes.size(), 3u + 64u + 6u + 1u);
  // The reply went out before the READY line.
  EXPECT_EQ(reply.log_lines, 0u);
  EXPECT_EQ(log_messages(),
            std::vector<std::string>{"SESSION READY pid=42 host=client.exe"});

  EXPECT_EQ(state.token, token);
  EXPECT_EQ(state.client_pid, 42u);
  EXPECT_TRUE(state.connection.is_open());
  EXPECT_TRUE(state.client_process.is_open());
  EXPECT_EQ(state.client_process.handle().raw(), fake::kProcessRaw);
  EXPECT_TRUE(fake::world().process.handle_open);
  EXPECT_EQ(state.last_heartbeat_tick, kStartTick + 30);
  EXPECT_EQ(state.last_recheck_tick, kStartTick + 30);
  EXPECT_EQ(state.last_sequence, 0);
  EXPECT_EQ(state.integrity_record.evidence_1, kHexUpper);
  EXPECT_EQ(state.integrity_record.evidence_2, kHexOtherUpper);

  // Evidence goes to the check upper-cased, with the pipe's process id.
  ASSERT_EQ(fake::integrity().checks.size(), 1u);
  EXPECT_EQ(fake::integrity().checks[0].pid, 42u);
  EXPECT_EQ(fake::integrity().checks[0].evidence_1, kHexUpper);
  EXPECT_EQ(fake::integrity().checks[0].evidence_2, kHexOtherUpper);

  EXPECT_EQ(fake::world().process.open_requests,
            std::vector<os::ProcessId>{42});
  EXPECT_EQ(fake::events_of(Call::random_bytes).size(), 1u);
  // The pipe stays with the session.
  EXPECT_TRUE(fake::events_of(Call::pipe_flush).empty());
  EXPECT_TRUE(fake::events_of(Call::pipe_close).empty());
  EXPECT_TRUE(fake::events_of(Call::process_close).empty());
  EXPECT_TRUE(fake::events_of(Call::process_terminate).empty());
  expect_own_handles_only();
}

TEST_F(HandshakeTest, TokenIsSixtyFourUpperCaseHexDigits) {
  fake::deliver_at(kStartTick, valid_hello());
  std::optional<SessionState> result = run();
  ASSERT_TRUE(result.has_value());
  ASSERT_EQ(result->token.size(), 64u);
  for (char c : result->token) {
    EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << c;
  }
}

TEST_F(HandshakeTest, MessageOf2047BytesIsReadWhole) {
  std::string message = valid_hello();
  const std::string long_tag(2047 - message.size() + kTag.size(), 't');
  message = hello("42", long_tag, kHexLower, kHexOther);
  ASSERT_EQ(message.size(), 2047u);
  fake::deliver_at(kStartTick, message);
  EXPECT_TRUE(run().has_value());
  EXPECT_EQ(fake::written_bytes(),
            std::vector<std::string>{ok_reply(expected_token(0))});
}

TEST_F(HandshakeTest, ReadyLineWhenTheOkReplyCannotBeWritten) {
  fake::deliver_at(kStartTick, valid_hello());
  fake::script_write(os::WriteOutcome::failed, 0);
  std::optional<SessionState> result = run();
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(fake::world().pipe.written.size(), 1u);
  EXPECT_EQ(log_messages(),
            std::vector<std::string>{"SESSION READY pid=42 host=client.exe"});
  EXPECT_TRUE(fake::events_of(Call::pipe_flush).empty());
}

struct HostCase {
  const char* name;
  os::ProcessId pid;
  std::string image_path;
  std::string ready_line;
};

class ReadyLineTest : public HandshakeTest,
                      public ::testing::WithParamInterface<HostCase> {};

TEST_P(ReadyLineTest, NamesPidAndImageFileName) {
  const HostCase& c = GetParam();
  fake::world().pipe.client_pid = c.pid;
  fake::integrity().image_path = c.image_path;
  fake::deliver_at(kStartTick,
                   hello(std::to_string(c.pid), kTag, kHexLower, kHexOther));
  ASSERT_TRUE(run().has_value());
  EXPECT_EQ(log_messages(), std::vector<std::string>{c.ready_line});
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, ReadyLineTest,
    ::testing::Values(HostCase{"WindowsPath", 812, "C:\\Games\\client.exe",
                               "SESSION READY pid=812 host=client.exe"},
                      HostCase{"PosixPath", 42, "/opt/game/bin/client",
                               "SESSION READY pid=42 host=client"},
                      HostCase{"MixedSeparators", 42, "C:\\Games/sub\\Game.EXE",
                               "SESSION READY pid=42 host=Game.EXE"},
                      HostCase{"BareName", 7, "client.exe",
                               "SESSION READY pid=7 host=client.exe"},
                      HostCase{"LargestPid", 4294967295u, "C:\\a.exe",
                               "SESSION READY pid=4294967295 host=a.exe"},
                      // A crafted name cannot start a log line of its own.
                      HostCase{"ControlByteEscaped", 42, "/tmp/evil\nname",
                               "SESSION READY pid=42 host=evil\\x0Aname"}),
    fake::CaseName());

// ------------------------------------------------------------ later refusals

TEST_F(HandshakeTest, NotIdentifiedIsAnIdentityError) {
  fake::integrity().outcome = IntegrityOutcome::not_identified;
  fake::deliver_at(kStartTick, valid_hello());
  expect_refused(run(), "ERR|IDENTITY");
  ASSERT_EQ(fake::integrity().checks.size(), 1u);
  EXPECT_EQ(fake::integrity().checks[0].evidence_1, kHexUpper);
  EXPECT_FALSE(fake::world().process.handle_open);
  EXPECT_TRUE(fake::events_of(Call::random_bytes).empty());
}

TEST_F(HandshakeTest, MismatchIsAnIntegrityError) {
  fake::integrity().outcome = IntegrityOutcome::mismatch;
  fake::deliver_at(kStartTick, valid_hello());
  expect_refused(run(), "ERR|INTEGRITY");
  EXPECT_EQ(fake::integrity().checks.size(), 1u);
  EXPECT_FALSE(fake::world().process.handle_open);
  EXPECT_TRUE(fake::events_of(Call::random_bytes).empty());
}

// The stop cuts the hashing short; the client is told nothing false.
TEST_F(HandshakeTest, StopDuringTheCheckDropsWithoutAVerdict) {
  fake::integrity().outcome = IntegrityOutcome::mismatch;
  fake::stop_at(kStartTick);
  fake::deliver_at(kStartTick, valid_hello());
  expect_dropped(run());
  EXPECT_EQ(fake::integrity().checks.size(), 1u);
}

TEST_F(HandshakeTest, UnopenableProcessIsAProcessErrorWithoutToken) {
  fake::world().process.open_fails = true;
  fake::deliver_at(kStartTick, valid_hello());
  expect_refused(run(), "ERR|PROCESS");
  EXPECT_EQ(fake::world().process.open_requests,
            std::vector<os::ProcessId>{42});
  EXPECT_TRUE(fake::events_of(Call::random_bytes).empty());
  EXPECT_TRUE(fake::events_of(Call::process_close).empty());
}

TEST_F(HandshakeTest, RandomFailureDropsAndClosesTheProcess) {
  fake::world().random_ok = false;
  fake::deliver_at(kStartTick, valid_hello());
  expect_dropped(run());
  EXPECT_EQ(fake::events_of(Call::random_bytes).size(), 1u);
  // The process handle goes before the pipe.
  EXPECT_EQ(fake::calls_among(
                {Call::process_open, Call::process_close, Call::pipe_flush}),
            (std::vector<Call>{Call::process_open, Call::process_close,
                               Call::pipe_flush}));
}

// ------------------------------------------------------------ drops

TEST_F(HandshakeTest, PidQueryFailureDropsWithoutReading) {
  fake::world().pipe.client_pid_ok = false;
  fake::deliver_at(kStartTick, valid_hello());
  expect_dropped(run());
  EXPECT_TRUE(fake::events_of(Call::pipe_read).empty());
  EXPECT_TRUE(fake::integrity().checks.empty());
}

TEST_F(HandshakeTest, ConnectThenCloseDrops) {
  fake::break_at(kStartTick + 50);
  expect_dropped(run());
  EXPECT_TRUE(fake::integrity().checks.empty());
  EXPECT_LT(fake::now(), kStartTick + 1000);
}

TEST_F(HandshakeTest, OverlongFirstMessageDrops) {
  fake::deliver_at(kStartTick, std::string(2048, 'A'));
  expect_dropped(run());
}

TEST_F(HandshakeTest, EmptyFirstMessageDropsAtOnce) {
  // Where the OS tells an empty message from silence, nothing is gained by
  // waiting out the first-message limit.
  fake::deliver_at(kStartTick + 100, "");
  fake::deliver_at(kStartTick + 200, valid_hello());
  expect_dropped(run());
  EXPECT_TRUE(fake::events_of(Call::pipe_read).empty());
  EXPECT_LT(fake::now(), kStartTick + 1000);
}

TEST_F(HandshakeTest, ClientGoneBeforeTheOkIsAProcessError) {
  fake::world().process.exit_tick = kStartTick;
  fake::deliver_at(kStartTick, valid_hello());
  expect_refused(run(), "ERR|PROCESS");
  EXPECT_TRUE(fake::events_of(Call::random_bytes).empty());
  EXPECT_FALSE(fake::world().process.handle_open);
}

TEST_F(HandshakeTest, OverlongHelloDrops) {
  const std::string message =
      hello("42", std::string(2048, 't'), kHexLower, kHexOther);
  fake::deliver_at(kStartTick, message);
  expect_dropped(run());
  EXPECT_TRUE(fake::integrity().checks.empty());
}

TEST_F(HandshakeTest, ZeroByteFirstMessageDrops) {
  // A valid HELLO behind it must not be taken as the first message.
  fake::deliver_at(kStartTick, "");
  fake::deliver_at(kStartTick + 100, valid_hello());
  expect_dropped(run());
  EXPECT_TRUE(fake::integrity().checks.empty());
}

// ------------------------------------------------------------ first-message
// limit

TEST_F(HandshakeTest, MessageJustInsideTheFirstMessageLimitIsServed) {
  fake::deliver_at(kStartTick + kFirstMessageTimeoutMs - 1, valid_hello());
  std::optional<SessionState> result = run();
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(fake::written_bytes(),
            std::vector<std::string>{ok_reply(expected_token(0))});
  EXPECT_GE(fake::world().pipe.written[0].tick,
            kStartTick + kFirstMessageTimeoutMs - 1);
}

TEST_F(HandshakeTest, NoMessageWithinTheLimitDrops) {
  fake::deliver_at(kStartTick + kFirstMessageTimeoutMs + 100, valid_hello());
  expect_dropped(run());
  EXPECT_TRUE(fake::integrity().checks.empty());
  const std::vector<fake::Event> flush = fake::events_of(Call::pipe_flush);
  ASSERT_EQ(flush.size(), 1u);
  EXPECT_GE(flush[0].tick, kStartTick + kFirstMessageTimeoutMs);
  EXPECT_LT(flush[0].tick, kStartTick + kFirstMessageTimeoutMs + 100);
}

TEST_F(HandshakeTest, SilentClientIsDroppedAtTheLimit) {
  expect_dropped(run());
  EXPECT_GE(fake::now(), kStartTick + kFirstMessageTimeoutMs);
  EXPECT_LT(fake::now(), kStartTick + kFirstMessageTimeoutMs + 100);
}

TEST_F(HandshakeTest, StopWhileWaitingDrops) {
  fake::stop_at(kStartTick + 3000);
  fake::deliver_at(kStartTick + 5000, valid_hello());
  expect_dropped(run());
  EXPECT_TRUE(fake::integrity().checks.empty());
  const std::vector<fake::Event> flush = fake::events_of(Call::pipe_flush);
  ASSERT_EQ(flush.size(), 1u);
  EXPECT_GE(flush[0].tick, kStartTick + 3000);
  EXPECT_LT(flush[0].tick, kStartTick + 3100);
}

}  // namespace
}  // namespace vorn
