// SHA-256 of files with CNG (BCrypt).
#include "platform/win32/file_hash.h"

#include <windows.h>
// Needs the definitions of windows.h.
#include <bcrypt.h>

#include <cstddef>
#include <vector>

#include "platform/win32/win32_handle.h"

namespace vorn::os {

namespace {

constexpr DWORD kHashReadBytes = 64 * 1024;
constexpr std::size_t kChunksBetweenChecks = 16;

}  // namespace

namespace win32 {

Sha256Hasher::Sha256Hasher() {
  if (BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_SHA256_ALGORITHM, nullptr,
                                  0) != 0) {
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
  if (BCryptCreateHash(algorithm_, &hash_, object_.data(), object_size, nullptr,
                       0, 0) != 0) {
    hash_ = nullptr;
  }
}

Sha256Hasher::~Sha256Hasher() {
  if (hash_ != nullptr) BCryptDestroyHash(hash_);
  if (algorithm_ != nullptr) BCryptCloseAlgorithmProvider(algorithm_, 0);
}

bool Sha256Hasher::add(const void* data, std::size_t size) {
  // BCryptHashData takes a ULONG; larger inputs go in pieces.
  const UCHAR* bytes = static_cast<const UCHAR*>(data);
  while (size > 0) {
    const ULONG piece =
        size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
    if (BCryptHashData(hash_, const_cast<PUCHAR>(bytes), piece, 0) != 0) {
      return false;
    }
    bytes += piece;
    size -= piece;
  }
  return true;
}

bool Sha256Hasher::finish(std::uint8_t (&digest)[32]) {
  return BCryptFinishHash(hash_, digest, sizeof digest, 0) == 0;
}

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

bool file_version(const std::string& path, FileIdentity& identity) {
  win32::UniqueHandle file(
      CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  FILE_BASIC_INFO times{};
  if (!file.valid() || !GetFileInformationByHandle(file.get(), &info) ||
      !GetFileInformationByHandleEx(file.get(), FileBasicInfo, &times,
                                    sizeof times)) {
    return false;
  }
  identity = FileIdentity();
  identity.known = true;
  identity.device = info.dwVolumeSerialNumber;
  identity.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) |
                   info.nFileIndexLow;
  identity.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
                  info.nFileSizeLow;
  identity.modified_ns = times.LastWriteTime.QuadPart;
  identity.changed_ns = times.ChangeTime.QuadPart;
  return true;
}

}  // namespace vorn::os
