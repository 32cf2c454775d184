// The pipe channel over a real connected pair: a message-mode named pipe on
// Windows, an AF_UNIX SOCK_SEQPACKET pair on POSIX.
#include "pipe/pipe_channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime.h"
#include "platform/system.h"
#include "support/pipe_pair.h"

namespace vorn {
namespace {

using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

constexpr unsigned kReceiveTimeoutMs = 5000;
// A sanity bound for calls that must not block for long; far above the
// channel's own one-second bounds.
constexpr auto kSanityBound = std::chrono::seconds(5);

bool windows_pipes() { return os::path_separator() == '\\'; }

class PipeChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::open_pipe_pair(pair_));
    server_open_ = true;
    client_open_ = true;
  }

  void TearDown() override {
    if (client_open_) test::close_client(pair_);
    if (server_open_) pair_.server.close();
  }

  void close_client() {
    test::close_client(pair_);
    client_open_ = false;
  }

  void close_server_channel() {
    close_channel(pair_.server);
    server_open_ = false;
  }

  void send(const std::string& bytes) {
    ASSERT_TRUE(test::client_send_raw(pair_, bytes));
  }

  // Sends one raw message and reads it back through the channel.
  void expect_read(const std::string& raw, const std::string& expected) {
    send(raw);
    std::string text = "earlier";
    ASSERT_TRUE(read_message(pair_.server, text));
    EXPECT_EQ(text, expected);
  }

  std::string receive() {
    std::string bytes;
    EXPECT_TRUE(test::client_receive_raw(pair_, bytes, kReceiveTimeoutMs));
    return bytes;
  }

  test::PipePair pair_;
  bool server_open_ = false;
  bool client_open_ = false;
};

// ---------------------------------------------------------------- reading

TEST_F(PipeChannelTest, LongestMessageIsReadWhole) {
  std::string message;
  for (std::size_t i = 0; i + 1 < kMaxMessageBytes; ++i) {
    message += static_cast<char>(i % 251);  // zero bytes inside included
  }
  message += 'E';
  ASSERT_EQ(message.size(), 2047u);
  expect_read(message, message);
}

TEST_F(PipeChannelTest, OverlongMessageFailsAndKeepsTheText) {
  std::string overlong(2047, 'A');
  overlong += 'Z';
  send(overlong);
  send("next");
  std::string text = "earlier";
  EXPECT_FALSE(read_message(pair_.server, text));
  EXPECT_EQ(text, "earlier");
  if (windows_pipes()) {
    // A message-mode pipe keeps what did not fit: the last byte of the
    // over-long message is the next read.
    ASSERT_TRUE(read_message(pair_.server, text));
    EXPECT_EQ(text, "Z");
  }
  // A SEQPACKET socket has dropped the rest, so the next message follows at
  // once there.
  ASSERT_TRUE(read_message(pair_.server, text));
  EXPECT_EQ(text, "next");
}

TEST_F(PipeChannelTest, TrailingTerminatorsAreTrimmed) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"PING", "PING"},
      {"PING\r\n", "PING"},
      {"PING\n", "PING"},
      {"PING\r", "PING"},
      {"PING\0"s, "PING"},
      {"PING\0\0\0"s, "PING"},
      {"PING\n\r\n", "PING"},
      {"PING\r\0\n\0\r"s, "PING"},
      // Only the end is trimmed: inner and leading terminators stay.
      {"a\nb\r\n", "a\nb"},
      {"a\0b\0"s, "a\0b"s},
      {"a\r\nb", "a\r\nb"},
      {"\na", "\na"},
      {"\0\r\na"s, "\0\r\na"s},
      {"a\n \n", "a\n "},
      // Nothing but terminators: a message, with an empty text.
      {"\n", ""},
      {"\r\n", ""},
      {"\0"s, ""},
      {"\r\n\0\n\r\0"s, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("case of " + std::to_string(c.first.size()) +
                 " bytes: " + c.second);
    expect_read(c.first, c.second);
  }
}

TEST_F(PipeChannelTest, EachReadStartsFresh) {
  expect_read(std::string(300, 'A'), std::string(300, 'A'));
  expect_read("B\0"s, "B");
  expect_read("C", "C");
}

TEST_F(PipeChannelTest, ZeroByteMessageIsNotAMessage) {
  send("");
  send("after");
  std::string text = "earlier";
  EXPECT_FALSE(read_message(pair_.server, text));
  EXPECT_EQ(text, "earlier");
  ASSERT_TRUE(read_message(pair_.server, text));
  EXPECT_EQ(text, "after");
}

TEST_F(PipeChannelTest, MessagesSentBeforeTheCloseAreStillRead) {
  send("BYE|token");
  close_client();
  std::string text;
  ASSERT_TRUE(read_message(pair_.server, text));
  EXPECT_EQ(text, "BYE|token");
  text = "kept";
  EXPECT_FALSE(read_message(pair_.server, text));
  EXPECT_EQ(text, "kept");
}

// ---------------------------------------------------------------- writing

TEST_F(PipeChannelTest, WrittenTextArrivesWithOneLineFeed) {
  const std::vector<std::string> texts = {
      "PONG|17",
      "",
      "OK|" + std::string(64, 'A') + "|1.0.0",
      "ERR|IDENTITY",
      // Sent unchanged: nothing inside is looked at.
      "a\nb|c\r",
      "a\0b"s,
      "\n",
      std::string(2000, 'w'),
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE("text of " + std::to_string(text.size()) + " bytes");
    EXPECT_TRUE(write_message(pair_.server, text));
    const std::string bytes = receive();
    ASSERT_EQ(bytes.size(), text.size() + 1);
    EXPECT_EQ(bytes, text + "\n");
  }
}

TEST_F(PipeChannelTest, EveryWriteIsItsOwnMessage) {
  EXPECT_EQ(send_message(pair_.server, "PONG|1"), os::WriteOutcome::written);
  EXPECT_EQ(send_message(pair_.server, "PONG|2"), os::WriteOutcome::written);
  EXPECT_TRUE(write_message(pair_.server, ""));
  EXPECT_EQ(receive(), "PONG|1\n");
  EXPECT_EQ(receive(), "PONG|2\n");
  EXPECT_EQ(receive(), "\n");
}

TEST_F(PipeChannelTest, WriteReturnsWithinItsBoundWhenTheClientNeverReads) {
  const std::string chunk(1000, 'w');
  os::WriteOutcome outcome = os::WriteOutcome::written;
  int writes = 0;
  // Far more than any pipe or socket buffer here takes.
  while (writes < 5000) {
    const Clock::time_point start = Clock::now();
    outcome = send_message(pair_.server, chunk);
    const Clock::duration took = Clock::now() - start;
    ASSERT_LT(took, kSanityBound) << "write " << writes;
    if (outcome != os::WriteOutcome::written) break;
    ++writes;
  }
  EXPECT_NE(outcome, os::WriteOutcome::written)
      << "the pipe never filled up after " << writes << " writes";
  EXPECT_GT(writes, 0);

  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(write_message(pair_.server, chunk));
  EXPECT_LT(Clock::now() - start, kSanityBound);

  // The flush of a client that never reads is bounded as well.
  const Clock::time_point close_start = Clock::now();
  close_server_channel();
  EXPECT_LT(Clock::now() - close_start, kSanityBound);
}

// ---------------------------------------------------------------- peer gone

TEST_F(PipeChannelTest, PeerClosedFailsReadAndWrite) {
  close_client();
  std::string text = "earlier";
  EXPECT_FALSE(read_message(pair_.server, text));
  EXPECT_EQ(text, "earlier");
  EXPECT_FALSE(write_message(pair_.server, "PONG|1"));
  EXPECT_NE(send_message(pair_.server, "PONG|2"), os::WriteOutcome::written);
}

TEST_F(PipeChannelTest, CloseAfterThePeerHasGoneReturns) {
  close_client();
  const Clock::time_point start = Clock::now();
  close_server_channel();
  EXPECT_LT(Clock::now() - start, kSanityBound);
}

TEST_F(PipeChannelTest, ReplyReachesTheClientBeforeTheClose) {
  ASSERT_TRUE(write_message(pair_.server, "ERR|IDENTITY"));
  // The flush waits for the client to read, so the close runs beside it.
  std::thread closer([this] { close_server_channel(); });
  std::string bytes;
  const bool received =
      test::client_receive_raw(pair_, bytes, kReceiveTimeoutMs);
  closer.join();
  ASSERT_TRUE(received);
  EXPECT_EQ(bytes, "ERR|IDENTITY\n");

  // Then the connection is gone: the receive ends well before its time-out.
  constexpr unsigned kLongTimeoutMs = 10000;
  const Clock::time_point start = Clock::now();
  std::string more;
  EXPECT_FALSE(test::client_receive_raw(pair_, more, kLongTimeoutMs));
  EXPECT_LT(Clock::now() - start,
            std::chrono::milliseconds(kLongTimeoutMs / 2));
}

TEST_F(PipeChannelTest, CloseWithNothingWrittenEndsTheConnection) {
  close_server_channel();
  // The client sees the end at once, not after its time-out.
  constexpr unsigned kLongTimeoutMs = 10000;
  const Clock::time_point start = Clock::now();
  std::string bytes;
  EXPECT_FALSE(test::client_receive_raw(pair_, bytes, kLongTimeoutMs));
  EXPECT_LT(Clock::now() - start,
            std::chrono::milliseconds(kLongTimeoutMs / 2));
}

}  // namespace
}  // namespace vorn
