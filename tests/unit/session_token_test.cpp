// Session tokens: 64 upper-case hex digits from 32 random bytes, fresh every
// time.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "session/handshake.h"

namespace vorn {
namespace {

bool is_upper_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

TEST(SessionToken, SixtyFourUpperCaseHexDigits) {
  const std::string token = generate_session_token();
  ASSERT_EQ(token.size(), 64u) << token;
  for (char c : token) {
    EXPECT_TRUE(is_upper_hex_digit(c)) << "in " << token;
  }
}

TEST(SessionToken, TwoTokensDiffer) {
  const std::string first = generate_session_token();
  const std::string second = generate_session_token();
  ASSERT_EQ(first.size(), 64u);
  ASSERT_EQ(second.size(), 64u);
  EXPECT_NE(first, second);
}

TEST(SessionToken, ManyTokensAreAllDistinctAndUseEveryDigit) {
  constexpr int kTokens = 200;
  std::set<std::string> seen;
  std::set<char> digits;
  for (int i = 0; i < kTokens; ++i) {
    const std::string token = generate_session_token();
    ASSERT_EQ(token.size(), 64u) << token;
    for (char c : token) {
      ASSERT_TRUE(is_upper_hex_digit(c)) << "in " << token;
      digits.insert(c);
    }
    seen.insert(token);
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kTokens));
  // 12800 random digits leave none of the sixteen out (chance of a miss is
  // below 1e-300); a generator stuck on part of the range does not.
  EXPECT_EQ(digits.size(), 16u);
}

TEST(SessionToken, HighAndLowDigitsBothVary) {
  // Each byte gives two digits, high first; a token that repeats one digit
  // per byte or leaves half of each byte constant shows here.
  std::set<char> high;
  std::set<char> low;
  for (int i = 0; i < 50; ++i) {
    const std::string token = generate_session_token();
    ASSERT_EQ(token.size(), 64u);
    for (std::size_t j = 0; j < token.size(); j += 2) {
      high.insert(token[j]);
      low.insert(token[j + 1]);
    }
  }
  EXPECT_EQ(high.size(), 16u);
  EXPECT_EQ(low.size(), 16u);
}

}  // namespace
}  // namespace vorn
