// Hashing an open file, shared by the integrity check's inspection and the
// client side's own evidence. A file of its own, so a program that only
// hashes (the guard module) links nothing of the inspection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/system.h"

namespace vorn::os::posix {

// What one read of a file keeps beside its digest, for a signature appended
// to it: the digest of the bytes before `at` (counted from where the read
// starts) and at most `most` of the bytes from there on.
struct SplitRead {
  std::uint64_t at = 0;
  std::size_t most = 0;
  bool reached = false;  // the read came to `at`: `head_digest` holds
  std::uint8_t head_digest[32] = {};
  std::vector<std::uint8_t> rest;
  bool rest_whole = true;  // no more than `most` bytes followed `at`
};

// SHA-256 of an open file from where it stands to its end, at most `limit`
// bytes (more: too_large), asking `keep_going` (when given) every megabyte.
// `split` (may be null) is filled from the same read.
ExamineOutcome hash_open_file(int fd, std::uint64_t limit, KeepGoing keep_going,
                              void* context, std::uint8_t (&digest)[32],
                              SplitRead* split = nullptr);

// SHA-256 of bytes in memory, fed piece by piece.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  bool update(const void* data, std::size_t size);
  bool finish(std::uint8_t (&digest)[32]);
  // The digest of what was fed so far, which may still be fed more.
  bool finish_copy(std::uint8_t (&digest)[32]) const;

 private:
  void* context_;
};

}  // namespace vorn::os::posix
