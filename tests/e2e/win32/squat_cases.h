// Attacks on the service's pipe, in the Windows attack table.
#pragma once

#include <vector>

#include "e2e/attack_cases.h"

namespace vorn::test {

std::vector<AttackCase> squat_cases();

}  // namespace vorn::test
