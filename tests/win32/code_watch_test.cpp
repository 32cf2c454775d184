// The watch of a client's code against a real child process
// (vorn_code_client) that loads a copy of the built guard module.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/runtime.h"
#include "platform/system.h"
#include "platform/win32/file_hash.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

enum class Change {
  none,
  module_written,
  image_written_from_outside,
  ended,
  code_files_listed
};

struct WatchCase {
  const char* name;
  Change change;
  os::CodeLook look;
  os::CodeLook still_runs;
};

bool copy_beside(const test::TempDir& directory, const std::string& name) {
  const std::string bytes =
      test::read_file(test::binary_directory() + "\\" + name);
  return !bytes.empty() && test::write_file(directory.file(name), bytes);
}

// What a cheat running beside the game does: opens it and writes into its
// code with WriteProcessMemory, the protection changed around the write.
bool write_from_outside(std::uint32_t pid, std::uintptr_t address) {
  HANDLE process = OpenProcess(
      PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (process == nullptr) return false;
  void* target = reinterpret_cast<void*>(address);
  unsigned char byte = 0;
  DWORD old_protection = 0;
  DWORD ignored = 0;
  const bool written =
      ReadProcessMemory(process, target, &byte, 1, nullptr) &&
      VirtualProtectEx(process, target, 1, PAGE_EXECUTE_READWRITE,
                       &old_protection) &&
      (byte = static_cast<unsigned char>(byte ^ 0xFF),
       WriteProcessMemory(process, target, &byte, 1, nullptr)) &&
      VirtualProtectEx(process, target, 1, old_protection, &ignored);
  CloseHandle(process);
  return written;
}

std::string lower_file_name(const std::string& path) {
  std::string name = path.substr(path.find_last_of('\\') + 1);
  std::transform(name.begin(), name.end(), name.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  });
  return name;
}

// The strict code policy's list: the system libraries the child runs, never
// its image or module, and each file not a system file (every file under
// Wine, which reports all as its user's) with the digest of the file named.
void expect_code_files(os::ClientCode& code, const std::string& client) {
  std::vector<os::CodeFile> files;
  os::Error why;
  ASSERT_EQ(os::list_code_files(code, {}, files, why), os::CodeLook::intact)
      << why.words();
  std::vector<std::string> names;
  for (const os::CodeFile& file : files) {
    SCOPED_TRACE(file.path);
    names.push_back(lower_file_name(file.path));
    if (file.system_file) continue;
    HANDLE opened =
        CreateFileA(file.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(opened, INVALID_HANDLE_VALUE);
    std::uint8_t digest[32] = {};
    EXPECT_EQ(os::win32::hash_open_file(opened, nullptr, nullptr, digest),
              os::ExamineOutcome::examined);
    CloseHandle(opened);
    EXPECT_EQ(std::memcmp(digest, file.digest, sizeof digest), 0);
  }
  for (const char* name : {"ntdll.dll", "kernel32.dll"}) {
    EXPECT_EQ(std::count(names.begin(), names.end(), name), 1) << name;
  }
  for (const std::string& name :
       {lower_file_name(client), std::string("vorn_guard.dll")}) {
    EXPECT_EQ(std::count(names.begin(), names.end(), name), 0) << name;
  }
}

class CodeWatch : public testing::TestWithParam<WatchCase> {};

TEST_P(CodeWatch, LooksAtTheClientsCode) {
  const WatchCase& c = GetParam();
  test::TempDir directory;
  const std::string client = test::executable_name("vorn_code_client");
  ASSERT_TRUE(copy_beside(directory, client));
  ASSERT_TRUE(copy_beside(directory, "vorn_guard.dll"));
  test::ChildProcess child;
  ASSERT_TRUE(test::start_piped_child(child, directory.file(client), {}));
  std::string line;
  // Generous: a loaded machine under Wine starts processes slowly.
  ASSERT_TRUE(test::read_child_line(child, line, 60000));
  unsigned long long image_code = 0;
  unsigned long long module_code = 0;
  ASSERT_EQ(
      std::sscanf(line.c_str(), "ready %llx %llx", &image_code, &module_code),
      2)
      << line;

  os::ProcessHandle held = os::process_open_for_session(child.pid);
  ASSERT_TRUE(held.open());
  os::ExaminedFile image;
  os::ExaminedFile module;
  ASSERT_EQ(os::examine_client_file(held, child.pid, os::ClientFile::image, {},
                                    nullptr, nullptr, nullptr, image),
            os::ExamineOutcome::examined);
  ASSERT_EQ(
      os::examine_client_file(held, child.pid, os::ClientFile::guard_module, {},
                              nullptr, nullptr, nullptr, module),
      os::ExamineOutcome::examined);
  os::ClientCode code;
  std::uint64_t pages_differing = 0;
  os::Error why;
  ASSERT_EQ(os::watch_client_code(held, child.pid, image, module, code,
                                  pages_differing, why),
            os::CodeLook::intact)
      << why.words();

  int exit_code = -1;
  switch (c.change) {
    case Change::none:
      break;
    case Change::module_written:
      ASSERT_TRUE(test::write_child_line(child, "patch-module"));
      ASSERT_TRUE(test::read_child_line(child, line, 60000));
      // The child writes text mode: "done\r".
      ASSERT_EQ(line.substr(0, 4), "done");
      break;
    case Change::image_written_from_outside:
      ASSERT_TRUE(write_from_outside(child.pid, image_code + 1));
      break;
    case Change::ended:
      ASSERT_TRUE(test::write_child_line(child, "exit"));
      ASSERT_TRUE(test::wait_child(child, 60000, exit_code));
      break;
    case Change::code_files_listed:
      expect_code_files(code, client);
      break;
  }
  EXPECT_EQ(os::look_at_client_code(code, os::CodeLookDepth::pages, why),
            c.look)
      << why.words();
  EXPECT_EQ(os::client_code_still_runs(code), c.still_runs);
  held.close();
  test::release_child(child);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, CodeWatch,
    testing::Values(WatchCase{"Untouched", Change::none, os::CodeLook::intact,
                              os::CodeLook::intact},
                    WatchCase{"ModuleWrittenByItself", Change::module_written,
                              os::CodeLook::changed, os::CodeLook::intact},
                    WatchCase{"ImageWrittenFromOutside",
                              Change::image_written_from_outside,
                              os::CodeLook::changed, os::CodeLook::intact},
                    WatchCase{"Ended", Change::ended, os::CodeLook::gone,
                              os::CodeLook::gone},
                    WatchCase{"OtherCodeFilesListed", Change::code_files_listed,
                              os::CodeLook::intact, os::CodeLook::intact}),
    [](const testing::TestParamInfo<WatchCase>& param_info) {
      return std::string(param_info.param.name);
    });

}  // namespace
}  // namespace vorn
