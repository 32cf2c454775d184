// The one error type: where a failure happened goes before its words, and
// each backend's translation keeps the words the service always wrote.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/error.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#endif

namespace vorn::os {
namespace {

TEST(Error, ContextGoesBeforeTheWordsAndNoneStaysNone) {
  const Error failed =
      Error(Errc::busy, "every place is taken").context("connect failed");
  EXPECT_TRUE(failed);
  EXPECT_EQ(failed.code(), Errc::busy);
  EXPECT_EQ(failed.words(), "connect failed: every place is taken");

  const Error none = Error().context("connect failed");
  EXPECT_FALSE(none);
  EXPECT_EQ(none.words(), "");
}

struct SystemCase {
  std::uint32_t native;
  Errc code;
};

class SystemError : public ::testing::TestWithParam<SystemCase> {};

TEST_P(SystemError, IsAFailureInTheSystemsWords) {
  const std::uint32_t native = GetParam().native;
  const Error error = system_error(native);
  EXPECT_TRUE(error);
  EXPECT_EQ(error.code(), GetParam().code);
  EXPECT_EQ(error.native(), native);
#ifdef _WIN32
  // "Words (error N)", or "error N" where the system has no words.
  const std::string number = "error " + std::to_string(native);
  const std::string tail = " (" + number + ")";
  const std::string& words = error.words();
  EXPECT_TRUE(words == number ||
              (words.size() > tail.size() &&
               words.substr(words.size() - tail.size()) == tail))
      << words;
#else
  EXPECT_EQ(error.words(), std::strerror(static_cast<int>(native)));
#endif
}

// Codes a caller acts on, one the system has no words for (Windows), and 0:
// a call that failed without saying why, a failure all the same.
const SystemCase kSystemCases[] = {
#ifdef _WIN32
    {ERROR_FILE_NOT_FOUND, Errc::not_found},
    {ERROR_ACCESS_DENIED, Errc::access_denied},
    {ERROR_PIPE_BUSY, Errc::busy},
    {0xE0001234u, Errc::other},
#else
    {ENOENT, Errc::not_found},
    {EACCES, Errc::access_denied},
    {EAGAIN, Errc::would_block},
#endif
    {0, Errc::other},
};

INSTANTIATE_TEST_SUITE_P(Backend, SystemError,
                         ::testing::ValuesIn(kSystemCases));

}  // namespace
}  // namespace vorn::os
