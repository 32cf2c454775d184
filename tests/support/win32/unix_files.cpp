// Wine's Unix names of files.
#include "support/win32/unix_files.h"

#include <windows.h>

#include <cstring>
#include <vector>

namespace vorn::test {

// Wine's own export, whose answer comes from the process heap.
std::string unix_path(const std::string& path) {
  using UnixFileName = char*(__cdecl*)(const WCHAR*);
  const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  if (kernel32 == nullptr) return std::string();
  const FARPROC address = GetProcAddress(kernel32, "wine_get_unix_file_name");
  if (address == nullptr) return std::string();
  UnixFileName convert = nullptr;
  // A function pointer of another type; copied, not cast, to stay clear of
  // the compilers' function-cast warnings.
  static_assert(sizeof convert == sizeof address, "function pointer sizes");
  std::memcpy(&convert, &address, sizeof convert);

  const int length =
      MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
  if (length <= 0) return std::string();
  std::vector<WCHAR> wide(static_cast<std::size_t>(length));
  MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), length);
  char* result = convert(wide.data());
  if (result == nullptr) return std::string();
  std::string converted(result);
  HeapFree(GetProcessHeap(), 0, result);
  return converted;
}

}  // namespace vorn::test
