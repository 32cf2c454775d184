// The running service as a gtest fixture. ServiceTest starts a service of
// its own for every test; SuiteServiceTest starts one for a whole suite, for
// many short cases that leave the service as they found it. `Base` is
// ::testing::Test, or ::testing::TestWithParam<T> for TEST_P.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "e2e/service_harness.h"

namespace vorn::test {

template <typename Base = ::testing::Test>
class ServiceTest : public Base {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(service_start(run_, error)) << error;
  }
  void TearDown() override {
    int exit_code = -1;
    stop_service(exit_code);
  }

  // Stops the service unless the test already did: what service_stop tells,
  // or true with exit code 0 when it was not running.
  bool stop_service(int& exit_code) {
    exit_code = 0;
    return !run_.started || service_stop(run_, 30000, exit_code);
  }

  ServiceRun run_;
};

template <typename Base = ::testing::Test>
class SuiteServiceTest : public Base {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    ASSERT_TRUE(service_start(run_, error)) << error;
  }
  static void TearDownTestSuite() {
    int exit_code = -1;
    if (run_.started) service_stop(run_, 30000, exit_code);
    run_ = ServiceRun();
  }

  static inline ServiceRun run_;
};

}  // namespace vorn::test
