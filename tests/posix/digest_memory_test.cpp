// The service's memory of verified digests: a version is recalled only while
// the mark on its file stays intact.
#include "integrity/digest_memory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "platform/posix/fd_util.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

struct MemoryCase {
  const char* name;
  // Done to the remembered file (in `folder`) before it is recalled.
  std::function<void(const std::string& file, const std::string& folder,
                     DigestMemory& memory)>
      after;
  bool recalled;
};

class DigestMemoryTable : public ::testing::TestWithParam<MemoryCase> {};

TEST_P(DigestMemoryTable, RecallsOnlyAnIntactVersion) {
  test::TempDir directory;
  const std::string folder = directory.file("mnt");
  ::mkdir(folder.c_str(), 0755);
  const bool mounted =
      ::mount("tmpfs", folder.c_str(), "tmpfs", 0, nullptr) == 0;
  if (!mounted && std::string(GetParam().name) == "Unmounted") {
    GTEST_SKIP() << "mounting needs root";
  }
  const std::string file = folder + "/game";
  ASSERT_TRUE(test::write_file(file, "game"));
  os::PinnedFile held(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  ASSERT_EQ(::fstat(static_cast<int>(held.raw()), &info), 0);
  os::FileIdentity identity = os::posix::identity_of(info);
  identity.stamped = true;
  const std::uint8_t digest[32] = {42};
  DigestMemory memory;
  memory.follow_policy(nullptr);
  const os::Signer studio{os::SignerKind::ed25519_key, {7}};
  memory.remember(identity, digest, {studio}, os::mark_file_version(held));
  held.close();
  GetParam().after(file, folder, memory);
  std::uint8_t recalled[32] = {};
  std::vector<os::Signer> signers;
  EXPECT_EQ(memory.recall(identity, recalled, signers), GetParam().recalled);
  EXPECT_EQ(recalled[0], GetParam().recalled ? 42 : 0);
  EXPECT_EQ(signers.size(), GetParam().recalled ? 1u : 0u);
  if (mounted) ::umount2(folder.c_str(), MNT_DETACH);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, DigestMemoryTable,
    ::testing::Values(
        MemoryCase{"Untouched", [](auto&, auto&, auto&) {}, true},
        MemoryCase{"Written", [](const std::string& file, auto&, auto&) { test::write_file(file, "gamf"); }, false},
        MemoryCase{"TimesSet", [](const std::string& file, auto&, auto&) { ::utimensat(AT_FDCWD, file.c_str(), nullptr, 0); }, false},
        MemoryCase{"Unmounted", [](auto&, const std::string& folder, auto&) { ASSERT_EQ(::umount(folder.c_str()), 0) << "needs root"; }, false},
        MemoryCase{"ListChanged", [](auto&, auto&, DigestMemory& memory) { memory.follow_policy(std::make_shared<DigestPolicy>()); }, false}),
    [](const ::testing::TestParamInfo<MemoryCase>& param) { return std::string(param.param.name); });
// clang-format on

}  // namespace
}  // namespace vorn
