// The control handler's answers, called directly as the dispatcher would.
// (The stop path through the service control manager is covered end to end.)
#include "service/win32/service_host.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "platform/runtime.h"
#include "platform/win32/stop_event_win32.h"

namespace vorn {
namespace {

class ServiceControlHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(os::stop_event_create());
    // One event per process: every test starts with it not set.
    ASSERT_TRUE(ResetEvent(os::g_stop_event));
  }
};

struct UnsupportedControl {
  const char* name;
  DWORD code;
};

class UnsupportedControlTest
    : public ServiceControlHandlerTest,
      public ::testing::WithParamInterface<UnsupportedControl> {};

TEST_P(UnsupportedControlTest, AnswersNotImplementedAndReportsNothing) {
  const unsigned reports_before = reported_status_count();
  const SERVICE_STATUS status_before = last_reported_status();

  EXPECT_EQ(ServiceControlHandler(GetParam().code, 0, nullptr, nullptr),
            static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));

  EXPECT_EQ(reported_status_count(), reports_before);
  const SERVICE_STATUS status_after = last_reported_status();
  EXPECT_EQ(status_after.dwCurrentState, status_before.dwCurrentState);
  EXPECT_EQ(status_after.dwControlsAccepted, status_before.dwControlsAccepted);
  EXPECT_FALSE(os::stop_event_is_set());
}

INSTANTIATE_TEST_SUITE_P(
    Controls, UnsupportedControlTest,
    ::testing::Values(UnsupportedControl{"interrogate", 4},
                      UnsupportedControl{"pause", 2},
                      UnsupportedControl{"continue", 3},
                      UnsupportedControl{"param_change", 6},
                      UnsupportedControl{"user_control_128", 128}),
    [](const ::testing::TestParamInfo<UnsupportedControl>& param_info) {
      return std::string(param_info.param.name);
    });

struct StopControl {
  const char* name;
  DWORD code;
};

class StopControlTest : public ServiceControlHandlerTest,
                        public ::testing::WithParamInterface<StopControl> {};

TEST_P(StopControlTest, ReportsStopPendingThenSetsTheStopEvent) {
  const unsigned reports_before = reported_status_count();

  EXPECT_EQ(ServiceControlHandler(GetParam().code, 0, nullptr, nullptr),
            static_cast<DWORD>(NO_ERROR));

  EXPECT_EQ(reported_status_count(), reports_before + 1);
  const SERVICE_STATUS status = last_reported_status();
  EXPECT_EQ(status.dwServiceType, static_cast<DWORD>(0x10));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(status.dwControlsAccepted, static_cast<DWORD>(5));
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(0));
  EXPECT_EQ(status.dwServiceSpecificExitCode, static_cast<DWORD>(0));
  EXPECT_EQ(status.dwCheckPoint, static_cast<DWORD>(0));
  EXPECT_EQ(status.dwWaitHint, static_cast<DWORD>(0));
  EXPECT_TRUE(os::stop_event_is_set());
}

TEST_P(StopControlTest, ASecondStopIsAnsweredTheSameWay) {
  ASSERT_EQ(ServiceControlHandler(GetParam().code, 0, nullptr, nullptr),
            static_cast<DWORD>(NO_ERROR));
  const unsigned reports_before = reported_status_count();
  EXPECT_EQ(ServiceControlHandler(GetParam().code, 0, nullptr, nullptr),
            static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(reported_status_count(), reports_before + 1);
  EXPECT_EQ(last_reported_status().dwCurrentState,
            static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_TRUE(os::stop_event_is_set());
}

INSTANTIATE_TEST_SUITE_P(
    Controls, StopControlTest,
    ::testing::Values(StopControl{"stop", 1}, StopControl{"shutdown", 5}),
    [](const ::testing::TestParamInfo<StopControl>& param_info) {
      return std::string(param_info.param.name);
    });

TEST_F(ServiceControlHandlerTest, StopBeforeTheEventExistsStillReports) {
  // As in the moment between the handler's registration and the event's
  // creation: the event is left alone, the stop is still acknowledged.
  const HANDLE event = os::g_stop_event;
  os::g_stop_event = nullptr;
  const unsigned reports_before = reported_status_count();
  const DWORD answer = ServiceControlHandler(1, 0, nullptr, nullptr);
  os::g_stop_event = event;
  EXPECT_EQ(answer, static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(reported_status_count(), reports_before + 1);
  EXPECT_EQ(last_reported_status().dwCurrentState,
            static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_FALSE(os::stop_event_is_set());
}

TEST(ServiceMainTest, OutsideTheServiceManagerReturnsWithoutAnyReport) {
  // The handler cannot be registered in a process that the dispatcher does
  // not run, so ServiceMain must give up before its first report.
  const unsigned reports_before = reported_status_count();
  ServiceMain(0, nullptr);
  EXPECT_EQ(reported_status_count(), reports_before);
}

TEST(StopEventTest, StaysSetOnceSetAndIsCreatedOnlyOnce) {
  ASSERT_FALSE(os::stop_event_create());
  const HANDLE event = os::g_stop_event;
  ASSERT_NE(event, nullptr);
  ASSERT_TRUE(ResetEvent(event));
  EXPECT_FALSE(os::stop_event_is_set());
  os::stop_event_set();
  // Manual reset: every later poll still sees it.
  EXPECT_TRUE(os::stop_event_is_set());
  EXPECT_TRUE(os::stop_event_is_set());
  os::stop_event_wait();  // returns at once
  EXPECT_FALSE(os::stop_event_create());
  EXPECT_EQ(os::g_stop_event, event);
}

}  // namespace
}  // namespace vorn
