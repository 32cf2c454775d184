#include "integrity/digest_policy.h"

#include <mutex>

#include "log/diagnostics.h"
#include "platform/system.h"
#include "protocol/message_fields.h"

namespace vorn {

namespace {

struct PolicyCache {
  std::mutex mutex;
  DigestPolicyRef policy;
  // The version `policy` was read from; unknown unless it came from a file.
  os::FileIdentity identity;
};

PolicyCache& cache() {
  static PolicyCache instance;
  return instance;
}

DigestPolicyRef make_policy(DigestPolicy::Kind kind, TrustedDigests list,
                            std::string problem) {
  auto policy = std::make_shared<DigestPolicy>();
  policy->kind = kind;
  policy->list = std::move(list);
  policy->problem = std::move(problem);
  return policy;
}

DiagnosticLevel level_of(const DigestPolicy& policy) {
  switch (policy.kind) {
    case DigestPolicy::Kind::no_list:
      return DiagnosticLevel::notice;
    case DigestPolicy::Kind::listed:
      return DiagnosticLevel::info;
    case DigestPolicy::Kind::broken:
      break;
  }
  return DiagnosticLevel::error;
}

// Tells the operator what changed, once per change; the first state is told
// with the start.
void report_change(const DigestPolicyRef& before, const DigestPolicy& now) {
  if (!before || (before->kind == now.kind && before->problem == now.problem &&
                  now.kind != DigestPolicy::Kind::listed)) {
    return;
  }
  diagnose(level_of(now), describe(now));
}

}  // namespace

std::string describe(const DigestPolicy& policy) {
  switch (policy.kind) {
    case DigestPolicy::Kind::no_list:
      return "trusted digests: no list at " + os::trusted_digests_path() +
             "; every build is accepted";
    case DigestPolicy::Kind::listed:
      return "trusted digests: " + os::trusted_digests_path() + " read, " +
             format_decimal_u32(
                 static_cast<std::uint32_t>(policy.list.digests.size())) +
             " values" +
             (policy.list.publishers.empty()
                  ? std::string()
                  : ", " +
                        format_decimal_u32(static_cast<std::uint32_t>(
                            policy.list.publishers.size())) +
                        " publishers") +
             (policy.list.encoding != ListEncoding::utf8
                  ? std::string(" (") + encoding_name(policy.list.encoding) +
                        ")"
                  : "") +
             (policy.list.strict_code
                  ? "; strict code: every other file a client runs code "
                    "from must be a system file or listed"
                  : "");
    case DigestPolicy::Kind::broken:
      break;
  }
  return "trusted digests: " + policy.problem +
         "; every new session is refused until it is mended";
}

bool DigestPolicy::admits(const std::string& evidence,
                          const std::vector<os::Signer>& signers) const {
  switch (kind) {
    case Kind::no_list:
      return true;
    case Kind::listed:
      return list.lists(evidence) || list.lists_any(signers);
    case Kind::broken:
      break;
  }
  return false;
}

DigestPolicyRef current_digest_policy() {
  PolicyCache& state = cache();
  const std::lock_guard<std::mutex> lock(state.mutex);
  std::string bytes;
  os::Error problem;
  os::FileIdentity identity;
  DigestPolicyRef next;
  switch (os::read_trusted_digests(state.identity, bytes, identity, problem)) {
    case os::TrustedDigestsFile::unchanged:
      return state.policy;
    case os::TrustedDigestsFile::absent:
      if (state.policy && state.policy->kind == DigestPolicy::Kind::no_list) {
        return state.policy;
      }
      next = make_policy(DigestPolicy::Kind::no_list, {}, {});
      identity = os::FileIdentity();
      break;
    case os::TrustedDigestsFile::untrusted:
      next = make_policy(DigestPolicy::Kind::broken, {}, problem.words());
      identity = os::FileIdentity();
      break;
    case os::TrustedDigestsFile::read: {
      TrustedDigests list;
      std::size_t bad_line = 0;
      if (parse_trusted_digests(bytes, list, bad_line)) {
        next = make_policy(DigestPolicy::Kind::listed, std::move(list), {});
      } else {
        next = make_policy(
            DigestPolicy::Kind::broken, {},
            os::trusted_digests_path() +
                (bad_line == kNotUtf16
                     ? std::string(": not UTF-16, though it starts with the "
                                   "UTF-16 byte order mark")
                     : ": line " +
                           format_decimal_u32(
                               static_cast<std::uint32_t>(bad_line)) +
                           " is not a digest, a comment or blank"));
      }
      break;
    }
  }
  report_change(state.policy, *next);
  state.policy = next;
  state.identity = identity;
  return next;
}

}  // namespace vorn
