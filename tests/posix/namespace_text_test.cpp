// The kernel's namespace texts: the pid a process sees itself by (NSpid) and
// whether a user namespace maps the overflow uid (uid_map).
#include <gtest/gtest.h>

#include "platform/posix/pid_namespace.h"
#include "platform/posix/user_namespace.h"

namespace vorn::os::posix {
namespace {

// NSpid: the pid found, 0 for none. uid_map: 1 when 65534 is unmapped.
using TextCase = std::pair<std::string, std::uint32_t>;

class InnermostPid : public ::testing::TestWithParam<TextCase> {};

TEST_P(InnermostPid, IsTheLastNumberOfAWholeNspidLine) {
  ProcessId pid = 0;
  EXPECT_EQ(innermost_pid_in(GetParam().first, pid) ? pid : 0u,
            GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Status, InnermostPid,
    ::testing::Values(TextCase{"Pid:\t42\nNSpid:\t42\nNSpgid:\t1\n", 42},
                      TextCase{"Name:\tgame\nNSpid:\t900\t50\t1\n", 1},
                      TextCase{"Pid:\t-1\nNSpid:\t-1\n", 0},  // ended
                      TextCase{"NSpid:\t900\t12", 0}, TextCase{"NSpid:\n", 0}));

class OverflowUid : public ::testing::TestWithParam<TextCase> {};

TEST_P(OverflowUid, IsUnmappedOnlyWhenNoRangeHoldsIt) {
  EXPECT_EQ(uid_unmapped(GetParam().first, 65534), GetParam().second == 1);
}

INSTANTIATE_TEST_SUITE_P(
    UidMap, OverflowUid,
    ::testing::Values(TextCase{"         0          0 4294967295\n", 0},
                      TextCase{"      1000       1000          1\n", 1},
                      TextCase{"0 1000 1\n1 100000 65536\n", 0},
                      TextCase{"0 1000 65534\n", 1}, TextCase{"0 1000 1", 0}));

}  // namespace
}  // namespace vorn::os::posix
