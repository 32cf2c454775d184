#include "integrity/digest_memory.h"

#include <algorithm>
#include <cstring>

namespace vorn {

DigestMemory::Key DigestMemory::key_of(const os::FileIdentity& identity) {
  return Key(identity.device, identity.inode, identity.size,
             identity.modified_ns, identity.changed_ns);
}

void DigestMemory::forget(std::map<Key, Entry>::iterator entry) {
  os::drop_file_version_mark(entry->second.mark);
  entries_.erase(entry);
}

bool DigestMemory::recall(const os::FileIdentity& identity,
                          std::uint8_t (&digest)[32],
                          std::vector<os::Signer>& signers) {
  if (!identity.known || !identity.stamped) return false;
  const std::lock_guard<std::mutex> guard(lock_);
  const auto found = entries_.find(key_of(identity));
  if (found == entries_.end()) return false;
  if (!os::file_version_mark_intact(found->second.mark)) {
    forget(found);
    return false;
  }
  found->second.used = ++uses_;
  std::memcpy(digest, found->second.digest, sizeof digest);
  signers = found->second.signers;
  return true;
}

void DigestMemory::remember(const os::FileIdentity& identity,
                            const std::uint8_t (&digest)[32],
                            const std::vector<os::Signer>& signers,
                            std::uint64_t mark) {
  if (!identity.known || !identity.stamped || mark == 0) {
    os::drop_file_version_mark(mark);
    return;
  }
  const std::lock_guard<std::mutex> guard(lock_);
  const auto same = entries_.find(key_of(identity));
  if (same != entries_.end()) {
    forget(same);
  } else if (entries_.size() >= kCapacity) {
    forget(std::min_element(entries_.begin(), entries_.end(),
                            [](const auto& a, const auto& b) {
                              return a.second.used < b.second.used;
                            }));
  }
  Entry& entry = entries_[key_of(identity)];
  std::memcpy(entry.digest, digest, sizeof digest);
  entry.signers = signers;
  entry.used = ++uses_;
  entry.mark = mark;
}

void DigestMemory::follow_policy(const DigestPolicyRef& policy) {
  const std::lock_guard<std::mutex> guard(lock_);
  if (policy == policy_) return;
  policy_ = policy;
  while (!entries_.empty()) forget(entries_.begin());
}

std::size_t DigestMemory::size() {
  const std::lock_guard<std::mutex> guard(lock_);
  return entries_.size();
}

DigestMemory& digest_memory() {
  static DigestMemory* const memory = new DigestMemory();
  return *memory;
}

os::DigestRecall service_digest_recall() {
  return {[](void*, const os::FileIdentity& identity, std::uint8_t(&digest)[32],
             std::vector<os::Signer>& signers) {
            return digest_memory().recall(identity, digest, signers);
          },
          nullptr};
}

}  // namespace vorn
