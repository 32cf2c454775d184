// The watch of a client's code against a real child process
// (vorn_code_client) that loads a copy of the built guard module.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/runtime.h"
#include "platform/system.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

enum class Change { none, module_written, image_written_from_outside, ended };

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
  ASSERT_TRUE(held.open);
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
  std::string why;
  ASSERT_EQ(os::watch_client_code(held, child.pid, image, module, code,
                                  pages_differing, why),
            os::CodeLook::intact)
      << why;

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
  }
  EXPECT_EQ(os::look_at_client_code(code, why), c.look) << why;
  EXPECT_EQ(os::client_code_still_runs(code), c.still_runs);
  os::process_close(held);
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
                              os::CodeLook::gone}),
    [](const testing::TestParamInfo<WatchCase>& param_info) {
      return std::string(param_info.param.name);
    });

}  // namespace
}  // namespace vorn
