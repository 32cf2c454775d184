// One user's share of the service's hashing: one file at a time, and each
// launch waits, before its first file, until the hashes before it are paid
// off at kHashBytesPerSecond (protocol/rules.h), so one user cannot keep the
// service hashing for it. An honest launch hashes once and never waits; the
// largest executable (4 GiB) is paid off in 32 s. Re-checks never wait: where a
// file must be hashed again at each (a file system whose times do not prove its
// bytes), the hash comes at most as often as the user's share pays for it,
// for all the user's sessions together.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "protocol/rules.h"

namespace vorn {

struct HashTurn {
  // Held while one of the user's files is examined. Waited for by polling
  // (see take_hash_turn): a plain mutex, since ThreadSanitizer does not see
  // the locks of a timed one.
  std::mutex lock;
  // Bytes hashed and not yet paid off, as of `paid_at_ms`. Guarded by `lock`.
  std::int64_t debt_bytes = 0;
  std::uint64_t paid_at_ms = 0;
  // The user's sessions, among which the re-checks' hashing is shared.
  std::atomic<std::uint32_t> sessions{0};
};

}  // namespace vorn
