// Players in sandboxes are served: a guarded client in a user namespace,
// where the service's account is unmapped and shows as the overflow uid, and
// one in a pid namespace of its own, whose HELLO carries the pid it sees.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "e2e/e2e_support.h"
#include "e2e/service_fixture.h"

namespace vorn::test {
namespace {

using Command = std::vector<std::string>;
using Sandbox = std::pair<std::string, Command>;  // name, the command

// The command's exit code (-1: it did not end in time) and its output.
int run(const ServiceRun& service, const Command& command,
        const std::string& name, std::string& output) {
  ChildProcess child;
  const std::string out = service.dir->file(name);
  int exit_code = -1;
  if (start_child(child, command[0], {command.begin() + 1, command.end()},
                  client_environment(service), out, false, out + ".err")) {
    wait_child(child, 60000, exit_code);
  }
  release_child(child);
  output = read_file(out) + read_file(out + ".err");
  return exit_code;
}

class EndToEndSandbox
    : public SuiteServiceTest<::testing::TestWithParam<Sandbox>> {};

TEST_P(EndToEndSandbox, GuardedClientIsServed) {
  Command command = GetParam().second;
  // A service of the player's own account shows as the player in any
  // namespace the player makes; root starts the player as another one.
  if (command[0] == "/usr/bin/setpriv" && ::geteuid() != 0) {
    GTEST_SKIP() << "only root can start the player as another account";
  }
  ::chmod(run_.dir->path().c_str(), 0755);
  std::string output;
  command.push_back("/bin/true");
  if (run(run_, command, "check", output) != 0) {
    GTEST_SKIP() << "the sandbox cannot be made here: " << output;
  }
  command.back() = binary_directory() + "/vorn-guard-probe";
  command.insert(command.end(), {"status", "--timeout-ms", "30000"});
  EXPECT_EQ(run(run_, command, GetParam().first, output), 0) << output;
  EXPECT_NE(output.find("OK: handshake passed"), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(
    Sandboxes, EndToEndSandbox,
    ::testing::Values(Sandbox{"UserNamespace",
                              {"/usr/bin/setpriv", "--reuid=4242",
                               "--regid=4242", "--clear-groups",
                               "/usr/bin/unshare", "--user",
                               "--map-current-user", "--"}},
                      Sandbox{"PidNamespace",
                              {"/usr/bin/unshare", "--user", "--map-root-user",
                               "--pid", "--fork", "--"}}),
    [](const auto& sandbox) { return sandbox.param.first; });

}  // namespace
}  // namespace vorn::test
