// Publishers in the trust list against the real service: a client whose two
// files are signed by a listed publisher is admitted without its digests
// listed, a spoiled or foreign signature is not, an update re-signed by the
// publisher needs no change to the list, and deleting the publisher's line
// ends its running sessions at the next re-check.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "e2e/service_fixture.h"
#include "e2e/service_log_reader.h"
#include "e2e/test_signing.h"
#include "platform/module_loader.h"
#include "probe/probe_args.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

// Changes one letter of the probe's usage text: the program still runs, but
// its bytes are no longer the ones signed.
std::string patch(const fs::path& file) {
  std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(stream),
                          std::istreambuf_iterator<char>()};
  const std::size_t at = bytes.find("talks to the local guard service");
  if (at == std::string::npos) return "no usage text in " + file.string();
  stream.clear();
  stream.seekp(static_cast<std::streamoff>(at));
  stream.put('T');
  return stream.good() ? "" : "cannot patch " + file.string();
}

enum class SignatureDamage { truncated, garbage };

// Spoils the signature at the file's end (Linux: the appended block;
// Windows: the certificate table, which the signing tool writes last and
// which ends with the signature's value): its last 40 bytes cut off, or 16
// bytes of the signature's value overwritten, its framing kept.
std::string spoil(const fs::path& file, SignatureDamage damage) {
  std::error_code failed;
  const std::uintmax_t size = fs::file_size(file, failed);
  if (failed || size < 1024) return "cannot spoil " + file.string();
  if (damage == SignatureDamage::truncated) {
    fs::resize_file(file, size - 40, failed);
    return failed ? "cannot truncate " + file.string() : "";
  }
  std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
  stream.seekp(static_cast<std::streamoff>(size - 43));
  stream.write("garbage garbage!", 16);
  return stream.good() ? "" : "cannot write into " + file.string();
}

std::string sign_both(const fs::path& probe, const fs::path& module,
                      TestSigner signer) {
  std::string failed = sign_in_place(probe.string(), signer);
  return failed.empty() ? sign_in_place(module.string(), signer) : failed;
}

class EndToEndPublisher : public ServiceTest<> {
 protected:
  void TearDown() override {
    remove_trusted_list(run_);
    ServiceTest::TearDown();
  }

  // A fresh private copy of the probe and its guard module.
  void copy_client(const std::string& name) {
    copy_ = fs::path(run_.dir->file(name));
    fs::create_directories(copy_);
    const fs::path bin = binary_directory();
    for (const fs::path& file : {probe(), module()}) {
      fs::copy_file(bin / file.filename(), file);
    }
  }
  fs::path probe() const { return copy_ / probe_file_name(); }
  fs::path module() const { return copy_ / os::guard_module_file_name(); }

  int status_of_copy(const std::string& name) {
    ChildProcess child;
    int exit_code = -1;
    if (!start_child(child, probe().string(),
                     {"status", "--timeout-ms", "10000"},
                     client_environment(run_), run_.dir->file(name + ".out")) ||
        !wait_child(child, 60000, exit_code)) {
      exit_code = -1;
    }
    release_child(child);
    return exit_code;
  }

  fs::path copy_;
};

TEST_F(EndToEndPublisher, AdmitsOnlyFilesTheListedPublisherSigned) {
  struct Row {
    const char* name;
    // Spoils the signed probe or module.
    std::function<std::string(const fs::path&, const fs::path&)> prepare;
    int exit_code;
  };
  using Path = const fs::path&;
  const std::vector<Row> rows = {
      {"signed", [](Path, Path) { return std::string(); }, probe::kExitOk},
      {"patched after signing", [](Path probe, Path) { return patch(probe); },
       probe::kExitRefused},
      {"signed by a stranger",
       [](Path probe, Path module) {
         return sign_both(probe, module, TestSigner::stranger);
       },
       probe::kExitRefused},
      {"signature cut short",
       [](Path, Path module) {
         return spoil(module, SignatureDamage::truncated);
       },
       probe::kExitRefused},
      {"signature overwritten",
       [](Path, Path module) {
         return spoil(module, SignatureDamage::garbage);
       },
       probe::kExitRefused},
      {"update re-signed by the publisher",
       [](Path probe, Path) {
         const std::string failed = patch(probe);
         return failed.empty()
                    ? sign_in_place(probe.string(), TestSigner::studio_renewed)
                    : failed;
       },
       probe::kExitOk},
  };
  // Only the publisher: no digest of these builds is listed.
  write_trusted_list(run_, publisher_line(TestSigner::studio));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    copy_client(row.name);
    ASSERT_EQ(sign_both(probe(), module(), TestSigner::studio), "");
    ASSERT_EQ(row.prepare(probe(), module()), "");
    EXPECT_EQ(status_of_copy(row.name), row.exit_code);
  }
}

TEST_F(EndToEndPublisher, DeletedPublisherLineEndsItsSessions) {
  copy_client("client");
  ASSERT_EQ(sign_both(probe(), module(), TestSigner::studio), "");
  write_trusted_list(run_, publisher_line(TestSigner::studio));
  ChildProcess client;
  ASSERT_TRUE(
      start_child(client, probe().string(),
                  {"session", "--seconds", "60", "--interval-ms", "1000"},
                  client_environment(run_), run_.dir->file("session.out")));
  ASSERT_TRUE(wait_for_session_ready(run_, client.pid, 30000));
  // A list that is there but no longer names the studio.
  write_trusted_list(run_, publisher_line(TestSigner::stranger));
  EXPECT_EQ(wait_ended_by_recheck(run_, client), "");
}

}  // namespace
}  // namespace vorn::test
