// Hashing an open file, shared by the integrity check's inspection and the
// client side's own evidence. A file of its own, so a program that only
// hashes (the guard module) links nothing of the inspection.
#pragma once

#include <windows.h>
// Needs the definitions of windows.h.
#include <bcrypt.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/system.h"

namespace vorn::os::win32 {

// A CNG SHA-256 in progress: the algorithm provider, the hash object and the
// memory the hash object lives in, released in the right order on every path.
class Sha256Hasher {
 public:
  Sha256Hasher();
  ~Sha256Hasher();
  Sha256Hasher(const Sha256Hasher&) = delete;
  Sha256Hasher& operator=(const Sha256Hasher&) = delete;

  bool ready() const { return hash_ != nullptr; }
  bool add(const void* data, std::size_t size);
  bool finish(std::uint8_t (&digest)[32]);

 private:
  BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  BCRYPT_HASH_HANDLE hash_ = nullptr;
  std::vector<UCHAR> object_;
};

// SHA-256 of an open file from where it stands to its end, in 64 KiB chunks,
// asking `keep_going` (when given) every megabyte.
ExamineOutcome hash_open_file(HANDLE file, KeepGoing keep_going, void* context,
                              std::uint8_t (&digest)[32]);

}  // namespace vorn::os::win32
