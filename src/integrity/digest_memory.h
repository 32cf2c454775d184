// The digests the service has verified, kept by file version, so that a
// launch of an unchanged game costs an open and a stat instead of a hash.
// Only versions whose identity proves their bytes are kept (see
// os::FileIdentity::stamped); in memory only, bounded, and forgotten when
// the trusted-digest list changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <tuple>
#include <vector>

#include "integrity/digest_policy.h"
#include "platform/system.h"

namespace vorn {

class DigestMemory {
 public:
  static constexpr std::size_t kCapacity = 256;

  // Fills `digest` and `signers` for a remembered version.
  bool recall(const os::FileIdentity& identity, std::uint8_t (&digest)[32],
              std::vector<os::Signer>& signers);
  // Keeps a stamped version's digest for as long as `mark` (taken on the
  // verified file, see os::mark_file_version) stays intact, forgetting the
  // longest unused one when full. Takes over the mark.
  void remember(const os::FileIdentity& identity,
                const std::uint8_t (&digest)[32],
                const std::vector<os::Signer>& signers, std::uint64_t mark);
  // Forgets everything when `policy` is not the one last seen.
  void follow_policy(const DigestPolicyRef& policy);
  std::size_t size();

 private:
  using Key = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t,
                         std::int64_t, std::int64_t>;
  struct Entry {
    std::uint8_t digest[32];
    std::vector<os::Signer> signers;
    std::uint64_t used = 0;
    std::uint64_t mark = 0;
  };
  void forget(std::map<Key, Entry>::iterator entry);
  static Key key_of(const os::FileIdentity& identity);

  std::mutex lock_;
  std::map<Key, Entry> entries_;
  std::uint64_t uses_ = 0;
  DigestPolicyRef policy_;
};

// The service's one memory. Never destroyed: a session worker may still use
// it while the process exits.
DigestMemory& digest_memory();

// An os::DigestRecall that asks `digest_memory()`.
os::DigestRecall service_digest_recall();

}  // namespace vorn
