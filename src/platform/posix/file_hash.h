// Hashing an open file, shared by the integrity check's inspection and the
// client side's own evidence. A file of its own, so a program that only
// hashes (the guard module) links nothing of the inspection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/system.h"

namespace vorn::os::posix {

// SHA-256 of an open file from where it stands to its end, at most `limit`
// bytes (more: too_large), asking `keep_going` (when given) every megabyte.
ExamineOutcome hash_open_file(int fd, std::uint64_t limit, KeepGoing keep_going,
                              void* context, std::uint8_t (&digest)[32]);

// SHA-256 of bytes in memory, fed piece by piece.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  bool update(const void* data, std::size_t size);
  bool finish(std::uint8_t (&digest)[32]);

 private:
  void* context_;
};

}  // namespace vorn::os::posix
