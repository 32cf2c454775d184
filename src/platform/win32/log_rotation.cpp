// Renaming the service log's files when it rotates (see log_rotation.h).
//
// The files are renamed and deleted through handles that opened them as
// themselves and were checked, never by a name resolved again: a link
// planted as service.log.N (the folder is protected, but may hold what was
// planted before it was) is neither followed nor removed.
#include "platform/win32/log_rotation.h"

// windows.h first (through the header): this needs its types.
#include <aclapi.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/win32/win32_handle.h"

namespace vorn::os::win32 {

namespace {

// FILE_RENAME_INFORMATION and NtSetInformationFile, which take the new name
// as the native path "\??\C:\...", exactly as MoveFileEx hands it on.
struct RenameInformation {
  BOOLEAN replace_if_exists;
  HANDLE root_directory;
  ULONG file_name_length;
  WCHAR file_name[1];
};
struct IoStatus {
  void* status;
  ULONG_PTR information;
};
using SetInformationFile = LONG(NTAPI*)(HANDLE, IoStatus*, void*, ULONG, int);
constexpr int kFileRenameInformation = 10;

SetInformationFile set_information_file() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const FARPROC found = ntdll != nullptr
                            ? GetProcAddress(ntdll, "NtSetInformationFile")
                            : nullptr;
  // The plain void (*)() in between is the sanctioned way to change
  // function pointer types.
  return reinterpret_cast<SetInformationFile>(
      reinterpret_cast<void (*)()>(found));
}

std::wstring widen(const std::string& text) {
  const int length = MultiByteToWideChar(
      CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                      &wide[0], length);
  return wide;
}

// Gives the file `file` opened with DELETE the name `path`, which must not
// exist; the file is never looked up by its old name.
Error rename_open_file(HANDLE file, const std::string& path) {
  static const SetInformationFile set_information = set_information_file();
  const std::wstring native = L"\\??\\" + widen(path);
  const std::size_t bytes = native.size() * sizeof(WCHAR);
  std::vector<ULONGLONG> buffer(
      (offsetof(RenameInformation, file_name) + bytes) / sizeof(ULONGLONG) + 1);
  auto* rename = reinterpret_cast<RenameInformation*>(buffer.data());
  rename->replace_if_exists = FALSE;
  rename->root_directory = nullptr;
  rename->file_name_length = static_cast<ULONG>(bytes);
  std::memcpy(rename->file_name, native.data(), bytes);
  IoStatus status{};
  const LONG result =
      set_information == nullptr
          ? -1
          : set_information(
                file, &status, rename,
                static_cast<ULONG>(buffer.size() * sizeof(ULONGLONG)),
                kFileRenameInformation);
  if (result >= 0) return Error();
  char status_text[16] = {};
  std::snprintf(status_text, sizeof status_text, "0x%08lX",
                static_cast<unsigned long>(result));
  return Error(Errc::other,
               path + " cannot be made (NTSTATUS " + status_text + ")");
}

std::string numbered(const std::string& name, int number) {
  return number == 0 ? name : name + "." + std::to_string(number);
}

}  // namespace

Error log_file_distrust(HANDLE file, const std::string& path,
                        const TrustedAccounts& accounts) {
  // Wine shows a Unix symbolic link as a reparse point only by path (its
  // handle opens the target); on Windows the handle tells as well.
  const DWORD by_path = GetFileAttributesA(path.c_str());
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(file, &information) ||
      by_path == INVALID_FILE_ATTRIBUTES ||
      ((information.dwFileAttributes | by_path) &
       (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return Error(Errc::untrusted, path + " is not a plain file");
  }
  if (information.nNumberOfLinks != 1) {
    return Error(Errc::untrusted, path + " has another name (a hard link)");
  }
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                      nullptr, nullptr, nullptr, &raw) != ERROR_SUCCESS) {
    return Error(Errc::untrusted, path + ": its owner cannot be read");
  }
  const LocalMemory descriptor(raw);
  if (!accounts.may_own(owner)) {
    return Error(Errc::untrusted, path + " is owned by an untrusted account");
  }
  return Error();
}

Error rotate_log_files(const std::string& folder, const std::string& name,
                       int kept, const TrustedAccounts& accounts) {
  // Every file of the series is opened and checked first: all or nothing.
  std::vector<UniqueHandle> files;
  for (int number = 0; number <= kept; ++number) {
    const std::string path = folder + '\\' + numbered(name, number);
    files.emplace_back(CreateFileA(
        path.c_str(), DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!files.back().valid()) {
      Error failure = last_system_error();
      // A gap in the series (deleted by hand) is no reason to stop.
      if (failure.native() == ERROR_FILE_NOT_FOUND) continue;
      return std::move(failure).context(path +
                                        " cannot be opened to be renamed");
    }
    if (Error distrust =
            log_file_distrust(files.back().get(), path, accounts)) {
      return distrust;
    }
  }
  // The oldest goes, through its own handle.
  if (files[kept].valid()) {
    FILE_DISPOSITION_INFO dispose{};
    dispose.DeleteFile = TRUE;
    if (!SetFileInformationByHandle(files[kept].get(), FileDispositionInfo,
                                    &dispose, sizeof dispose)) {
      return last_system_error().context(folder + '\\' + numbered(name, kept) +
                                         " cannot be deleted");
    }
    files[kept] = UniqueHandle();
  }
  for (int number = kept - 1; number >= 0; --number) {
    if (!files[number].valid()) continue;
    if (Error failure = rename_open_file(
            files[number].get(), folder + '\\' + numbered(name, number + 1))) {
      return failure;
    }
  }
  return Error();
}

}  // namespace vorn::os::win32
