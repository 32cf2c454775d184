// The guard module's C API where it needs no service: arguments caught
// before anything is sent, and the texts of its results.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "vorn_guard.h"

namespace {

struct StartCase {
  const char* tag;
  unsigned interval_ms;
  int result;
};

class GuardApiArguments : public ::testing::TestWithParam<StartCase> {};

TEST_P(GuardApiArguments, CaughtBeforeConnecting) {
  const StartCase& c = GetParam();
  EXPECT_EQ(vorn_guard_start_ex(c.tag, c.interval_ms, 1), c.result);
  EXPECT_EQ(vorn_guard_is_connected(), 0);
  EXPECT_STREQ(vorn_guard_last_error(), vorn_guard_strerror(c.result));
}

INSTANTIATE_TEST_SUITE_P(
    Start, GuardApiArguments,
    ::testing::Values(StartCase{"twelve-bytes", 249, VORN_GUARD_E_INTERVAL},
                      StartCase{"twelve-bytes", 8001, VORN_GUARD_E_INTERVAL},
                      StartCase{"eleven-byte", 0, VORN_GUARD_E_TAG},
                      StartCase{"", 5000, VORN_GUARD_E_TAG}));

TEST(GuardApi, EveryResultHasItsOwnText) {
  std::set<std::string> texts;
  for (int code = VORN_GUARD_OK; code <= VORN_GUARD_E_VERSION; ++code) {
    texts.insert(vorn_guard_strerror(code));
  }
  EXPECT_EQ(texts.size(), 10u);
  EXPECT_EQ(texts.count(vorn_guard_strerror(-1)), 0u);
}

TEST(GuardApi, VersionTextFollowsTheMacros) {
  EXPECT_EQ(std::string(vorn_guard_version()),
            std::to_string(VORN_GUARD_VERSION_MAJOR) + "." +
                std::to_string(VORN_GUARD_VERSION_MINOR) + "." +
                std::to_string(VORN_GUARD_VERSION_PATCH));
}

}  // namespace
