// What only the POSIX host has: its socket file and its start-up errors.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "e2e/e2e_support.h"
#include "e2e/service_fixture.h"

namespace vorn::test {
namespace {

using EndToEndPosixHost = ServiceTest<>;

TEST_F(EndToEndPosixHost, SecondInstanceOnTheSameSocketFailsClearly) {
  const ProbeResult probe = run_probe(run_, {"status"}, 30000);
  EXPECT_EQ(probe.exit_code, 0) << probe.output;

  ChildProcess second;
  const std::string out = run_.dir->file("second.out");
  ASSERT_TRUE(start_child(second, binary_directory() + "/vorn-guard-service",
                          {},
                          {{"RUNTIME_DIRECTORY", run_.dir->file("run")},
                           {"ProgramData", run_.dir->file("data")}},
                          out));
  int exit_code = 0;
  ASSERT_TRUE(wait_child(second, 10000, exit_code));
  release_child(second);
  EXPECT_NE(exit_code, 0);
  int stop_code = -1;
  ASSERT_TRUE(service_stop(run_, 10000, stop_code));
  EXPECT_EQ(stop_code, 0);
}

TEST(EndToEndPosixSocketFile, StaleSocketFileIsReplaced) {
  TempDir dir;
  const std::string run_dir = dir.file("run");
  ASSERT_EQ(mkdir(run_dir.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.file("data").c_str(), 0755), 0);
  // A socket file nobody listens on, as a crashed instance leaves behind.
  const std::string path = run_dir + "/VORNGuardLocalGuard";
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(fd);

  ChildProcess service;
  ASSERT_TRUE(start_child(
      service, binary_directory() + "/vorn-guard-service", {},
      {{"RUNTIME_DIRECTORY", run_dir}, {"ProgramData", dir.file("data")}},
      dir.file("service.out")));
  const std::string log = dir.file("data") + "/VORN/ClientService/service.log";
  bool banner = false;
  for (int i = 0; i < 500 && !banner; ++i) {
    banner = read_file(log).find("ONLINE") != std::string::npos;
    usleep(10000);
  }
  EXPECT_TRUE(banner) << read_file(dir.file("service.out"));
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0666u);
  kill(static_cast<pid_t>(service.pid), SIGTERM);
  int exit_code = -1;
  ASSERT_TRUE(wait_child(service, 10000, exit_code));
  release_child(service);
  EXPECT_EQ(exit_code, 0);
}

}  // namespace
}  // namespace vorn::test
