// The guard module's side of the protocol texts.
#include "protocol/guard_protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace vorn::guard {
namespace {

const std::string kToken =
    "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";

TEST(GuardProtocol, BuildsTheClientMessages) {
  EXPECT_EQ(hello_message(812, "client-tag-12", "E1", "E2"),
            "HELLO|812|client-tag-12|E1|E2");
  EXPECT_EQ(ping_message(kToken, 1), "PING|" + kToken + "|1|vorn_guard");
  EXPECT_EQ(ping_message(kToken, 9223372036854775807LL),
            "PING|" + kToken + "|9223372036854775807|vorn_guard");
  EXPECT_EQ(bye_message(kToken), "BYE|" + kToken);
}

TEST(GuardProtocol, StripsOnlyTrailingTerminators) {
  EXPECT_EQ(strip_terminators("PONG|1\n"), "PONG|1");
  EXPECT_EQ(strip_terminators(std::string("PONG|1\r\n\0\n", 10)), "PONG|1");
  EXPECT_EQ(strip_terminators("a\nb\n"), "a\nb");
  EXPECT_EQ(strip_terminators("\n\n"), "");
  EXPECT_EQ(strip_terminators("x "), "x ");
}

TEST(GuardProtocol, ReadsTheStartReply) {
  struct Case {
    std::string reply;
    StartReply outcome;
  };
  const Case cases[] = {
      {"OK|" + kToken + "|1.0.0\n", StartReply::ok},
      {"OK|" + kToken + "|1.0.0", StartReply::ok},
      {"ERR|INTEGRITY\n", StartReply::refused},
      {"ERR|IDENTITY", StartReply::refused},
      {"ERR|", StartReply::unexpected},
      {"ERR", StartReply::unexpected},
      {"OK|" + kToken + "|1.0.1\n", StartReply::other_version},
      {"OK|" + kToken + "|\n", StartReply::unexpected},
      {"OK|" + kToken.substr(1) + "|1.0.0\n", StartReply::unexpected},
      {"OK|" + kToken + "0|1.0.0\n", StartReply::unexpected},
      {"OK|0123456789abcdef0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF"
       "|1.0.0",
       StartReply::unexpected},
      {"OK|" + kToken + "|1.0.0|more", StartReply::unexpected},
      {"ok|" + kToken + "|1.0.0", StartReply::unexpected},
      {"", StartReply::unexpected},
      {"PONG|1", StartReply::unexpected},
  };
  for (const Case& c : cases) {
    std::string token = "before";
    EXPECT_EQ(parse_start_reply(c.reply, token), c.outcome) << c.reply;
    if (c.outcome == StartReply::ok || c.outcome == StartReply::other_version) {
      EXPECT_EQ(token, kToken);
    } else {
      EXPECT_EQ(token, "before") << c.reply;
    }
  }
}

TEST(GuardProtocol, ReadsPongs) {
  std::int64_t sequence = 0;
  ASSERT_TRUE(parse_pong("PONG|7\n", sequence));
  EXPECT_EQ(sequence, 7);
  ASSERT_TRUE(parse_pong("PONG|9223372036854775807", sequence));
  EXPECT_EQ(sequence, 9223372036854775807LL);
  for (const char* reply :
       {"PONG|", "PONG", "PONG|x", "PONG|-1", "PONG|1|2", "pong|1", ""}) {
    EXPECT_FALSE(parse_pong(reply, sequence)) << reply;
  }
}

}  // namespace
}  // namespace vorn::guard
