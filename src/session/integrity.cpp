// The integrity check: the client's executable image file and its guard
// module file must hash to the values the client presented. The files are
// found by asking the OS about the client process itself, so a client cannot
// point the check at files of its choosing.
#include "session/integrity.h"

#include <cstddef>
#include <cstdint>
#include <string>

#include "session/message_fields.h"

namespace vorn {
namespace {

// Compares two evidence texts without an early exit, so the time taken does
// not tell how many leading digits matched. Lengths are not secret.
bool evidence_equals(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned>(static_cast<unsigned char>(a[i]) ^
                                        static_cast<unsigned char>(b[i]));
  }
  return difference == 0;
}

bool same_identity(const os::FileIdentity& a, const os::FileIdentity& b) {
  return a.known && b.known && a.device == b.device && a.inode == b.inode &&
         a.size == b.size && a.modified_ns == b.modified_ns &&
         a.changed_ns == b.changed_ns;
}

// Hashes `path` and compares it with `expected`. `identity` receives the
// file's identity only when it was the same before and after hashing, so a
// file that changed under the hash is never remembered as verified.
bool verify_file(const std::string& path, const std::string& expected,
                 os::FileIdentity& identity) {
  identity = os::FileIdentity{};
  const os::FileIdentity before = os::file_identity(path);
  std::string actual;
  if (!file_evidence(path, actual)) return false;
  const os::FileIdentity after = os::file_identity(path);
  if (!evidence_equals(actual, expected)) return false;
  if (same_identity(before, after)) identity = after;
  return true;
}

// The re-check of one file: an unchanged identity stands for the hash that
// was verified with it; anything else is hashed again.
bool reverify_file(const std::string& path, const std::string& expected,
                   const os::FileIdentity& recorded) {
  if (recorded.known && same_identity(os::file_identity(path), recorded)) {
    return true;
  }
  std::string actual;
  if (!file_evidence(path, actual)) return false;
  return evidence_equals(actual, expected);
}

}  // namespace

bool file_evidence(const std::string& path, std::string& hex) {
  std::uint8_t digest[32] = {};
  if (!os::sha256_file(path, digest)) return false;
  hex = digest_to_hex(digest);
  return true;
}

IntegrityOutcome integrity_check(os::ProcessId client_pid,
                                 const std::string& evidence_1,
                                 const std::string& evidence_2,
                                 std::string& client_image_path,
                                 IntegrityRecord& record) {
  std::string image_path;
  if (!os::process_image_path(client_pid, image_path)) {
    return IntegrityOutcome::not_identified;
  }
  std::string module_path;
  if (os::process_guard_module_path(client_pid, module_path) !=
      os::ModuleLookup::found) {
    return IntegrityOutcome::not_identified;
  }

  // The caller hands over upper-case values; upper-casing again makes the
  // comparison independent of that promise.
  const std::string expected_1 = upper_case(evidence_1);
  const std::string expected_2 = upper_case(evidence_2);
  os::FileIdentity image_identity;
  os::FileIdentity module_identity;
  if (!verify_file(image_path, expected_1, image_identity) ||
      !verify_file(module_path, expected_2, module_identity)) {
    return IntegrityOutcome::mismatch;
  }

  client_image_path = image_path;
  record.pid = client_pid;
  record.image_path = image_path;
  record.module_path = module_path;
  record.evidence_1 = expected_1;
  record.evidence_2 = expected_2;
  record.image_identity = image_identity;
  record.module_identity = module_identity;
  return IntegrityOutcome::pass;
}

bool integrity_recheck(os::ProcessId client_pid,
                       const IntegrityRecord& record) {
  if (client_pid != record.pid) return false;

  // The module must still be mapped from the very file that was verified; a
  // module unloaded, or loaded again from elsewhere, fails.
  std::string module_path;
  if (os::process_guard_module_path(client_pid, module_path) !=
          os::ModuleLookup::found ||
      module_path != record.module_path) {
    return false;
  }
  std::string image_path;
  if (!os::process_image_path(client_pid, image_path) ||
      image_path != record.image_path) {
    return false;
  }
  return reverify_file(record.image_path, record.evidence_1,
                       record.image_identity) &&
         reverify_file(record.module_path, record.evidence_2,
                       record.module_identity);
}

}  // namespace vorn
