// Which client files the service accepts: any (no list), those whose
// evidence the operator's trusted-digest list names or that a publisher it
// names signed, or none (a list that cannot be trusted, until it is mended).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "integrity/trusted_digests.h"

namespace vorn {

struct DigestPolicy {
  enum class Kind { no_list, listed, broken };
  Kind kind = Kind::no_list;
  TrustedDigests list;
  std::string problem;  // why a broken list cannot be used

  // One file: its evidence is listed, or one of its signers is.
  bool admits(const std::string& evidence,
              const std::vector<os::Signer>& signers) const;
};

using DigestPolicyRef = std::shared_ptr<const DigestPolicy>;

// The policy in words, for the operator.
std::string describe(const DigestPolicy& policy);

// The policy as the list stands now. Every call looks at the file (cheaply:
// its checks and identity); it is read again only when it changed, was added
// or removed. A change of state goes to the operator's diagnostic output.
// Safe from any thread.
DigestPolicyRef current_digest_policy();

}  // namespace vorn
