// The integrity check of a client runtime: the executable image the client
// runs and the guard module mapped into it must hash to the two values the
// client sent in its HELLO.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "integrity/digest_policy.h"
#include "integrity/hash_turn.h"
#include "platform/system.h"
#include "protocol/evidence.h"
#include "protocol/message_fields.h"

namespace vorn {

enum class IntegrityOutcome { pass, not_identified, mismatch };

// The image and the guard module file held for one session, and the watch of
// the code the client runs from them.
struct HeldFiles {
  os::PinnedFile image;
  os::PinnedFile module;
  os::ClientCode code;
  // The other files the client ran code from at the last look of the strict
  // code policy, and their digests.
  std::vector<os::CodeFile> code_files;
};

// What the periodic re-check needs to repeat the verification.
struct IntegrityRecord {
  os::ProcessId pid = 0;
  std::string image_path;
  std::string module_path;
  std::string evidence_1;  // upper-case hex SHA-256 of the image file
  std::string evidence_2;  // upper-case hex SHA-256 of the guard module file
  // The file versions that hashed to the evidence; an unchanged file is not
  // hashed again, and the module must stay the very file that was verified.
  os::FileIdentity image_identity;
  os::FileIdentity module_identity;
  // Who signed the files verified (same bytes, same signers), for the
  // policy's judgement at each re-check.
  std::vector<os::Signer> image_signers;
  std::vector<os::Signer> module_signers;
  // The last usable policy the session was checked under: a list that turns
  // untrusted later does not end it, a good list read later does.
  DigestPolicyRef policy;
  // The verified files, held for the session where the OS can (Windows), so
  // a re-check need not hash them again; shared by copies of the record and
  // released with the last one, or by release_held_files.
  std::shared_ptr<HeldFiles> held_files;
  // A re-check that would hash a file before this moment puts it off (see
  // HashTurn).
  std::uint64_t rehash_not_before_ms = 0;
};

// Lets go of the files the record holds (the session's close).
void release_held_files(IntegrityRecord& record);

// Asked between the chunks of a hash, and while waiting for the turn; false
// abandons the check, which then counts as not completed (a mismatch). Null:
// never abandon. `hash_turn` (may be null) is the user's share of the
// hashing, taken for each file examined.
// `debt_settled`: this handshake has waited for the user's earlier hashing
// already (see hash_ahead_of_check); its own files never wait for each other.
struct IntegrityCancel {
  os::KeepGoing keep_going = nullptr;
  void* context = nullptr;
  HashTurn* hash_turn = nullptr;
  bool debt_settled = false;
};

// evidence_1 / evidence_2 are upper-case, 64 hex digits. `process` is the
// client held since its connection; every look at the client goes through
// it. On pass, client_image_path and record are filled; otherwise `why`,
// when given, says what failed in words for the operator. Opens nothing that
// outlives it.
IntegrityOutcome integrity_check(
    const os::ProcessHandle& process, os::ProcessId client_pid,
    const std::string& evidence_1, const std::string& evidence_2,
    std::string& client_image_path, IntegrityRecord& record,
    IntegrityCancel cancel = {}, std::string* why = nullptr);

// Hashes the client's guard module, then its image, while its HELLO is still
// on its way (its module connects first and computes its evidence
// meanwhile), so that the check after the HELLO recalls them from the digest
// memory. Only versions the memory can keep are hashed here (see
// os::FileIdentity::stamped); any other file waits for the check, which
// would hash it again. Charged to the user's share like the check's hashes;
// false when it was cut short (`cancel`) or found nothing to hash.
bool hash_ahead_of_check(const os::ProcessHandle& process,
                         os::ProcessId client_pid, IntegrityCancel cancel);

// True while the guard module is still mapped from the verified file, both
// files still hash to the HELLO's values, and the trusted-digest policy
// still admits them (by digest or publisher) and (strict code) the other files
// the client runs code from (the record takes the current policy when it is
// usable). The code itself is looked at by integrity_look_at_code, at moments
// of its own.
bool integrity_recheck(const os::ProcessHandle& process,
                       os::ProcessId client_pid, IntegrityRecord& record,
                       IntegrityCancel cancel = {});

// A look at the code the client runs, at random moments at most a re-check
// interval apart: intact, changed, or gone (the process ended or, on Linux,
// replaced its program with exec). Opens and reads no client file.
os::CodeLook integrity_look_at_code(IntegrityRecord& record);

// The cheapest look, for every heartbeat: gone once the client no longer
// runs the verified program.
os::CodeLook integrity_code_still_runs(IntegrityRecord& record);

}  // namespace vorn
