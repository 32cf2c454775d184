// The handshake against the real service with real client processes: the
// OK reply and the SESSION READY line, fresh tokens, evidence of real files,
// and the refusals that need a real process.
#include <gtest/gtest.h>

#include <regex>

#include "e2e/e2e_support.h"
#include "e2e/impostor.h"
#include "e2e/service_fixture.h"
#include "e2e/service_log_reader.h"
#include "integrity/integrity.h"
#include "platform/client.h"
#include "platform/system.h"
#include "protocol/message_fields.h"

namespace vorn::test {
namespace {

class EndToEndHandshake : public SuiteServiceTest<> {
 protected:
  // Sends one first message from a probe (with the guard module loaded unless
  // told otherwise) and returns what it printed.
  static ProbeResult hello(const std::string& message, bool load_guard = true) {
    std::vector<std::string> arguments = {"raw"};
    if (load_guard) arguments.push_back("--load-guard");
    arguments.push_back("--wait-ms");
    arguments.push_back("3000");
    arguments.push_back(message);
    return run_probe(run_, arguments, 30000);
  }

  // Lines the service logged that name this pid.
  static std::vector<std::string> lines_for(unsigned pid) {
    return lines_naming(service_log_lines(run_), pid);
  }
};

const char kTag[] = "e2e-test-client";

std::string valid_hello(const std::string& pid_field = "{pid}",
                        const std::string& tag = kTag) {
  return "HELLO|" + pid_field + "|" + tag + "|{e1}|{e2}";
}

// The evidence a probe presents, computed here from the same files.
std::string file_digest(const std::string& name) {
  std::uint8_t digest[32] = {};
  const std::string path = binary_directory() + os::path_separator() + name;
  if (!os::sha256_file(path, digest)) return std::string();
  return digest_to_hex(digest);
}

std::string guard_module_file() {
  return os::path_separator() == '\\' ? "vorn_guard.dll" : "libvorn_guard.so.1";
}

bool has_ok_reply(const std::string& output, std::string* token = nullptr) {
  static const std::regex ok("< OK\\|([0-9A-F]{64})\\|1\\.0\\.0");
  std::smatch match;
  if (!std::regex_search(output, match, ok)) return false;
  if (token) *token = match[1];
  return true;
}

TEST_F(EndToEndHandshake, ValidHelloGetsOkAndReadyLine) {
  ChildProcess child;
  const std::string out = run_.dir->file("valid.out");
  ASSERT_TRUE(start_probe(
      run_, {"raw", "--load-guard", "--wait-ms", "3000", valid_hello()}, child,
      out));
  int exit_code = -1;
  ASSERT_TRUE(wait_child(child, 30000, exit_code));
  const unsigned pid = child.pid;
  release_child(child);
  const std::string output = read_probe_output(out);
  EXPECT_TRUE(has_ok_reply(output)) << output;
  EXPECT_EQ(exit_code, 0) << output;
  ASSERT_TRUE(
      wait_for_log_line(run_, "SESSION CLOSED pid=" + pid_text(pid), 30000));
  const std::vector<std::string> lines = lines_for(pid);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "SESSION READY pid=" + pid_text(pid) +
                          " host=" + probe_file_name());
  EXPECT_EQ(lines[1], "SESSION CLOSED pid=" + pid_text(pid));
}

TEST_F(EndToEndHandshake, EverySessionGetsAFreshToken) {
  std::string first, second;
  ASSERT_TRUE(has_ok_reply(hello(valid_hello()).output, &first));
  ASSERT_TRUE(has_ok_reply(hello(valid_hello()).output, &second));
  EXPECT_NE(first, second);
}

TEST_F(EndToEndHandshake, LowerCaseEvidenceIsAccepted) {
  std::string e1 = file_digest(probe_file_name());
  std::string e2 = file_digest(guard_module_file());
  ASSERT_EQ(e1.size(), 64u);
  ASSERT_EQ(e2.size(), 64u);
  for (char& c : e1) c = static_cast<char>(std::tolower(c));
  for (char& c : e2) c = static_cast<char>(std::tolower(c));
  const ProbeResult result =
      hello("HELLO|{pid}|" + std::string(kTag) + "|" + e1 + "|" + e2);
  EXPECT_TRUE(has_ok_reply(result.output)) << result.output;
}

// Refusals that take a real client process: its pid, its loaded modules,
// its files' hashes. How each field of a HELLO is read is the handshake
// unit test's table.
struct RefusalCase {
  const char* name;
  std::string message;
  bool load_guard;
  const char* reply;
};

void PrintTo(const RefusalCase& c, std::ostream* out) { *out << c.name; }

class EndToEndRefusal : public EndToEndHandshake,
                        public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(EndToEndRefusal, RepliesAndLogsNothing) {
  const RefusalCase& c = GetParam();
  ChildProcess child;
  const std::string out = run_.dir->file(std::string(c.name) + ".out");
  std::vector<std::string> arguments = {"raw"};
  if (c.load_guard) arguments.push_back("--load-guard");
  arguments.insert(arguments.end(),
                   {"--wait-ms", "3000", "--hold-ms", "1500", c.message});
  ASSERT_TRUE(start_probe(run_, arguments, child, out));
  int exit_code = -1;
  ASSERT_TRUE(wait_child(child, 30000, exit_code));
  const unsigned pid = child.pid;
  release_child(child);
  const std::string output = read_probe_output(out);
  EXPECT_NE(output.find(std::string("< ") + c.reply + "\n"), std::string::npos)
      << output;
  EXPECT_EQ(output.find("< OK|"), std::string::npos) << output;
  // A refused client is never terminated: the probe ends on its own.
  EXPECT_NE(output.find("closed"), std::string::npos) << output;
  EXPECT_TRUE(lines_for(pid).empty());
}

INSTANTIATE_TEST_SUITE_P(
    AllRefusals, EndToEndRefusal,
    ::testing::Values(RefusalCase{"other_pid", valid_hello("1"), true,
                                  "ERR|IDENTITY"},
                      RefusalCase{"guard_module_not_loaded", valid_hello(),
                                  false, "ERR|IDENTITY"},
                      RefusalCase{"wrong_digest",
                                  "HELLO|{pid}|e2e-test-client|" +
                                      std::string(64, '0') + "|{e2}",
                                  true, "ERR|INTEGRITY"}),
    [](const ::testing::TestParamInfo<RefusalCase>& param) {
      return std::string(param.param.name);
    });

TEST_F(EndToEndHandshake, ConnectThenCloseGetsNothing) {
  const ProbeResult result =
      run_probe(run_, {"raw", "--wait-ms", "500"}, 30000);
  EXPECT_TRUE(result.ended);
  EXPECT_EQ(result.output.find("< "), std::string::npos) << result.output;
}

TEST_F(EndToEndHandshake, SilentClientIsDroppedAfterTwelveSeconds) {
  // No first message: the service lets go of the instance after 12 s,
  // without a reply and without a log line.
  const ProbeResult result =
      run_probe(run_, {"raw", "--hold-ms", "60000"}, 90000);
  EXPECT_TRUE(result.ended);
  EXPECT_NE(result.output.find("closed"), std::string::npos) << result.output;
  EXPECT_EQ(result.output.find("< "), std::string::npos) << result.output;
  EXPECT_GE(result.elapsed_ms, 11500u);
  // Well before the client's own hold ends, however slowly it started.
  EXPECT_LT(result.elapsed_ms, 45000u);
}

// The module's cache of its evidence is the player's to spoil: a wrong value
// there costs one hash, and the game is served.
TEST_F(EndToEndHandshake, AWrongCachedEvidenceIsComputedAgain) {
  const char separator = os::path_separator();
  const std::string cache = run_.dir->file("cache");
  const Environment environment = {
      {separator == '\\' ? "LOCALAPPDATA" : "XDG_CACHE_HOME", cache}};
  const std::string entries =
      cache +
      (separator == '\\' ? "\\VORN\\Guard\\evidence" : "/vorn-guard/evidence");
  const std::vector<std::string> status = {"status", "--timeout-ms", "10000"};
  ASSERT_EQ(run_probe(run_, status, 60000, environment).exit_code, 0);
  const std::string kept = read_file(entries);
  ASSERT_FALSE(kept.empty());
  static const std::regex digest("[0-9A-F]{64}");
  write_file(entries, std::regex_replace(kept, digest, std::string(64, 'A')));

  const ProbeResult result = run_probe(run_, status, 60000, environment);
  EXPECT_EQ(result.exit_code, 0) << result.output;
  // Kept again, right this time.
  EXPECT_NE(read_file(entries).find(file_digest(probe_file_name())),
            std::string::npos);
}

// Whoever else answers at the endpoint never sees the HELLO, nor can it act
// as the client's user (Windows: the pipe is opened for identification).
TEST_F(EndToEndHandshake, GuardModuleSpeaksOnlyToTheService) {
  Impostor impostor;
  std::string error;
  bool skip = false;
  if (!impostor.start(*run_.dir, error, skip)) {
    if (skip) GTEST_SKIP() << error;
    FAIL() << error;
  }
  const ProbeResult result = run_probe(
      run_, {"status"}, 30000, {{"VORN_GUARD_ENDPOINT", impostor.endpoint()}});
  EXPECT_EQ(result.exit_code, 3) << result.output;
  EXPECT_NE(result.output.find("is not served by the guard service"),
            std::string::npos)
      << result.output;
  EXPECT_EQ(impostor.bytes_received(10000), 0);
}

}  // namespace
}  // namespace vorn::test
