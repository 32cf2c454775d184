// The Win32 side of the service log: where ProgramData is, directories, the
// local time, appending to a shared file.
#include <windows.h>

#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_handle.h"

namespace vorn::os {

namespace {

constexpr char kFallbackProgramData[] = "C:\\ProgramData";
constexpr DWORD kFirstBufferChars = 260;

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

void create_directory(const std::string& path) {
  // Usually fails because the directory exists; the log's open tells the rest.
  CreateDirectoryA(path.c_str(), nullptr);
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

bool append_to_file(const std::string& path, const std::string& bytes) {
  // FILE_APPEND_DATA alone: every write lands at the current end of the file,
  // also when another process appends at the same time. No sharing is denied,
  // so readers, other writers and deleters are never locked out.
  win32::UniqueHandle file(
      CreateFileA(path.c_str(), FILE_APPEND_DATA,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  // The caller already ends the line in CR LF, so these are the bytes a
  // text-mode write of the line would store.
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const DWORD piece =
        left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left);
    DWORD written = 0;
    // A failed write (disk full) is not reported: the line may be partial.
    if (!WriteFile(file.get(), data, piece, &written, nullptr) ||
        written == 0) {
      break;
    }
    data += written;
    left -= written;
  }
  return true;
}

}  // namespace vorn::os
