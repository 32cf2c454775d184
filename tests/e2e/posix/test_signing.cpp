// Linux: the test's publishers are Ed25519 keys made with the built
// vorn-guard-sign, which signs too; studio_renewed is the studio's key.
#include "e2e/test_signing.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorn::test {
namespace {

// Runs the tool; "" when it exited 0, else what it printed.
std::string run_tool(const std::vector<std::string>& arguments,
                     const std::string& output) {
  ChildProcess child;
  int exit_code = -1;
  const bool ran = start_child(child, binary_directory() + "/vorn-guard-sign",
                               arguments, {}, output, false, output) &&
                   wait_child(child, 30000, exit_code);
  release_child(child);
  if (ran && exit_code == 0) return "";
  return "vorn-guard-sign exited " + std::to_string(exit_code) + ": " +
         read_file(output);
}

struct Keys {
  TempDir dir;
  std::string error;
  std::string line[2];  // studio, stranger
};

bool make_keys(Keys& keys) {
  const char* const names[] = {"studio", "stranger"};
  for (int i = 0; i < 2 && keys.error.empty(); ++i) {
    const std::string output = keys.dir.file(std::string(names[i]) + ".out");
    keys.error = run_tool(
        {"keygen", "--name", names[i], keys.dir.file(names[i]) + ".pem"},
        output);
    keys.line[i] = read_file(output);
  }
  return keys.error.empty();
}

// Made on first use, for the whole run.
const Keys& keys() {
  static Keys instance;
  static const bool made = make_keys(instance);
  (void)made;
  return instance;
}

int index_of(TestSigner signer) {
  return signer == TestSigner::stranger ? 1 : 0;
}

}  // namespace

std::string publisher_line(TestSigner signer) {
  return keys().line[index_of(signer)];
}

std::string sign_in_place(const std::string& file, TestSigner signer) {
  if (!keys().error.empty()) return keys().error;
  const std::string key = keys().dir.file(
      signer == TestSigner::stranger ? "stranger.pem" : "studio.pem");
  return run_tool({"sign", "--key", key, file}, keys().dir.file("sign.out"));
}

}  // namespace vorn::test
