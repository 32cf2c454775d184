// Win32 ways of tampering with the service log's directories, for the
// protection tests: junctions and symbolic links, another owner, a DACL that
// lets everyone write.
//
// Wine cannot make junctions, makes no symbolic links (CreateSymbolicLink
// reports success and does nothing) and keeps no owners of its own (it shows
// the Unix owner and mode). Under Wine the helpers therefore fall back to the
// Unix commands ln and chown, which a Wine process can start directly, and
// check the result the way the service sees it.
#include <windows.h>
// windows.h first: these need its types.
#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/win32/unix_files.h"
#include "unit/service_log_protection.h"

namespace vorn::test {
namespace {

struct LocalFreeDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};
using LocalMemory = std::unique_ptr<void, LocalFreeDeleter>;

// Not in older SDK headers: lets developer mode create links unelevated.
constexpr DWORD kAllowUnprivilegedCreate = 0x2;

// Starts a Unix program under Wine and waits for it. Its exit code cannot be
// read, so the callers check the effect instead.
void run_unix(const std::string& command_line) {
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  std::string line = command_line;
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process)) {
    return;
  }
  WaitForSingleObject(process.hProcess, 10000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// Waits up to twenty seconds for `done`: a Unix child may end after the wait
// for it returned.
template <typename Check>
bool eventually(Check done) {
  for (int attempt = 0; attempt < 400; ++attempt) {
    if (done()) return true;
    Sleep(50);
  }
  return done();
}

class ProcessAccount {
 public:
  ProcessAccount() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    buffer_.resize(size);
    if (size == 0 ||
        !GetTokenInformation(token, TokenUser, buffer_.data(), size, &size)) {
      buffer_.clear();
    }
    CloseHandle(token);
  }
  PSID sid() const {
    if (buffer_.empty()) return nullptr;
    return reinterpret_cast<const TOKEN_USER*>(buffer_.data())->User.Sid;
  }

 private:
  std::vector<unsigned char> buffer_;
};

// SYSTEM, Administrators and this process's own account.
bool trusted(PSID sid) {
  if (sid == nullptr || !IsValidSid(sid)) return false;
  if (IsWellKnownSid(sid, WinLocalSystemSid) ||
      IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) {
    return true;
  }
  const ProcessAccount user;
  return user.sid() != nullptr && EqualSid(sid, user.sid());
}

bool owner_is_untrusted(const std::string& path) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION, &owner, nullptr,
                            nullptr, nullptr, &raw) != ERROR_SUCCESS) {
    return false;
  }
  const LocalMemory descriptor(raw);
  return !trusted(owner);
}

// Setting another account as owner needs SeRestorePrivilege (elevated).
void enable_restore_privilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
    return;
  }
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (LookupPrivilegeValueA(nullptr, "SeRestorePrivilege",
                            &privileges.Privileges[0].Luid)) {
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  }
  CloseHandle(token);
}

// Makes the existing empty directory `link` a junction to `target`, as any
// user may do (FSCTL_SET_REPARSE_POINT with mount point data).
bool make_junction(const std::string& link, const std::string& target) {
  char full[MAX_PATH * 2];
  const DWORD full_length =
      GetFullPathNameA(target.c_str(), sizeof(full), full, nullptr);
  if (full_length == 0 || full_length >= sizeof(full)) return false;
  std::string substitute = std::string("\\??\\") + full;
  const std::wstring wide_substitute(substitute.begin(), substitute.end());
  const std::wstring wide_print(full, full + full_length);

  // REPARSE_DATA_BUFFER is in the driver kit headers only: tag, data length,
  // reserved, then substitute offset and length, print offset and length,
  // then both names with their terminators.
  const auto substitute_bytes =
      static_cast<WORD>(wide_substitute.size() * sizeof(WCHAR));
  const auto print_bytes = static_cast<WORD>(wide_print.size() * sizeof(WCHAR));
  const WORD print_offset = static_cast<WORD>(substitute_bytes + sizeof(WCHAR));
  const WORD data_length =
      static_cast<WORD>(8 + substitute_bytes + print_bytes + 2 * sizeof(WCHAR));
  std::vector<unsigned char> buffer(8 + data_length, 0);
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  const WORD zero = 0;
  std::memcpy(&buffer[0], &tag, 4);
  std::memcpy(&buffer[4], &data_length, 2);
  std::memcpy(&buffer[8], &zero, 2);
  std::memcpy(&buffer[10], &substitute_bytes, 2);
  std::memcpy(&buffer[12], &print_offset, 2);
  std::memcpy(&buffer[14], &print_bytes, 2);
  std::memcpy(&buffer[16], wide_substitute.data(), substitute_bytes);
  std::memcpy(&buffer[16 + print_offset], wide_print.data(), print_bytes);

  if (!CreateDirectoryA(link.c_str(), nullptr)) return false;
  const HANDLE directory = CreateFileA(
      link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  bool made = false;
  if (directory != INVALID_HANDLE_VALUE) {
    DWORD returned = 0;
    made = DeviceIoControl(directory, FSCTL_SET_REPARSE_POINT, buffer.data(),
                           static_cast<DWORD>(buffer.size()), nullptr, 0,
                           &returned, nullptr) != FALSE;
    CloseHandle(directory);
  }
  if (!made) RemoveDirectoryA(link.c_str());
  return made;
}

}  // namespace

bool plant_directory_link(const std::string& link, const std::string& target) {
  if (make_junction(link, target)) return is_link(link);
  // Wine shows a Unix link to a missing directory as nothing at all, so such
  // a link could neither be checked nor removed from here.
  if (!under_wine() ||
      GetFileAttributesA(target.c_str()) == INVALID_FILE_ATTRIBUTES) {
    return false;
  }
  const std::string unix_link = unix_path(link);
  const std::string unix_target = unix_path(target);
  if (unix_link.empty() || unix_target.empty()) return false;
  run_unix("/bin/ln -s " + quoted(unix_target) + " " + quoted(unix_link));
  return eventually([&] { return is_link(link); });
}

bool plant_file_link(const std::string& link, const std::string& target) {
  if (!CreateSymbolicLinkA(link.c_str(), target.c_str(),
                           kAllowUnprivilegedCreate)) {
    CreateSymbolicLinkA(link.c_str(), target.c_str(), 0);
  }
  return is_link(link);
}

bool give_to_untrusted_owner(const std::string& path) {
  enable_restore_privilege();
  PSID users = nullptr;
  if (ConvertStringSidToSidA("S-1-5-32-545", &users)) {
    const LocalMemory held(users);
    SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT,
                          OWNER_SECURITY_INFORMATION, users, nullptr, nullptr,
                          nullptr);
  }
  if (owner_is_untrusted(path)) return true;
  if (!under_wine()) return false;
  const std::string unix_name = unix_path(path);
  if (unix_name.empty()) return false;
  run_unix("/bin/chown nobody " + quoted(unix_name));
  return eventually([&] { return owner_is_untrusted(path); });
}

bool let_everyone_change(const std::string& path) {
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
          "D:(A;OICI;FA;;;WD)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1,
          &raw, nullptr)) {
    return false;
  }
  const LocalMemory descriptor(raw);
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(raw, &present, &dacl, &defaulted)) {
    return false;
  }
  return SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT,
                               DACL_SECURITY_INFORMATION, nullptr, nullptr,
                               dacl, nullptr) == ERROR_SUCCESS;
}

bool others_may_change(const std::string& path) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (GetNamedSecurityInfoA(
          path.c_str(), SE_FILE_OBJECT,
          OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
          nullptr, &dacl, nullptr, &raw) != ERROR_SUCCESS) {
    return false;
  }
  const LocalMemory descriptor(raw);
  if (!trusted(owner) || dacl == nullptr) return true;
  constexpr ACCESS_MASK kChanging = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY |
                                    FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                    WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* entry = nullptr;
    if (!GetAce(dacl, index, &entry)) return true;
    if (static_cast<ACE_HEADER*>(entry)->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      continue;
    }
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    if ((allowed->Mask & kChanging) != 0 &&
        !trusted(reinterpret_cast<PSID>(&allowed->SidStart))) {
      return true;
    }
  }
  return false;
}

bool is_link(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool remove_link(const std::string& path) {
  // A junction or directory link goes with RemoveDirectory, a file link with
  // DeleteFile; neither touches the target.
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
      RemoveDirectoryA(path.c_str())) {
    return true;
  }
  if (DeleteFileA(path.c_str())) return true;
  if (!under_wine()) return false;
  const std::string unix_name = unix_path(path);
  if (unix_name.empty()) return false;
  run_unix("/bin/rm -f " + quoted(unix_name));
  return eventually([&] {
    return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES;
  });
}

}  // namespace vorn::test
