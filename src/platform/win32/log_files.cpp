// The Win32 side of the service log: where ProgramData is, the log's file
// below its protected folders (log_directories.cpp), the local time.
#include <windows.h>

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "platform/system.h"
#include "platform/win32/file_security.h"
#include "platform/win32/log_directories.h"
#include "platform/win32/log_rotation.h"
#include "platform/win32/win32_handle.h"

namespace vorn::os {

namespace {

using win32::LocalMemory;
using win32::open_log_directories;
using win32::plain_name;
using win32::protective_descriptor;
using win32::TrustedAccounts;

constexpr char kFallbackProgramData[] = "C:\\ProgramData";
constexpr DWORD kFirstBufferChars = 260;

// Opens the file without following a reparse point, to append, unless it is
// not a plain file, has a second name (a hard link made by someone who wants
// the lines elsewhere) or an untrusted owner. Empty, with `problem` saying
// why, when it cannot be appended to.
win32::UniqueHandle open_checked(const std::string& path,
                                 const TrustedAccounts& accounts,
                                 Error& problem) {
  // FILE_APPEND_DATA alone: every write lands at the current end of the file,
  // also when another process appends at the same time. No sharing is denied,
  // so readers, other writers and deleters are never locked out.
  win32::UniqueHandle file(CreateFileA(
      path.c_str(), FILE_APPEND_DATA | READ_CONTROL,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr));
  if (!file.valid()) {
    problem = last_system_error().context(path);
    return file;
  }
  problem = win32::log_file_distrust(file.get(), path, accounts);
  if (problem) return win32::UniqueHandle();
  return file;
}

// Appends to the checked file `file_name` in `folder`, after rotating it
// when it has reached `rotate_bytes` and `rotate` allows (the folder is a
// level held by the caller). Fails when not all was written; `rotation`
// names a rotation that was due but refused.
Error append_checked(const std::string& folder, const std::string& file_name,
                     const std::string& bytes, bool rotate,
                     std::uint64_t rotate_bytes, int kept,
                     const TrustedAccounts& accounts, Error& rotation) {
  const std::string path = folder + '\\' + file_name;
  Error problem;
  win32::UniqueHandle file = open_checked(path, accounts, problem);
  if (!file.valid()) return problem;
  LARGE_INTEGER size{};
  if (rotate && GetFileSizeEx(file.get(), &size) &&
      static_cast<std::uint64_t>(size.QuadPart) >= rotate_bytes) {
    // Between two lines, under the log's lock: the next line starts the new
    // file, whole.
    file = win32::UniqueHandle();
    rotation = win32::rotate_log_files(folder, file_name, kept, accounts);
    file = open_checked(path, accounts, problem);
    if (!file.valid()) return problem;
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
      return last_system_error().context(path);
    }
    if (written == 0) return Error(Errc::other, path + ": nothing written");
    data += written;
    left -= written;
  }
  return Error();
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
  return !open_log_directories(base, levels, protective.get(), accounts, held,
                               path);
}

Error append_to_log_file(const std::string& base,
                         const std::vector<std::string>& levels,
                         const std::string& file_name, const std::string& bytes,
                         Error& rotation) {
  return win32::append_to_rotating_log(base, levels, file_name, bytes,
                                       win32::kLogRotateBytes, win32::kLogsKept,
                                       rotation);
}

Error win32::append_to_rotating_log(const std::string& base,
                                    const std::vector<std::string>& levels,
                                    const std::string& file_name,
                                    const std::string& bytes,
                                    std::uint64_t rotate_bytes, int kept,
                                    Error& rotation) {
  rotation = Error();
  const LocalMemory protective = protective_descriptor();
  if (!protective || !plain_name(file_name)) {
    return Error(Errc::other, "the log's protection cannot be made");
  }
  const TrustedAccounts accounts;
  std::list<win32::UniqueHandle> held;
  std::string path;
  if (Error failure = open_log_directories(base, levels, protective.get(),
                                           accounts, held, path)) {
    return failure;
  }
  // Rotated only inside a level held here, never in `base` itself.
  return append_checked(path, file_name, bytes, !levels.empty(), rotate_bytes,
                        kept, accounts, rotation);
}

}  // namespace vorn::os
