// GetLastError() in the tree's terms: its portable code, and the system's
// message with its number ("Access is denied (error 5)").
#include <windows.h>

#include <string>

#include "platform/error.h"

namespace vorn::os {

namespace {

// What each GetLastError() code means to a caller; anything else is
// Errc::other.
struct Translation {
  DWORD native;
  Errc code;
};
constexpr Translation kTranslations[] = {
    {ERROR_FILE_NOT_FOUND, Errc::not_found},
    {ERROR_PATH_NOT_FOUND, Errc::not_found},
    {ERROR_MOD_NOT_FOUND, Errc::not_found},
    {ERROR_INVALID_DRIVE, Errc::not_found},
    {ERROR_SERVICE_DOES_NOT_EXIST, Errc::not_found},
    {ERROR_ACCESS_DENIED, Errc::access_denied},
    {ERROR_PRIVILEGE_NOT_HELD, Errc::access_denied},
    {ERROR_WRITE_PROTECT, Errc::access_denied},
    {ERROR_ALREADY_EXISTS, Errc::already_exists},
    {ERROR_FILE_EXISTS, Errc::already_exists},
    {ERROR_PIPE_BUSY, Errc::busy},
    {ERROR_SHARING_VIOLATION, Errc::busy},
    {ERROR_LOCK_VIOLATION, Errc::busy},
    {ERROR_BUSY, Errc::busy},
    {ERROR_IO_PENDING, Errc::would_block},
    {WAIT_TIMEOUT, Errc::timed_out},
    {ERROR_SEM_TIMEOUT, Errc::timed_out},
    {ERROR_TIMEOUT, Errc::timed_out},
    {ERROR_BROKEN_PIPE, Errc::broken_connection},
    {ERROR_PIPE_NOT_CONNECTED, Errc::broken_connection},
    {ERROR_NO_DATA, Errc::broken_connection},
    {ERROR_MORE_DATA, Errc::too_large},
    {ERROR_INSUFFICIENT_BUFFER, Errc::too_large},
    {ERROR_BUFFER_OVERFLOW, Errc::too_large},
    {ERROR_FILE_TOO_LARGE, Errc::too_large},
    {ERROR_FILENAME_EXCED_RANGE, Errc::too_large},
    {ERROR_INVALID_PARAMETER, Errc::invalid},
    {ERROR_INVALID_HANDLE, Errc::invalid},
    {ERROR_INVALID_NAME, Errc::invalid},
    {ERROR_BAD_PATHNAME, Errc::invalid},
    {ERROR_DIRECTORY, Errc::invalid},
    {ERROR_NOT_ENOUGH_MEMORY, Errc::no_resources},
    {ERROR_OUTOFMEMORY, Errc::no_resources},
    {ERROR_TOO_MANY_OPEN_FILES, Errc::no_resources},
    {ERROR_NO_SYSTEM_RESOURCES, Errc::no_resources},
    {ERROR_DISK_FULL, Errc::no_resources},
    {ERROR_HANDLE_DISK_FULL, Errc::no_resources},
    {ERROR_NOT_SUPPORTED, Errc::unsupported},
    {ERROR_CALL_NOT_IMPLEMENTED, Errc::unsupported},
    {ERROR_INVALID_FUNCTION, Errc::unsupported},
};

Errc portable_code(DWORD native) {
  for (const Translation& translation : kTranslations) {
    if (translation.native == native) return translation.code;
  }
  return Errc::other;
}

// FormatMessage's text without its line end and final full stop, followed
// by the number; the number alone where the system has no text.
std::string system_words(DWORD native) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, native, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string result = "error " + std::to_string(native);
  if (length > 0 && text != nullptr) {
    std::string words(text, length);
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' ||
                              words.back() == ' ' || words.back() == '.')) {
      words.pop_back();
    }
    result = words + " (" + result + ")";
  }
  LocalFree(text);
  return result;
}

}  // namespace

Error system_error(std::uint32_t native) {
  return Error(portable_code(native), system_words(native), native);
}

Error last_system_error() { return system_error(GetLastError()); }

}  // namespace vorn::os
