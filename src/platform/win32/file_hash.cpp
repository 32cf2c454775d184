// SHA-256 of files with CNG (BCrypt).
#include "platform/win32/file_hash.h"

#include <windows.h>
// Needs the definitions of windows.h.
#include <bcrypt.h>

#include <vector>

#include "platform/win32/win32_handle.h"

namespace vorn::os {

namespace {

constexpr DWORD kHashReadBytes = 64 * 1024;
constexpr std::size_t kChunksBetweenChecks = 16;

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

namespace win32 {

ExamineOutcome hash_open_file(HANDLE file, KeepGoing keep_going, void* context,
                              std::uint8_t (&digest)[32]) {
  Sha256Hasher hasher;
  if (!hasher.ready()) return ExamineOutcome::unreadable;
  std::vector<char> buffer(kHashReadBytes);
  for (std::size_t chunks = 1;; ++chunks) {
    DWORD read = 0;
    if (!ReadFile(file, buffer.data(), kHashReadBytes, &read, nullptr)) {
      return ExamineOutcome::unreadable;
    }
    if (read == 0) break;  // end of file
    if (!hasher.add(buffer.data(), read)) return ExamineOutcome::unreadable;
    // Asked every megabyte: often enough to stop within milliseconds, seldom
    // enough to cost nothing beside the hash.
    if (keep_going != nullptr && chunks % kChunksBetweenChecks == 0 &&
        !keep_going(context)) {
      return ExamineOutcome::cancelled;
    }
  }
  return hasher.finish(digest) ? ExamineOutcome::examined
                               : ExamineOutcome::unreadable;
}

}  // namespace win32

bool sha256_file(const std::string& path, std::uint8_t (&digest)[32]) {
  // Shared like the loader shares a module it has mapped, so a loaded DLL
  // can be read.
  win32::UniqueHandle file(
      CreateFileA(path.c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.valid()) return false;
  return win32::hash_open_file(file.get(), nullptr, nullptr, digest) ==
         ExamineOutcome::examined;
}

}  // namespace vorn::os
