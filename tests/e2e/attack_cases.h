// Attacks on the integrity check, each a real client process against the
// running service. Every platform brings its own list.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "e2e/service_harness.h"

namespace vorn::test {

struct AttackCase {
  const char* name;
  std::function<::testing::AssertionResult(const ServiceRun& run)> run;
  // Why the attack cannot be staged here (it needs root, say); empty when
  // it can.
  std::function<std::string()> unavailable = nullptr;
};

std::vector<AttackCase> attack_cases();

inline void PrintTo(const AttackCase& c, std::ostream* out) { *out << c.name; }

}  // namespace vorn::test
