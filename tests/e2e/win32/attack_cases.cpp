// Attacks on the integrity check under Windows (Wine in the tests), staged by
// vorn_attack_client: clients that rewrite their loader list, a client in a
// folder whose name no ANSI code page can write, clients whose module or
// code changes during the session, and one whose executable the service
// cannot hold; and the attacks on the pipe (squat_cases.cpp).
#include "e2e/attack_cases.h"

#include <process.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "e2e/service_log_reader.h"
#include "e2e/win32/squat_cases.h"
#include "integrity/integrity.h"
#include "platform/client.h"
#include "platform/win32/win32_handle.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

struct Staging {
  const char* name;
  const wchar_t* folder;  // holds the client and its vorn_guard.dll
  bool patch;             // bytes added to that module: another digest
  // "-": the entry is left alone; "": genuine; "+...": a session mode
  const wchar_t* loader_name;
  // 0: OK, or ended by the service in a session mode; 4: ERR|INTEGRITY
  // (attack_client.cpp)
  int exit_code;
  // Another process has the client's executable open with delete access,
  // sharing everything, so the service cannot hold it.
  bool exe_open_elsewhere = false;
  // The file name the module is copied to and loaded from.
  const wchar_t* module_file = L"vorn_guard.dll";
};

// Each failed against the service before it read the kernel's mappings.
const Staging kStagings[] = {
    // The old check hashed the genuine file the entry named and answered OK.
    {"LoaderEntryNamingTheGenuineModule", L"patched", true, L"", 4},
    // The old check opened the share as LocalSystem and could not read it.
    {"LoaderEntryNamingAShare", L"share", false,
     L"\\\\127.0.0.1\\share\\vorn_guard.dll", 0},
    // The old check's ANSI calls turned the letters into '?' and could not
    // open the files.
    {"ClientFolderOutsideTheAnsiCodePage",
     L"\u0418\u0433\u0440\u0430_\u6e38\u620f", false, L"-", 0},
    // A session's module file is held: it can be neither renamed nor opened
    // to write (exit code 5 before), and unloading the module still ends the
    // session at a re-check (terminated: exit code 0).
    {"ModuleHeldForTheSession", L"held", false, L"+swap", 0},
    // The code a session runs was not looked at: a byte of it written after
    // the OK, by the client itself or by another process, left it served.
    {"ModuleCodeWrittenByTheClient", L"patch", false, L"+patch-module", 0},
    {"ImageCodeWrittenFromAnotherProcess", L"patch", false, L"+patch-image", 0},
    // The service could not hold the executable and hashed it at every
    // re-check (512 MiB: 18 % of a core per session); it is refused now.
    {"ExecutableOpenElsewhereToDelete", L"open", false, L"", 4, true},
    // The module was found by its file name only: a game that ships it
    // renamed was refused (exit code 3).
    {"HonestGameWithTheModuleRenamed", L"renamed", false, L"-", 0, false,
     L"guard.dll"},
};

std::wstring digest_of(const fs::path& path) {
  std::uint8_t digest[32] = {};
  if (!os::sha256_file(path.string(), digest)) return L"unreadable";
  return fs::path(digest_to_hex(digest)).wstring();
}

// Runs a copy of the client beside a copy of the genuine module, with the
// genuine digests, from a fresh directory.
::testing::AssertionResult stage(const Staging& staging,
                                 const ServiceRun& run) {
  TempDir dir;
  const fs::path bin = binary_directory();
  const fs::path client = bin / executable_name("vorn_attack_client");
  const fs::path copy =
      fs::path(dir.path()) / staging.folder / client.filename();
  const fs::path module = copy.parent_path() / staging.module_file;
  std::error_code error;
  fs::create_directories(copy.parent_path(), error);
  if (error || !fs::copy_file(client, copy, error) ||
      !fs::copy_file(bin / "vorn_guard.dll", module, error)) {
    return ::testing::AssertionFailure() << error.message();
  }
  if (staging.patch) {
    std::ofstream(module, std::ios::binary | std::ios::app) << "patched";
  }
  const std::wstring quoted = L"\"" + copy.wstring() + L"\"";
  const std::wstring loader_name = *staging.loader_name != L'\0'
                                       ? staging.loader_name
                                       : (bin / "vorn_guard.dll").wstring();
  const std::wstring e1 = digest_of(client);
  const std::wstring e2 = digest_of(bin / "vorn_guard.dll");
  const wchar_t* argv[] = {quoted.c_str(), loader_name.c_str(), e1.c_str(),
                           e2.c_str(),     staging.module_file, nullptr};
  const os::win32::UniqueHandle other(
      staging.exe_open_elsewhere
          ? CreateFileW(copy.c_str(), DELETE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, 0, nullptr)
          : nullptr);
  const intptr_t code = _wspawnv(_P_WAIT, copy.c_str(), argv);
  if (code != staging.exit_code) {
    return ::testing::AssertionFailure() << "exit code " << code;
  }
  // A session mode's client ended before a whole session's PONGs (exit code
  // 0, not 6), by the re-check or a look at the code, not by a missed
  // heartbeat.
  if (staging.loader_name[0] == L'+' &&
      !wait_for_log(
          run,
          [](const std::string& line) {
            return line.find("reason=RUNTIME_INTEGRITY_CHANGED") !=
                   std::string::npos;
          },
          30000)) {
    return ::testing::AssertionFailure() << "no re-check enforcement logged";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace

std::vector<AttackCase> attack_cases() {
  std::vector<AttackCase> cases = squat_cases();
  for (const Staging& staging : kStagings) {
    cases.push_back({staging.name, [&staging](const ServiceRun& run) {
                       return stage(staging, run);
                     }});
  }
  return cases;
}

}  // namespace vorn::test
