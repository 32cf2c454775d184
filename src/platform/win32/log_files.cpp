// The Win32 side of the service log: where ProgramData is, the log's
// directories and file, the local time; and the trusted-digest list, which
// sits in the same protected folder and is checked the same way.
//
// The service runs as LocalSystem and writes below ProgramData, where every
// user may create folders. Whoever could plant a junction or symbolic link at
// "VORN" or "ClientService", or a link in place of "service.log", could make
// the service append to a file of their choosing. So each level is created
// with a DACL that lets only SYSTEM and Administrators write, each level that
// exists is opened without following a reparse point and checked through its
// handle, and the handle is held (without FILE_SHARE_DELETE, so the level
// cannot be renamed or removed) until the file has been written.
#include <windows.h>
// windows.h first: these need its types.
#include <aclapi.h>
#include <sddl.h>

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "platform/system.h"
#include "platform/win32/file_security.h"
#include "platform/win32/log_rotation.h"
#include "platform/win32/win32_handle.h"

namespace vorn::os {

namespace {

using win32::LocalMemory;
using win32::Protection;
using win32::TrustedAccounts;

constexpr char kFallbackProgramData[] = "C:\\ProgramData";
constexpr DWORD kFirstBufferChars = 260;

// Full control for SYSTEM and Administrators, read and traverse for Users;
// protected, so nothing is inherited from ProgramData (whose DACL lets every
// user create folders and files).
constexpr char kProtectiveSddl[] =
    "D:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GRGX;;;BU)";

LocalMemory protective_descriptor() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
          kProtectiveSddl, SDDL_REVISION_1, &descriptor, nullptr)) {
    return LocalMemory();
  }
  return LocalMemory(descriptor);
}

bool plain_directory(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool plain_file(DWORD attributes) {
  return (attributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

bool apply_protective_dacl(HANDLE directory, PSECURITY_DESCRIPTOR protective) {
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(protective, &present, &dacl, &defaulted) ||
      !present || dacl == nullptr) {
    return false;
  }
  return SetSecurityInfo(
             directory, SE_FILE_OBJECT,
             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
             nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

// Decides whether an opened level may be used. An untrusted owner could
// change the DACL back at any time, so such a level is refused for good (an
// administrator has to remove it). A trusted owner with a DACL that lets
// others write (a level made by an installer or an older release, which
// inherited ProgramData's DACL) gets the protective DACL; what others planted
// inside meanwhile is checked like everything else, level by level.
// Why not, in words; empty when the level may be used.
std::string directory_distrust(HANDLE directory,
                               PSECURITY_DESCRIPTOR protective,
                               const TrustedAccounts& accounts) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(directory, &information) ||
      !plain_directory(information.dwFileAttributes)) {
    return "is not a plain directory";
  }
  switch (win32::protection_of(directory, accounts)) {
    case Protection::unreadable:
      return "has a security descriptor that cannot be read";
    case Protection::untrusted_owner:
      return "is owned by an account other than SYSTEM and Administrators "
             "(remove it, or let an administrator take it over)";
    case Protection::trusted:
      return std::string();
    case Protection::others_may_change:
      break;
  }
  if (apply_protective_dacl(directory, protective)) return std::string();
  return "lets other accounts write, and its protection cannot be restored";
}

// A name inside a directory, never a path that could pass through further
// levels unchecked.
bool plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("\\/:") == std::string::npos;
}

// Creates and checks each level below `base`. The handles of the levels that
// passed stay in `held` until the caller is done with the innermost one,
// `path`.
bool open_log_directories(
    const std::string& base, const std::vector<std::string>& levels,
    PSECURITY_DESCRIPTOR protective, const TrustedAccounts& accounts,
    std::list<win32::UniqueHandle>& held, std::string& path, bool create = true,
    bool* missing = nullptr, std::string* problem = nullptr) {
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), protective, FALSE};
  std::string ignored;
  std::string& why = problem != nullptr ? *problem : ignored;
  path = base;
  for (const std::string& level : levels) {
    if (!plain_name(level)) {
      why = "bad folder name " + level;
      return false;
    }
    path += '\\';
    path += level;
    // Usually fails because the level exists; the checks decide.
    if (create) CreateDirectoryA(path.c_str(), &attributes);
    const DWORD found = GetFileAttributesA(path.c_str());
    if (found == INVALID_FILE_ATTRIBUTES && missing != nullptr &&
        (GetLastError() == ERROR_FILE_NOT_FOUND ||
         GetLastError() == ERROR_PATH_NOT_FOUND)) {
      *missing = true;
      return false;
    }
    // Wine shows a Unix symbolic link as a reparse point only by path (its
    // handle opens the target); on Windows the handle below tells as well.
    if (found == INVALID_FILE_ATTRIBUTES) {
      why = path + ": " + win32::error_text(GetLastError());
      return false;
    }
    if (!plain_directory(found)) {
      why = path + " is a link, junction or file, not a plain directory";
      return false;
    }
    held.emplace_back(CreateFileA(
        path.c_str(), READ_CONTROL | WRITE_DAC,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!held.back().valid()) {
      why = path + ": " + win32::error_text(GetLastError());
      return false;
    }
    const std::string distrust =
        directory_distrust(held.back().get(), protective, accounts);
    if (!distrust.empty()) {
      why = path + " " + distrust;
      return false;
    }
  }
  return true;
}

// Opens the file without following a reparse point, to append, unless it is
// not a plain file, has a second name (a hard link made by someone who wants
// the lines elsewhere) or an untrusted owner. Empty, with `problem` saying
// why, when it cannot be appended to.
win32::UniqueHandle open_checked(const std::string& path,
                                 const TrustedAccounts& accounts,
                                 std::string& problem) {
  // FILE_APPEND_DATA alone: every write lands at the current end of the file,
  // also when another process appends at the same time. No sharing is denied,
  // so readers, other writers and deleters are never locked out.
  win32::UniqueHandle file(CreateFileA(
      path.c_str(), FILE_APPEND_DATA | READ_CONTROL,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr));
  if (!file.valid()) {
    problem = path + ": " + win32::error_text(GetLastError());
    return file;
  }
  problem = win32::log_file_distrust(file.get(), path, accounts);
  if (!problem.empty()) return win32::UniqueHandle();
  return file;
}

// Appends to the checked file `file_name` in `folder`, after rotating it
// when it has reached `rotate_bytes` and `rotate` allows (the folder is a
// level held by the caller). False when not all was written, with `problem`
// saying why; true with `problem` naming a rotation that was due but
// refused.
bool append_checked(const std::string& folder, const std::string& file_name,
                    const std::string& bytes, bool rotate,
                    std::uint64_t rotate_bytes, int kept,
                    const TrustedAccounts& accounts, std::string& problem) {
  const std::string path = folder + '\\' + file_name;
  win32::UniqueHandle file = open_checked(path, accounts, problem);
  if (!file.valid()) return false;
  LARGE_INTEGER size{};
  std::string refused;
  if (rotate && GetFileSizeEx(file.get(), &size) &&
      static_cast<std::uint64_t>(size.QuadPart) >= rotate_bytes) {
    // Between two lines, under the log's lock: the next line starts the new
    // file, whole.
    file = win32::UniqueHandle();
    (void)win32::rotate_log_files(folder, file_name, kept, accounts, refused);
    file = open_checked(path, accounts, problem);
    if (!file.valid()) return false;
  }

  // The caller already ends the line in CR LF, so these are the bytes a
  // text-mode write of the line would store.
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const DWORD piece =
        left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left);
    DWORD written = 0;
    // A failed write (disk full) may leave the line partial.
    if (!WriteFile(file.get(), data, piece, &written, nullptr)) {
      problem = path + ": " + win32::error_text(GetLastError());
      return false;
    }
    if (written == 0) {
      problem = path + ": nothing written";
      return false;
    }
    data += written;
    left -= written;
  }
  problem = refused;
  return true;
}

constexpr char kTrustedDigestsName[] = "trusted-digests.txt";

TrustedDigestsFile untrusted(std::string& problem, const std::string& text) {
  problem = text;
  return TrustedDigestsFile::untrusted;
}

std::int64_t filetime_value(const LARGE_INTEGER& time) {
  return static_cast<std::int64_t>(time.QuadPart);
}

// Checks the opened list and reads it unless `unchanged` names its version.
TrustedDigestsFile read_checked(HANDLE file, const std::string& path,
                                const TrustedAccounts& accounts,
                                const FileIdentity& unchanged,
                                std::string& bytes, FileIdentity& identity,
                                std::string& problem) {
  BY_HANDLE_FILE_INFORMATION information{};
  FILE_BASIC_INFO times{};
  if (GetFileType(file) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(file, &information) ||
      !plain_file(information.dwFileAttributes) ||
      !GetFileInformationByHandleEx(file, FileBasicInfo, &times,
                                    sizeof times)) {
    return untrusted(problem, path + ": not a plain file");
  }
  switch (win32::protection_of(file, accounts)) {
    case Protection::unreadable:
      return untrusted(problem, path + ": its security cannot be read");
    case Protection::untrusted_owner:
      return untrusted(problem, path + ": owned by an untrusted account");
    case Protection::others_may_change:
      return untrusted(problem, path +
                                    ": writable by accounts other than SYSTEM "
                                    "and Administrators");
    case Protection::trusted:
      break;
  }
  const std::uint64_t size =
      (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) |
      information.nFileSizeLow;
  if (size > kMaxTrustedDigestsBytes) {
    return untrusted(problem, path + ": larger than 1 MiB");
  }
  identity = FileIdentity();
  identity.known = true;
  identity.device = information.dwVolumeSerialNumber;
  identity.inode =
      (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) |
      information.nFileIndexLow;
  identity.size = size;
  // In 100 ns units; the change time also moves when only the security
  // does, though every look checks that anyway.
  identity.modified_ns = filetime_value(times.LastWriteTime);
  identity.changed_ns = filetime_value(times.ChangeTime);
  if (same_version(identity, unchanged)) return TrustedDigestsFile::unchanged;

  // One byte more than allowed tells a file that grew since the look.
  bytes.resize(kMaxTrustedDigestsBytes + 1);
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    DWORD count = 0;
    if (!ReadFile(file, &bytes[filled],
                  static_cast<DWORD>(bytes.size() - filled), &count, nullptr)) {
      bytes.clear();
      return untrusted(problem, path + ": cannot be read");
    }
    if (count == 0) break;
    filled += count;
  }
  bytes.resize(filled);
  if (filled > kMaxTrustedDigestsBytes) {
    bytes.clear();
    return untrusted(problem, path + ": larger than 1 MiB");
  }
  return TrustedDigestsFile::read;
}

}  // namespace

std::string program_data_directory() {
  std::vector<char> buffer(kFirstBufferChars, '\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD length =
        GetEnvironmentVariableA("ProgramData", buffer.data(), size);
    // 0: missing or empty.
    if (length == 0) return kFallbackProgramData;
    // The value fits: `length` characters were copied, terminator excluded.
    if (length < size) return std::string(buffer.data(), length);
    // It did not fit, and nothing usable was copied: `length` is the size
    // needed, terminator included. Read again with that much room (the
    // variable may grow meanwhile; then once more). Always grow, so a
    // misbehaving answer cannot keep the loop in place.
    buffer.assign(length > size ? length : size + 1, '\0');
  }
}

char path_separator() { return '\\'; }

LogLocation log_location() {
  return {program_data_directory(), {"VORN", "ClientService"}};
}

LocalTime local_time_now() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  LocalTime time;
  time.year = now.wYear;
  time.month = now.wMonth;
  time.day = now.wDay;
  time.hour = now.wHour;
  time.minute = now.wMinute;
  time.second = now.wSecond;
  return time;
}

bool create_log_directories(const std::string& base,
                            const std::vector<std::string>& levels) {
  const LocalMemory protective = protective_descriptor();
  if (!protective) return false;
  const TrustedAccounts accounts;
  std::list<win32::UniqueHandle> held;
  std::string path;
  return open_log_directories(base, levels, protective.get(), accounts, held,
                              path);
}

bool append_to_log_file(const std::string& base,
                        const std::vector<std::string>& levels,
                        const std::string& file_name, const std::string& bytes,
                        std::string& problem) {
  return win32::append_to_rotating_log(base, levels, file_name, bytes,
                                       win32::kLogRotateBytes, win32::kLogsKept,
                                       problem);
}

bool win32::append_to_rotating_log(const std::string& base,
                                   const std::vector<std::string>& levels,
                                   const std::string& file_name,
                                   const std::string& bytes,
                                   std::uint64_t rotate_bytes, int kept,
                                   std::string& problem) {
  const LocalMemory protective = protective_descriptor();
  if (!protective || !plain_name(file_name)) {
    problem = "the log's protection cannot be made";
    return false;
  }
  const TrustedAccounts accounts;
  std::list<win32::UniqueHandle> held;
  std::string path;
  if (!open_log_directories(base, levels, protective.get(), accounts, held,
                            path, true, nullptr, &problem)) {
    return false;
  }
  // Rotated only inside a level held here, never in `base` itself.
  return append_checked(path, file_name, bytes, !levels.empty(), rotate_bytes,
                        kept, accounts, problem);
}

std::string trusted_digests_path() {
  return program_data_directory() + "\\VORN\\ClientService\\" +
         kTrustedDigestsName;
}

TrustedDigestsFile read_trusted_digests(const FileIdentity& unchanged,
                                        std::string& bytes,
                                        FileIdentity& identity,
                                        std::string& problem) {
  bytes.clear();
  problem.clear();
  const std::string path = trusted_digests_path();
  const LocalMemory protective = protective_descriptor();
  if (!protective) return untrusted(problem, path + ": cannot be checked");
  const TrustedAccounts accounts;
  std::list<win32::UniqueHandle> held;
  std::string folder;
  bool missing = false;
  std::string why;
  // The log's levels, checked the same way but never made here.
  if (!open_log_directories(program_data_directory(), {"VORN", "ClientService"},
                            protective.get(), accounts, held, folder, false,
                            &missing, &why)) {
    if (missing) return TrustedDigestsFile::absent;
    return untrusted(problem, why);
  }
  // Wine shows a Unix symbolic link as a reparse point only by path.
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES &&
      (GetLastError() == ERROR_FILE_NOT_FOUND ||
       GetLastError() == ERROR_PATH_NOT_FOUND)) {
    return TrustedDigestsFile::absent;
  }
  if (attributes != INVALID_FILE_ATTRIBUTES && !plain_file(attributes)) {
    return untrusted(problem, path + ": not a plain file");
  }
  // Anonymous, so a name that leads to a pipe server learns nothing of the
  // service; a reparse point is opened as itself, never followed.
  const win32::UniqueHandle file(CreateFileA(
      path.c_str(), GENERIC_READ | READ_CONTROL,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | SECURITY_SQOS_PRESENT | SECURITY_ANONYMOUS,
      nullptr));
  if (!file.valid()) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return TrustedDigestsFile::absent;
    return untrusted(problem, path + ": cannot be opened (error " +
                                  std::to_string(error) + ")");
  }
  return read_checked(file.get(), path, accounts, unchanged, bytes, identity,
                      problem);
}

}  // namespace vorn::os
