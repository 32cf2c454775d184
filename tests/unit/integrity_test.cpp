// The integrity check against real processes: the test process itself, with
// a copy of the built guard module loaded from a temporary directory, and
// probe child processes with and without the module.
#include "integrity/integrity.h"

#include <gtest/gtest.h>

#include "integrity/digest_memory.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/client.h"
#include "platform/runtime.h"
#include "platform/system.h"
#ifdef _WIN32
#include "platform/win32/win32_handle.h"
#endif
#include "probe/guard_loader.h"
#include "protocol/message_fields.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#ifdef _WIN32
#include "e2e/test_signing.h"
#endif

namespace vorn {
namespace {

// SHA-256("abc"), the FIPS 180-2 example.
constexpr char kAbcDigest[] =
    "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
constexpr char kZeroEvidence[] =
    "0000000000000000000000000000000000000000000000000000000000000000";
// No system hands out a process id this large.
constexpr os::ProcessId kMissingPid = 0xFFFFFFF1u;

// The check and re-check of a process held as a session holds its client.
class Held {
 public:
  explicit Held(os::ProcessId pid)
      : process_(os::process_open_for_session(pid)) {}
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  const os::ProcessHandle& get() const { return process_; }

 private:
  os::ProcessHandle process_;
};

IntegrityOutcome check(os::ProcessId pid, const std::string& evidence_1,
                       const std::string& evidence_2, std::string& image_path,
                       IntegrityRecord& record) {
  const Held held(pid);
  return integrity_check(held.get(), pid, evidence_1, evidence_2, image_path,
                         record);
}

bool recheck(os::ProcessId pid, IntegrityRecord record) {
  const Held held(pid);
  return integrity_recheck(held.get(), pid, record);
}

std::string built_module_path() {
  return test::binary_directory() + os::path_separator() +
         probe::guard_module_file_name();
}

std::string own_executable() {
  std::string path;
  EXPECT_TRUE(os::current_executable_path(path));
  return path;
}

std::string evidence_of(const std::string& path) {
  std::string hex;
  EXPECT_TRUE(file_evidence(path, hex)) << path;
  return hex;
}

// Flips the first digit, so the value stays well-formed but wrong.
std::string wrong(const std::string& evidence) {
  std::string changed = evidence;
  changed[0] = changed[0] == '0' ? '1' : '0';
  return changed;
}

bool same_path(const std::string& a, const std::string& b) {
#ifdef _WIN32
  return upper_case(a) == upper_case(b);
#else
  return a == b;
#endif
}

bool copy_module_to(const std::string& target) {
  const std::string bytes = test::read_file(built_module_path());
  return !bytes.empty() && test::write_file(target, bytes);
}

bool append_byte(const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  if (!out) return false;
  out.put('\0');
  out.flush();
  return static_cast<bool>(out);
}

// A copy of the guard module, loaded into the test process and unloaded
// again at the end of the test.
class LoadedModuleCopy {
 public:
  // `prepare` may change the copy before it is loaded; false fails the test.
  explicit LoadedModuleCopy(const test::TempDir& directory,
                            bool (*prepare)(const std::string&) = nullptr)
      : path_(directory.file(probe::guard_module_file_name())) {
    if (!copy_module_to(path_)) return;
    if (prepare != nullptr && !prepare(path_)) {
      ADD_FAILURE() << "could not prepare " << path_;
      return;
    }
    const os::Error error = probe::load_guard_library(path_, library_);
    loaded_ = !error;
    EXPECT_TRUE(loaded_) << error.words();
  }
  ~LoadedModuleCopy() { unload(); }
  LoadedModuleCopy(const LoadedModuleCopy&) = delete;
  LoadedModuleCopy& operator=(const LoadedModuleCopy&) = delete;

  void unload() {
    probe::unload_guard_library(library_);
    loaded_ = false;
  }
  bool loaded() const { return loaded_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  probe::GuardLibrary library_;
  bool loaded_ = false;
};

TEST(DigestToHex, WritesTwoUpperCaseDigitsPerByteInOrder) {
  std::uint8_t digest[32] = {};
  digest[0] = 0x00;
  digest[1] = 0x0A;
  digest[2] = 0xFF;
  digest[3] = 0x5c;
  digest[31] = 0x7e;
  const std::string hex = digest_to_hex(digest);
  ASSERT_EQ(hex.size(), 64u);
  EXPECT_EQ(hex.substr(0, 8), "000AFF5C");
  EXPECT_EQ(hex.substr(62), "7E");
  EXPECT_EQ(hex.substr(8, 54), std::string(54, '0'));
}

TEST(FileEvidence, IsTheUpperCaseSha256OfTheContents) {
  test::TempDir directory;
  const std::string file = directory.file("abc.bin");
  ASSERT_TRUE(test::write_file(file, "abc"));
  std::string hex;
  ASSERT_TRUE(file_evidence(file, hex));
  EXPECT_EQ(hex, kAbcDigest);
}

TEST(FileEvidence, FailsForAMissingFile) {
  test::TempDir directory;
  std::string hex = "untouched";
  EXPECT_FALSE(file_evidence(directory.file("missing.bin"), hex));
}

TEST(IntegrityCheck, ProcessWithoutGuardModuleIsNotIdentified) {
  std::string image_path;
  IntegrityRecord record;
  EXPECT_EQ(check(os::current_process_id(), evidence_of(own_executable()),
                  kZeroEvidence, image_path, record),
            IntegrityOutcome::not_identified);
  EXPECT_TRUE(image_path.empty());
  EXPECT_EQ(record.pid, 0u);
}

TEST(IntegrityCheck, MissingProcessIsNotIdentified) {
  std::string image_path;
  IntegrityRecord record;
  EXPECT_EQ(
      check(kMissingPid, kZeroEvidence, kZeroEvidence, image_path, record),
      IntegrityOutcome::not_identified);
}

TEST(IntegrityCheck, PassesWithTheRightEvidenceAndFillsTheRecord) {
  test::TempDir directory;
  LoadedModuleCopy module(directory);
  ASSERT_TRUE(module.loaded());
  const std::string executable = own_executable();
  const std::string evidence_1 = evidence_of(executable);
  const std::string evidence_2 = evidence_of(module.path());

  std::string image_path;
  IntegrityRecord record;
  ASSERT_EQ(check(os::current_process_id(), evidence_1, evidence_2, image_path,
                  record),
            IntegrityOutcome::pass);
  EXPECT_TRUE(same_path(image_path, executable)) << image_path;
  EXPECT_EQ(record.pid, os::current_process_id());
  EXPECT_EQ(record.image_path, image_path);
  EXPECT_EQ(file_name_from_path(upper_case(record.module_path)),
            upper_case(probe::guard_module_file_name()));
  EXPECT_EQ(evidence_of(record.module_path), evidence_2);
  EXPECT_EQ(record.evidence_1, evidence_1);
  EXPECT_EQ(record.evidence_2, evidence_2);
#ifndef _WIN32
  // Linux can name a file version soundly, so the re-check may skip hashing.
  EXPECT_TRUE(record.image_identity.known);
  EXPECT_TRUE(record.module_identity.known);
#endif
  EXPECT_TRUE(recheck(os::current_process_id(), record));
}

TEST(IntegrityCheck, LowerCaseEvidenceIsAcceptedAndRecordedUpperCase) {
  test::TempDir directory;
  LoadedModuleCopy module(directory);
  ASSERT_TRUE(module.loaded());
  const std::string evidence_1 = evidence_of(own_executable());
  const std::string evidence_2 = evidence_of(module.path());
  std::string lower_2 = evidence_2;
  for (char& c : lower_2) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c + ('a' - 'A'));
  }
  std::string image_path;
  IntegrityRecord record;
  ASSERT_EQ(
      check(os::current_process_id(), evidence_1, lower_2, image_path, record),
      IntegrityOutcome::pass);
  EXPECT_EQ(record.evidence_2, evidence_2);
}

TEST(IntegrityCheck, WaitsUntilTheUsersEarlierHashesArePaidFor) {
  // A user that just had a gigabyte hashed waits about eight seconds; a
  // client that leaves meanwhile has nothing hashed for it.
  test::TempDir directory;
  LoadedModuleCopy module(directory);
  ASSERT_TRUE(module.loaded());
  HashTurn share;
  share.debt_bytes = 1ll << 30;
  share.paid_at_ms = os::tick_ms();
  int asked = 0;
  const auto leaves_soon = [](void* count) {
    return ++*static_cast<int*>(count) < 3;
  };
  const Held held(os::current_process_id());
  std::string image_path;
  IntegrityRecord record;
  EXPECT_EQ(
      integrity_check(held.get(), os::current_process_id(),
                      evidence_of(own_executable()), evidence_of(module.path()),
                      image_path, record, {leaves_soon, &asked, &share}),
      IntegrityOutcome::mismatch);
  // Twice while the module waited, once more when it gave up, once for the
  // image: never from inside a hash.
  EXPECT_EQ(asked, 4);
  EXPECT_LE(share.debt_bytes, 1ll << 30);
}

#ifndef _WIN32
TEST(IntegrityCheck, AVersionHashedBeforeIsNotHashedAgain) {
  // Hashed for an earlier launch or ahead of this launch's HELLO: the check
  // costs the user's share nothing.
  test::TempDir directory;
  LoadedModuleCopy module(directory);
  ASSERT_TRUE(module.loaded());
  const Held held(os::current_process_id());
  const os::ProcessId pid = os::current_process_id();
  for (const bool ahead : {false, true}) {
    digest_memory().follow_policy(nullptr);  // forgets what came before
    std::string image_path;
    IntegrityRecord record;
    HashTurn before;
    if (ahead) {
      ASSERT_TRUE(
          hash_ahead_of_check(held.get(), pid, {nullptr, nullptr, &before}));
    } else {
      ASSERT_EQ(integrity_check(held.get(), pid, evidence_of(own_executable()),
                                evidence_of(module.path()), image_path, record,
                                {nullptr, nullptr, &before}),
                IntegrityOutcome::pass);
    }
    EXPECT_GT(before.debt_bytes, 0);
    HashTurn share;
    ASSERT_EQ(integrity_check(held.get(), pid, evidence_of(own_executable()),
                              evidence_of(module.path()), image_path, record,
                              {nullptr, nullptr, &share}),
              IntegrityOutcome::pass);
    EXPECT_EQ(share.debt_bytes, 0) << (ahead ? "ahead" : "earlier launch");
  }
}
#endif

#ifdef _WIN32
TEST(ExamineClientFile, ASignatureIsReadAgainOnlyTheFirstTime) {
  // WinVerifyTrust reads a build it has not verified yet a second time,
  // which is charged to its user like the hash; a kept verdict reads nothing.
  test::TempDir directory;
  LoadedModuleCopy module(directory, [](const std::string& path) {
    return test::sign_in_place(path, test::TestSigner::studio).empty();
  });
  ASSERT_TRUE(module.loaded());
  const Held held(os::current_process_id());
  std::uint64_t read_again[2] = {1, 1};
  for (std::uint64_t& bytes : read_again) {
    os::ExaminedFile file;
    os::PinnedFile pin;
    ASSERT_EQ(os::examine_client_file(held.get(), os::current_process_id(),
                                      os::ClientFile::guard_module, {}, &pin,
                                      nullptr, nullptr, file),
              os::ExamineOutcome::examined);
    EXPECT_FALSE(file.signers.empty());
    bytes = file.signature_bytes_read;
  }
  EXPECT_EQ(read_again[0], std::filesystem::file_size(module.path()));
  EXPECT_EQ(read_again[1], 0u);
}
#endif

TEST(IntegrityCheck, WrongEvidenceIsAMismatch) {
  test::TempDir directory;
  LoadedModuleCopy module(directory);
  ASSERT_TRUE(module.loaded());
  const std::string evidence_1 = evidence_of(own_executable());
  const std::string evidence_2 = evidence_of(module.path());

  struct Case {
    const char* name;
    std::string evidence_1;
    std::string evidence_2;
  };
  const Case cases[] = {
      {"wrong image value", wrong(evidence_1), evidence_2},
      {"wrong module value", evidence_1, wrong(evidence_2)},
      {"both swapped", evidence_2, evidence_1},
      {"last digit off", evidence_1,
       evidence_2.substr(0, 63) + (evidence_2[63] == 'F' ? "E" : "F")},
  };
  for (const Case& c : cases) {
    std::string image_path;
    IntegrityRecord record;
    EXPECT_EQ(check(os::current_process_id(), c.evidence_1, c.evidence_2,
                    image_path, record),
              IntegrityOutcome::mismatch)
        << c.name;
    EXPECT_TRUE(image_path.empty()) << c.name;
    EXPECT_EQ(record.pid, 0u) << c.name;
  }
}

TEST(IntegrityCheck, AbandonedHashIsAMismatch) {
  test::TempDir directory;
  LoadedModuleCopy module(directory);
  ASSERT_TRUE(module.loaded());
  const os::ProcessId pid = os::current_process_id();
  const Held held(pid);
  std::string image_path;
  IntegrityRecord record;
  const IntegrityCancel gone{[](void*) { return false; }, nullptr};
  EXPECT_EQ(
      integrity_check(held.get(), pid, evidence_of(own_executable()),
                      evidence_of(module.path()), image_path, record, gone),
      IntegrityOutcome::mismatch);
  EXPECT_TRUE(image_path.empty());
}

#ifdef _WIN32
TEST(IntegrityCheck, FileThatCannotBeHeldIsRefusedWithTheReason) {
  // Open elsewhere with delete access, sharing everything: not held for the
  // session, so refused, and the operator hears which file and why.
  test::TempDir directory;
  LoadedModuleCopy module(directory);
  const os::win32::UniqueHandle other(
      CreateFileA(module.path().c_str(), DELETE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(module.loaded() && other.valid());
  const os::ProcessId pid = os::current_process_id();
  const Held held(pid);
  std::string image_path, why;
  IntegrityRecord record;
  EXPECT_EQ(
      integrity_check(held.get(), pid, evidence_of(own_executable()),
                      evidence_of(module.path()), image_path, record, {}, &why),
      IntegrityOutcome::mismatch);
  EXPECT_NE(why.find("vorn_guard.dll cannot be held for the session: "),
            std::string::npos)
      << why;
  EXPECT_NE(why.find("; it is open elsewhere with delete access"),
            std::string::npos)
      << why;
}
#endif

class IntegrityRecheck : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = std::make_unique<LoadedModuleCopy>(directory_);
    ASSERT_TRUE(module_->loaded());
    std::string image_path;
    ASSERT_EQ(check(os::current_process_id(), evidence_of(own_executable()),
                    evidence_of(module_->path()), image_path, record_),
              IntegrityOutcome::pass);
  }

  ::testing::AssertionResult rename_a_patched_copy_over_the_module() {
    const std::string replacement = directory_.file("replacement.so");
    if (!test::write_file(replacement, "patched")) {
      return ::testing::AssertionFailure() << "cannot write " << replacement;
    }
    std::error_code error;
    std::filesystem::rename(replacement, module_->path(), error);
    if (!error) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << error.message();
  }

  test::TempDir directory_;
  std::unique_ptr<LoadedModuleCopy> module_;
  IntegrityRecord record_;
};

TEST_F(IntegrityRecheck, PassesWhileNothingChanged) {
  EXPECT_TRUE(recheck(os::current_process_id(), record_));
  EXPECT_TRUE(recheck(os::current_process_id(), record_));
}

TEST_F(IntegrityRecheck, FailsForAnotherProcessId) {
  EXPECT_FALSE(recheck(kMissingPid, record_));
}

TEST_F(IntegrityRecheck, FailsOnceTheModuleIsUnloaded) {
  module_->unload();
  EXPECT_FALSE(recheck(os::current_process_id(), record_));
}

TEST_F(IntegrityRecheck, FailsWhenTheModuleIsLoadedFromAnotherPath) {
  module_->unload();
  test::TempDir other_directory;
  LoadedModuleCopy other(other_directory);
  ASSERT_TRUE(other.loaded());
  // Same bytes, other file: the record names the first one.
  EXPECT_EQ(evidence_of(other.path()), record_.evidence_2);
  EXPECT_FALSE(recheck(os::current_process_id(), record_));
}

#ifndef _WIN32
// Windows holds the verified files: their bytes cannot change, their times
// say nothing.
TEST_F(IntegrityRecheck, FailsAFileWhoseIdentityChangedWithoutHashing) {
  // A new modification time: the file changed since it was verified. Its
  // bytes are the same, so only a re-check that does not hash fails it.
  namespace fs = std::filesystem;
  std::error_code error;
  const auto old_time = fs::last_write_time(module_->path(), error);
  ASSERT_FALSE(error) << error.message();
  fs::last_write_time(module_->path(), old_time - std::chrono::hours(1), error);
  ASSERT_FALSE(error) << error.message();
  EXPECT_NE(fs::last_write_time(module_->path()), old_time);
  EXPECT_FALSE(recheck(os::current_process_id(), record_));
}
#endif

TEST_F(IntegrityRecheck, HashesAgainWhereNoIdentityWasRecorded) {
  // A record whose module value no longer matches the file stands for a file
  // that changed; without a recorded identity or a held file the re-check
  // must notice.
  IntegrityRecord record = record_;
  record.module_identity = os::FileIdentity{};
  record.held_files = nullptr;
  record.evidence_2 = wrong(record.evidence_2);
  EXPECT_FALSE(recheck(os::current_process_id(), record));
  record = record_;
  record.image_identity = os::FileIdentity{};
  record.held_files = nullptr;
  record.evidence_1 = wrong(record.evidence_1);
  EXPECT_FALSE(recheck(os::current_process_id(), record));
}

TEST_F(IntegrityRecheck, TrustsAnUnchangedRecordedIdentityWithoutHashing) {
  // The same altered value, but with the identity recorded at the check, or
  // the file held since (Windows): an unchanged file is not hashed again, so
  // the altered value goes unseen. Where neither is possible, every re-check
  // hashes.
  IntegrityRecord record = record_;
  record.evidence_2 = wrong(record.evidence_2);
  const bool held = record_.held_files && record_.held_files->module.open();
  EXPECT_EQ(recheck(os::current_process_id(), record),
            record_.module_identity.known || held);
  record = record_;
  record.evidence_1 = wrong(record.evidence_1);
  EXPECT_EQ(recheck(os::current_process_id(), record),
            record_.image_identity.known || record_.held_files->image.open());
}

TEST_F(IntegrityRecheck, FailsWhenTheModuleFileChangesOnDisk) {
  // Appending leaves the bytes the loader mapped alone, but changes the
  // file's hash.
  if (!append_byte(module_->path())) {
#ifdef _WIN32
    // Windows refuses writers to a loaded DLL's file, so the module cannot
    // change under a running client; the check then still passes.
    EXPECT_TRUE(recheck(os::current_process_id(), record_));
    return;
#else
    FAIL() << "cannot append to " << module_->path();
#endif
  }
  EXPECT_NE(evidence_of(module_->path()), record_.evidence_2);
  EXPECT_FALSE(recheck(os::current_process_id(), record_));
}

#ifndef _WIN32
TEST_F(IntegrityRecheck, FollowsTheMappedFileNotThePath) {
  // A patched copy renamed over the module's path changes nothing the
  // process runs: the mapped file is still the verified one. Opening a
  // mapping whose file is gone needs map_files, which root may open.
  if (::geteuid() != 0) GTEST_SKIP() << "map_files needs root";
  ASSERT_TRUE(rename_a_patched_copy_over_the_module());
  EXPECT_TRUE(recheck(os::current_process_id(), record_));
}

TEST_F(IntegrityRecheck, PutsOffAHashTheUsersShareHasNotPaidFor) {
  // A module that lost its last name is hashed again, once; a user's
  // re-check makes that hash only when its time has come.
  if (::geteuid() != 0) GTEST_SKIP() << "map_files needs root";
  ASSERT_TRUE(rename_a_patched_copy_over_the_module());
  IntegrityRecord record = record_;
  record.evidence_2 = wrong(record.evidence_2);
  HashTurn share;
  const Held held(os::current_process_id());
  record.rehash_not_before_ms = os::tick_ms() + 600000;
  EXPECT_TRUE(integrity_recheck(held.get(), record.pid, record,
                                {nullptr, nullptr, &share}));
  EXPECT_EQ(share.debt_bytes, 0);
  record.rehash_not_before_ms = 0;
  EXPECT_FALSE(integrity_recheck(held.get(), record.pid, record,
                                 {nullptr, nullptr, &share}));
  EXPECT_GT(share.debt_bytes, 0);
}
#endif

// ---------------------------------------------------------------- children

struct ProbeEvidence {
  std::string evidence_1;
  std::string evidence_2;
};

// Starts `vorn-guard-probe evidence` and waits for its "ready" line.
bool start_probe(test::ChildProcess& child, const test::TempDir& directory,
                 bool load_guard, ProbeEvidence& evidence) {
  const std::string output = directory.file("probe.out");
  std::vector<std::string> arguments = {"evidence", "--hold-ms", "30000"};
  if (load_guard) arguments.push_back("--load-guard");
  const std::string probe = test::binary_directory() + os::path_separator() +
                            test::executable_name("vorn-guard-probe");
  if (!test::start_child(child, probe, arguments, {}, output)) return false;
  for (int attempt = 0; attempt < 1200; ++attempt) {
    const std::string text = test::read_file(output);
    if (text.find("ready") != std::string::npos) {
      // Two list entries first: "<digest>  <name>".
      const std::size_t second = text.find('\n') + 1;
      evidence.evidence_1 = text.substr(0, 64);
      evidence.evidence_2 = text.substr(second, 64);
      return is_hex_text(evidence.evidence_1) &&
             is_hex_text(evidence.evidence_2) &&
             evidence.evidence_2.size() == 64;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TEST(IntegrityCheckChild, ProbeWithoutGuardModuleIsNotIdentified) {
  test::TempDir directory;
  test::ChildProcess child;
  ProbeEvidence evidence;
  ASSERT_TRUE(start_probe(child, directory, false, evidence));
  std::string image_path;
  IntegrityRecord record;
  EXPECT_EQ(check(child.pid, evidence.evidence_1, evidence.evidence_2,
                  image_path, record),
            IntegrityOutcome::not_identified);
  test::release_child(child);
}

TEST(IntegrityCheckChild, ProbeWithGuardModulePassesUntilItEnds) {
  test::TempDir directory;
  test::ChildProcess child;
  ProbeEvidence evidence;
  ASSERT_TRUE(start_probe(child, directory, true, evidence));
  EXPECT_EQ(evidence.evidence_2, evidence_of(built_module_path()));

  std::string image_path;
  IntegrityRecord record;
  ASSERT_EQ(check(child.pid, evidence.evidence_1, evidence.evidence_2,
                  image_path, record),
            IntegrityOutcome::pass);
  EXPECT_EQ(upper_case(file_name_from_path(image_path)),
            upper_case(test::executable_name("vorn-guard-probe")));
  EXPECT_TRUE(recheck(child.pid, record));

  std::string ignored;
  IntegrityRecord unused;
  EXPECT_EQ(check(child.pid, wrong(evidence.evidence_1), evidence.evidence_2,
                  ignored, unused),
            IntegrityOutcome::mismatch);

  test::kill_child(child);
  int exit_code = 0;
  ASSERT_TRUE(test::wait_child(child, 10000, exit_code));
  EXPECT_FALSE(recheck(child.pid, record));
  EXPECT_EQ(check(child.pid, evidence.evidence_1, evidence.evidence_2, ignored,
                  unused),
            IntegrityOutcome::not_identified);
  test::release_child(child);
}

}  // namespace
}  // namespace vorn
