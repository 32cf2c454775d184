// The evidence of one start: computed at its first attempt that reaches the
// service and reused by that start's reconnects, so a reconnect hashes
// nothing. Values the service refuses may be stale (the player's cache, or a
// file replaced since they were computed); they are computed again from the
// files, once.
#pragma once

#include <functional>
#include <string>

namespace vorn::guard {

struct EvidencePair {
  std::string executable;
  std::string module;
};

// Computes both values; `use_cache` lets them come from the player's cache,
// and `cached` then tells whether one did. False when they cannot be had.
using EvidenceSource =
    std::function<bool(bool use_cache, EvidencePair& values, bool& cached)>;

struct StartEvidence {
  EvidencePair values;
  bool held = false;
  // The held values were hashed from the files for the attempt at hand, so
  // a refusal of them stands.
  bool hashed_now = false;
  // The next computation skips the cache.
  bool files_only = false;
};

// The values for the next attempt: the held ones, else computed and held.
bool evidence_for_attempt(StartEvidence& evidence, const EvidenceSource& source,
                          EvidencePair& values);

// After the service refused the values with ERR|INTEGRITY: true when they
// may be stale and are dropped, so the next attempt hashes the files; false
// when they were just hashed from the files and the refusal stands.
bool drop_refused_evidence(StartEvidence& evidence);

}  // namespace vorn::guard
