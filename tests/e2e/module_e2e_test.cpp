// The guard module in a game's hands: the game unloads it, or forks, while
// its session runs. The session goes on and the service never closes it.
#include <gtest/gtest.h>

#include "e2e/hostile_support.h"
#include "e2e/service_fixture.h"
#include "e2e/service_log_reader.h"
#include "platform/runtime.h"
#include "probe/guard_loader.h"
#ifndef _WIN32
#include <unistd.h>

// ThreadSanitizer ends a child that starts threads after a fork of a threaded
// process, as the forked child of a guarded game does with its own session.
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif

namespace vorn::test {
namespace {

class EndToEndModule
    : public ServiceTest<::testing::TestWithParam<std::string>> {};

TEST_P(EndToEndModule, SessionGoesOnWhenTheGame) {
  aim_clients_at(run_);
  probe::GuardLibrary library;
  probe::GuardApi api;
  ASSERT_FALSE(probe::load_guard_module(library) ||
               probe::resolve_guard_api(library, api));
  ASSERT_EQ(api.start_ex("e2e-module-game", VORN_GUARD_MIN_INTERVAL_MS, 0),
            VORN_GUARD_OK);
  // Its functions, looked up before, must stay.
  if (GetParam() == "unloads") probe::unload_guard_library(library);
#ifndef _WIN32
  if (GetParam() == "forks") {
    ChildProcess child;
    child.handle = ::fork();
    if (child.handle == 0) {
      // No session here: a stop (the game's atexit handler) sends nothing.
      const bool none = api.is_connected() == 0;
      api.stop();
      ::_exit(none && api.start_ex("e2e-forked-child", 0, 0) == VORN_GUARD_OK
                  ? 0
                  : 1);
    }
    child.running = true;
    int exit_code = -1;
    EXPECT_TRUE(wait_child(child, 60000, exit_code) && exit_code == 0);
    release_child(child);
  }
#endif
  vorn_guard_stats stats{};
  (void)api.get_stats(&stats);
  const unsigned goal = stats.pongs_received + 2;
  for (int nap = 0; nap < 400 && stats.pongs_received < goal; ++nap) {
    os::sleep_ms(50);  // two heartbeats, with room for a loaded machine
    (void)api.get_stats(&stats);
  }
  EXPECT_GE(stats.pongs_received, goal);
  const auto lines = lines_naming(service_log_lines(run_), test_process_pid());
  EXPECT_EQ(count_starting(lines, "SESSION CLOSED"), 0u);
  api.stop();
  probe::unload_guard_library(library);
}

#ifdef _WIN32
const std::string kActions[] = {"unloads"};  // no fork
#else
const std::string kActions[] = {"unloads", "forks"};
#endif
INSTANTIATE_TEST_SUITE_P(Game, EndToEndModule, ::testing::ValuesIn(kActions),
                         [](const auto& row) { return row.param; });

}  // namespace
}  // namespace vorn::test
