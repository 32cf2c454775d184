// The guard module's C API where it needs no service: arguments caught
// before anything is sent, and the texts of its results.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

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

TEST(GuardApi, OptionsAreCheckedBeforeAnythingStarts) {
  vorn_guard_options options{};
  options.client_tag = "twelve-bytes";
  EXPECT_EQ(vorn_guard_start_with(nullptr, sizeof options),
            VORN_GUARD_E_ARGUMENT);
  EXPECT_EQ(vorn_guard_start_with(&options, sizeof options - 1),
            VORN_GUARD_E_ARGUMENT);
  options.heartbeat_interval_ms = 100;
  EXPECT_EQ(vorn_guard_start_with(&options, sizeof options),
            VORN_GUARD_E_INTERVAL);
}

// What the callback of a session that cannot reach the service saw.
struct Seen {
  std::atomic<int> event{0};
  std::atomic<int> result{-1};
  std::atomic<int> start_inside{-1};
};

void remember(void* context, int event, int result, const char*) {
  auto* seen = static_cast<Seen*>(context);
  seen->start_inside.store(vorn_guard_start("twelve-bytes", 0));
  seen->result.store(result);
  seen->event.store(event);
}

TEST(GuardApi, NonBlockingStartReturnsAtOnceAndTheCallbackReports) {
  // No service answers there, so every attempt fails to connect.
#ifdef _WIN32
  SetEnvironmentVariableA("VORN_GUARD_ENDPOINT",
                          "\\\\.\\pipe\\VORNGuardNobodyHere");
#else
  setenv("VORN_GUARD_ENDPOINT", "/nonexistent/VORNGuardLocalGuard", 1);
#endif
  Seen seen;
  vorn_guard_options options{};
  options.client_tag = "twelve-bytes";
  options.timeout_ms = 60000;  // nothing listens: no attempt waits for it
  options.nonblocking = 1;
  options.on_event = remember;
  options.context = &seen;
  ASSERT_EQ(vorn_guard_start_with(&options, sizeof options), VORN_GUARD_OK);
  EXPECT_EQ(vorn_guard_start("twelve-bytes", 0), VORN_GUARD_E_STARTED);
  for (int i = 0; i < 500 && seen.event.load() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(seen.event.load(), VORN_GUARD_EVENT_RECONNECTING);
  EXPECT_EQ(seen.result.load(), VORN_GUARD_E_CONNECT);
  EXPECT_EQ(seen.start_inside.load(), VORN_GUARD_E_STARTED);
  EXPECT_EQ(vorn_guard_is_connected(), 0);
  vorn_guard_stop();
  // Stopped: a new start is possible, and a blocking one fails at once too.
  const auto begun = std::chrono::steady_clock::now();
  EXPECT_EQ(vorn_guard_start_ex("twelve-bytes", 0, 60000),
            VORN_GUARD_E_CONNECT);
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(30));
}

TEST(GuardApi, EveryResultHasItsOwnText) {
  std::set<std::string> texts;
  for (int code = VORN_GUARD_OK; code <= VORN_GUARD_E_NOT_SERVICE; ++code) {
    texts.insert(vorn_guard_strerror(code));
  }
  EXPECT_EQ(texts.size(), 11u);
  EXPECT_EQ(texts.count(vorn_guard_strerror(-1)), 0u);
}

TEST(GuardApi, VersionTextFollowsTheMacros) {
  EXPECT_EQ(std::string(vorn_guard_version()),
            std::to_string(VORN_GUARD_VERSION_MAJOR) + "." +
                std::to_string(VORN_GUARD_VERSION_MINOR) + "." +
                std::to_string(VORN_GUARD_VERSION_PATCH));
}

}  // namespace
