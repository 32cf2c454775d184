// What only the POSIX host has: its socket file, its start-up errors, and
// its diagnostics on standard error (the journal, under systemd).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "e2e/e2e_support.h"
#include "e2e/service_fixture.h"
#include "probe/probe_args.h"

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
  ASSERT_TRUE(service_stop(run_, 30000, stop_code));
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

// One line per event, each with its journal priority; a folder that makes
// every log line fail is told once, and again when it mends.
TEST_F(EndToEndPosixHost, DiagnosticsTellTheOperatorWhatHappened) {
  EXPECT_EQ(
      run_probe(run_, {"raw", "--load-guard", "HELLO|{pid}|short|{e1}|{e2}"},
                30000)
          .exit_code,
      probe::kExitRefused);
  (void)run_probe(
      run_,
      {"raw", "--load-guard", "HELLO|{pid}|probe-replay-01|{e1}|{e2}",
       "PING|{token}|1|a", "PING|{token}|1|a"},
      30000);
  const std::string folder = run_.dir->file("data/VORN");
  ASSERT_EQ(chmod(folder.c_str(), 0775), 0);
  for (int i = 0; i < 2; ++i) (void)run_probe(run_, {"status"}, 30000);
  ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
  EXPECT_EQ(run_probe(run_, {"status"}, 30000).exit_code, 0);
  int exit_code = -1;
  ASSERT_TRUE(service_stop(run_, 30000, exit_code));

  const std::string err = read_file(run_.dir->file("service.err"));
  const std::string unwritable = "<3>service.log cannot be written: " + folder +
                                 " may be written by group or others";
  for (const std::string& expected :
       {"<6>VORN Local Guard Service 1.0.0 started: listening on " +
            run_.dir->file("run/VORNGuardLocalGuard") + ", logging to " +
            folder + "/ClientService/service.log, trusted digests: ",
        std::string(": tag shorter than 12 bytes\n"),
        std::string(" terminated: LOCAL_PROTOCOL_REPLAY\n"), unwritable,
        std::string("<5>service.log is written again\n"),
        std::string("<6>VORN Local Guard Service 1.0.0 stopped\n")}) {
    EXPECT_NE(err.find(expected), std::string::npos) << expected << "\n" << err;
  }
  EXPECT_EQ(err.find(unwritable), err.rfind(unwritable)) << err;
}

}  // namespace
}  // namespace vorn::test
