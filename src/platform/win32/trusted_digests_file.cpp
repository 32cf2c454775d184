// The Win32 side of the trusted-digest list: where it is (beside the log,
// in the same protected folder, checked the same way), and reading it only
// when nobody but SYSTEM and Administrators can have written it.
#include <windows.h>

#include <cstdint>
#include <list>
#include <string>
#include <utility>

#include "platform/system.h"
#include "platform/win32/file_security.h"
#include "platform/win32/log_directories.h"
#include "platform/win32/win32_handle.h"

namespace vorn::os {

namespace {

using win32::LocalMemory;
using win32::open_log_directories;
using win32::plain_file;
using win32::Protection;
using win32::protective_descriptor;
using win32::TrustedAccounts;

constexpr char kTrustedDigestsName[] = "trusted-digests.txt";

TrustedDigestsFile untrusted(Error& problem, Error why) {
  problem = std::move(why);
  return TrustedDigestsFile::untrusted;
}

TrustedDigestsFile untrusted(Error& problem, const std::string& words) {
  return untrusted(problem, Error(Errc::untrusted, words));
}

std::int64_t filetime_value(const LARGE_INTEGER& time) {
  return static_cast<std::int64_t>(time.QuadPart);
}

// Checks the opened list and reads it unless `unchanged` names its version.
TrustedDigestsFile read_checked(HANDLE file, const std::string& path,
                                const TrustedAccounts& accounts,
                                const FileIdentity& unchanged,
                                std::string& bytes, FileIdentity& identity,
                                Error& problem) {
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

std::string trusted_digests_path() {
  return program_data_directory() + "\\VORN\\ClientService\\" +
         kTrustedDigestsName;
}

TrustedDigestsFile read_trusted_digests(const FileIdentity& unchanged,
                                        std::string& bytes,
                                        FileIdentity& identity,
                                        Error& problem) {
  bytes.clear();
  problem = Error();
  const std::string path = trusted_digests_path();
  const LocalMemory protective = protective_descriptor();
  if (!protective) return untrusted(problem, path + ": cannot be checked");
  const TrustedAccounts accounts;
  std::list<win32::UniqueHandle> held;
  std::string folder;
  bool missing = false;
  // The log's levels, checked the same way but never made here.
  if (Error why = open_log_directories(
          program_data_directory(), {"VORN", "ClientService"}, protective.get(),
          accounts, held, folder, false, &missing)) {
    if (missing) return TrustedDigestsFile::absent;
    return untrusted(problem, std::move(why));
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
