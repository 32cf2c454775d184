// What the integrity check learns about a client process, and file hashes.
#include <windows.h>
// These need the definitions of windows.h.
#include <bcrypt.h>
#include <psapi.h>

#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_handle.h"

namespace vorn::os {

namespace {

constexpr char kGuardModuleName[] = "vorn_guard.dll";
constexpr DWORD kLongestPath = 32768;
constexpr DWORD kHashReadBytes = 64 * 1024;

char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Fixed ASCII folding, independent of any locale or code page.
bool equals_ascii_case_insensitive(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return i == a.size() && b[i] == '\0';
}

std::string file_name_of(const std::string& path) {
  const std::size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool module_file_name(HANDLE process, HMODULE module, std::string& path) {
  for (DWORD size = MAX_PATH; size <= kLongestPath; size *= 2) {
    std::vector<char> buffer(size);
    const DWORD length =
        GetModuleFileNameExA(process, module, buffer.data(), size);
    if (length == 0) return false;
    // A name that filled the buffer may have been cut short.
    if (length < size - 1) {
      path.assign(buffer.data(), length);
      return true;
    }
  }
  return false;
}

// Every module of the process, 32- and 64-bit alike. The list may change
// between calls, so it is asked for again until the array was big enough.
bool list_modules(HANDLE process, std::vector<HMODULE>& modules) {
  modules.assign(256, nullptr);
  for (;;) {
    const DWORD offered = static_cast<DWORD>(modules.size() * sizeof(HMODULE));
    DWORD needed = 0;
    if (!EnumProcessModulesEx(process, modules.data(), offered, &needed,
                              LIST_MODULES_ALL)) {
      return false;
    }
    if (needed <= offered) {
      modules.resize(needed / sizeof(HMODULE));
      return true;
    }
    modules.assign(needed / sizeof(HMODULE) + 16, nullptr);
  }
}

// A CNG algorithm provider, hash object and the memory the hash object lives
// in, released in the right order on every path.
class Sha256Hasher {
 public:
  Sha256Hasher() {
    if (BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_SHA256_ALGORITHM,
                                    nullptr, 0) != 0) {
      algorithm_ = nullptr;
      return;
    }
    DWORD object_size = 0;
    ULONG copied = 0;
    if (BCryptGetProperty(algorithm_, BCRYPT_OBJECT_LENGTH,
                          reinterpret_cast<PUCHAR>(&object_size),
                          sizeof object_size, &copied, 0) != 0) {
      return;
    }
    object_.resize(object_size);
    if (BCryptCreateHash(algorithm_, &hash_, object_.data(), object_size,
                         nullptr, 0, 0) != 0) {
      hash_ = nullptr;
    }
  }
  ~Sha256Hasher() {
    if (hash_ != nullptr) BCryptDestroyHash(hash_);
    if (algorithm_ != nullptr) BCryptCloseAlgorithmProvider(algorithm_, 0);
  }
  Sha256Hasher(const Sha256Hasher&) = delete;
  Sha256Hasher& operator=(const Sha256Hasher&) = delete;

  bool ready() const { return hash_ != nullptr; }
  bool add(const char* data, DWORD size) {
    return BCryptHashData(hash_,
                          reinterpret_cast<PUCHAR>(const_cast<char*>(data)),
                          size, 0) == 0;
  }
  bool finish(std::uint8_t (&digest)[32]) {
    return BCryptFinishHash(hash_, digest, sizeof digest, 0) == 0;
  }

 private:
  BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  BCRYPT_HASH_HANDLE hash_ = nullptr;
  std::vector<UCHAR> object_;
};

}  // namespace

bool process_image_path(ProcessId pid, std::string& path) {
  win32::UniqueHandle process(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process.valid()) return false;
  for (DWORD size = MAX_PATH; size <= kLongestPath; size *= 2) {
    std::vector<char> buffer(size);
    DWORD length = size;
    if (QueryFullProcessImageNameA(process.get(), 0, buffer.data(), &length)) {
      path.assign(buffer.data(), length);
      return true;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
  }
  return false;
}

ModuleLookup process_guard_module_path(ProcessId pid, std::string& path) {
  win32::UniqueHandle process(
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
  if (!process.valid()) return ModuleLookup::inaccessible;
  std::vector<HMODULE> modules;
  if (!list_modules(process.get(), modules)) return ModuleLookup::inaccessible;
  for (HMODULE module : modules) {
    std::string module_path;
    // A module unloaded since the listing has no name any more; skip it.
    if (!module_file_name(process.get(), module, module_path)) continue;
    if (equals_ascii_case_insensitive(file_name_of(module_path),
                                      kGuardModuleName)) {
      path = module_path;
      return ModuleLookup::found;
    }
  }
  return ModuleLookup::not_loaded;
}

bool sha256_file(const std::string& path, std::uint8_t (&digest)[32]) {
  // Shared like the loader shares a module it has mapped, so a loaded DLL
  // can be read.
  win32::UniqueHandle file(
      CreateFileA(path.c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.valid()) return false;
  Sha256Hasher hasher;
  if (!hasher.ready()) return false;
  std::vector<char> buffer(kHashReadBytes);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer.data(), kHashReadBytes, &read, nullptr)) {
      return false;
    }
    if (read == 0) break;  // end of file
    if (!hasher.add(buffer.data(), read)) return false;
  }
  return hasher.finish(digest);
}

// Not filled on Windows: size, last-write time and the file index survive an
// in-place rewrite that restores the timestamps, and even the change time is
// writable through SetFileInformationByHandle(FileBasicInfo). No cheap
// identity is therefore sound, so the caller hashes the file every time.
FileIdentity file_identity(const std::string& /*path*/) { return {}; }

}  // namespace vorn::os
