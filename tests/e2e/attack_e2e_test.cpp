// Attacks on the integrity check and the client hold, each staged by a real
// client process against a service of its own. The cases are the
// platform's; every one of them succeeded against the service before the
// client was held from its connection on and inspected through that hold.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "e2e/attack_cases.h"
#include "e2e/service_fixture.h"
#include "e2e/service_log_reader.h"

namespace vorn::test {
namespace {

struct AttackName {
  std::string operator()(
      const ::testing::TestParamInfo<AttackCase>& attack) const {
    return attack.param.name;
  }
};

class EndToEndAttack
    : public ServiceTest<::testing::TestWithParam<AttackCase>> {
 protected:
  void TearDown() override {
    int exit_code = -1;
    EXPECT_TRUE(stop_service(exit_code));
    service_cleanup();
  }
};

TEST_P(EndToEndAttack, Fails) {
  const AttackCase& c = GetParam();
  const std::string reason = c.unavailable ? c.unavailable() : "";
  if (!reason.empty()) {
    GTEST_SKIP() << reason;
  }
  EXPECT_TRUE(c.run(run_));
  // Whatever the attack did, the service still keeps its log's rule (a
  // session whose client just ended closes at its next pass).
  std::string pairs;
  for (int wait = 0; wait < 50; ++wait) {
    pairs = check_session_pairs(service_log_lines(run_));
    if (pairs.empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(pairs, "");
}

INSTANTIATE_TEST_SUITE_P(Attacks, EndToEndAttack,
                         ::testing::ValuesIn(attack_cases()), AttackName());

}  // namespace
}  // namespace vorn::test
