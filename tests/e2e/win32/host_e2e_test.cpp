// What only the Windows host has: it runs under the service control manager
// and nowhere else.
#include <gtest/gtest.h>

#include "e2e/e2e_support.h"

namespace vorn::test {
namespace {

TEST(EndToEndWindowsHost, StartedOutsideTheServiceManagerExitsWith1063) {
  const std::vector<std::string> logs = {
      "C:\\users\\Public\\VORN\\ClientService\\service.log",
      "C:\\ProgramData\\VORN\\ClientService\\service.log"};
  std::vector<std::string> before;
  for (const std::string& log : logs) before.push_back(read_file(log));

  ChildProcess service;
  ASSERT_TRUE(start_child(service,
                          binary_directory() + "\\vorn-guard-service.exe", {}));
  int exit_code = -1;
  ASSERT_TRUE(wait_child(service, 30000, exit_code));
  release_child(service);
  EXPECT_EQ(exit_code, 1063);  // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
  for (std::size_t i = 0; i < logs.size(); ++i) {
    EXPECT_EQ(read_file(logs[i]), before[i]);
  }
}

}  // namespace
}  // namespace vorn::test
