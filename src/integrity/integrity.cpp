// The integrity check: the client's executable image file and its guard
// module file must hash to the values the client presented. Both files are
// reached through the held client process itself (never through a name the
// client shows), so a client cannot point the check at files of its choosing.
#include "integrity/integrity.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "integrity/digest_memory.h"
#include "log/diagnostics.h"
#include "platform/runtime.h"
#include "protocol/message_fields.h"
#include "protocol/rules.h"

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

// The same file (not necessarily the same version): by device and inode
// where the OS names them, else by path.
bool same_file(const os::FileIdentity& a, const std::string& a_path,
               const os::FileIdentity& b, const std::string& b_path) {
  if (a.inode != 0 || b.inode != 0) {
    return a.device == b.device && a.inode == b.inode;
  }
  return a_path == b_path;
}

// Under the strict code policy, every other file the client runs code from
// is a system file or listed. `held` keeps what was found, so that unchanged
// files are not hashed again.
os::CodeLook strict_code_admits(const DigestPolicy& policy, HeldFiles& held,
                                os::Error& why) {
  if (!policy.list.strict_code) return os::CodeLook::intact;
  std::vector<os::CodeFile> files;
  const os::CodeLook look =
      os::list_code_files(held.code, held.code_files, files, why);
  if (look != os::CodeLook::intact) return look;
  for (const os::CodeFile& file : files) {
    if (!file.system_file && !policy.list.lists(digest_to_hex(file.digest))) {
      why = os::Error(os::Errc::untrusted,
                      "code from " + file.path +
                          ", which is neither a system file nor listed");
      return os::CodeLook::changed;
    }
  }
  held.code_files = std::move(files);
  return os::CodeLook::intact;
}

// A look at the client's code, told to the operator when it changed.
os::CodeLook look_at_code(IntegrityRecord& record, os::CodeLookDepth depth) {
  if (!record.held_files) return os::CodeLook::intact;
  os::Error why;
  const os::CodeLook look =
      os::look_at_client_code(record.held_files->code, depth, why);
  if (look == os::CodeLook::changed) {
    diagnose(DiagnosticLevel::warning,
             "pid=" + format_decimal_u32(record.pid) + ": " + why.words());
  }
  return look;
}

// Why the policy did not admit a file the client showed truly: neither its
// digest nor a publisher of it is listed.
std::string not_admitted_why(const char* which, const os::ExaminedFile& file) {
  std::string why = std::string(which) + ": digest not in the trusted list";
  if (!file.signers.empty()) return why + ", and signed by no listed publisher";
  if (file.signature_problem) {
    return why + ", and " + file.signature_problem.words();
  }
  return why + ", and not signed";
}

enum class FileVerdict { matches, differs, missing, put_off };

bool cancelled(IntegrityCancel cancel) {
  return cancel.keep_going != nullptr && !cancel.keep_going(cancel.context);
}

// Waits for the user's turn at hashing, and then (a handshake) until what it
// hashed before is paid for (nothing to wait for without a turn); false when
// the check was cancelled meanwhile.
bool take_hash_turn(IntegrityCancel cancel, bool wait_for_debt,
                    std::unique_lock<std::mutex>& turn) {
  HashTurn* const share = cancel.hash_turn;
  if (share == nullptr) return true;
  turn = std::unique_lock<std::mutex>(share->lock, std::try_to_lock);
  while (!turn.owns_lock()) {
    if (cancelled(cancel)) return false;
    os::sleep_ms(kHashTurnPollMs);
    turn.try_lock();
  }
  for (;;) {
    const std::uint64_t now = os::tick_ms();
    const auto paid = static_cast<std::int64_t>(now - share->paid_at_ms) *
                      (kHashBytesPerSecond / 1000);
    share->debt_bytes = std::max<std::int64_t>(0, share->debt_bytes - paid);
    share->paid_at_ms = now;
    if (share->debt_bytes == 0 || !wait_for_debt) return true;
    if (cancelled(cancel)) return false;
    os::sleep_ms(kHashDebtPollMs);
  }
}

// What a hash cost the user's share: the file's size, and a second read made
// to check its signature.
void charge(IntegrityCancel cancel, const os::ExaminedFile& file) {
  if (cancel.hash_turn != nullptr) {
    cancel.hash_turn->debt_bytes += static_cast<std::int64_t>(
        file.identity.size + file.signature_bytes_read);
  }
}

// A re-check's hash that comes before its time is put off: asked before the
// first byte is read, the gate stops it there.
struct RehashGate {
  IntegrityCancel inner;
  std::uint64_t not_before_ms = 0;
  bool asked = false;
  bool put_off = false;
};

bool rehash_gate_keeps_going(void* context) {
  auto* gate = static_cast<RehashGate*>(context);
  if (!gate->asked) {
    gate->asked = true;
    gate->put_off = os::tick_ms() < gate->not_before_ms;
    if (gate->put_off) return false;
  }
  return !cancelled(gate->inner);
}

// Examines one file of the client and compares it with `expected`. A file
// whose recorded identity is unchanged stands for the hash verified with it.
// `rehash_not_before_ms` (a re-check; null at the handshake) puts a hash off
// until then, and is moved on by one that is made.
FileVerdict verify(const os::ProcessHandle& process, os::ProcessId pid,
                   os::ClientFile which, const std::string& expected,
                   const os::FileIdentity& unchanged, os::PinnedFile* pin,
                   IntegrityCancel cancel, os::ExaminedFile& file,
                   std::uint64_t* rehash_not_before_ms = nullptr) {
  std::unique_lock<std::mutex> turn;
  const bool recheck = rehash_not_before_ms != nullptr;
  if (!take_hash_turn(cancel, !recheck && !cancel.debt_settled, turn)) {
    return FileVerdict::differs;
  }
  RehashGate gate{cancel};
  if (recheck && cancel.hash_turn != nullptr) {
    gate.not_before_ms = *rehash_not_before_ms;
    cancel.keep_going = rehash_gate_keeps_going;
    cancel.context = &gate;
  }
  const os::ExamineOutcome outcome = os::examine_client_file(
      process, pid, which, unchanged, pin, cancel.keep_going, cancel.context,
      file, service_digest_recall());
  if (gate.put_off) return FileVerdict::put_off;
  // A hash cut short or made in vain costs what a whole one does.
  if (outcome != os::ExamineOutcome::unchanged && !file.recalled) {
    charge(cancel, file);
    if (recheck && cancel.hash_turn != nullptr) {
      const std::uint64_t sessions =
          std::max<std::uint32_t>(1, cancel.hash_turn->sessions.load());
      *rehash_not_before_ms = os::tick_ms() + file.identity.size * sessions /
                                                  (kHashBytesPerSecond / 1000);
    }
  }
  switch (outcome) {
    case os::ExamineOutcome::unchanged:
      return FileVerdict::matches;
    case os::ExamineOutcome::examined:
      if (!evidence_equals(digest_to_hex(file.digest), expected)) {
        return FileVerdict::differs;
      }
      if (pin != nullptr && !file.recalled) {
        digest_memory().remember(file.identity, file.digest, file.signers,
                                 os::mark_file_version(*pin));
      }
      return FileVerdict::matches;
    case os::ExamineOutcome::not_found:
      return FileVerdict::missing;
    case os::ExamineOutcome::changed:
      diagnose(
          DiagnosticLevel::warning,
          "pid=" + format_decimal_u32(pid) + ": its " +
              (which == os::ClientFile::image ? "executable" : "guard module") +
              " changed while it was checked (its size or times moved)");
      return FileVerdict::differs;
    case os::ExamineOutcome::unreadable:
    case os::ExamineOutcome::too_large:
    case os::ExamineOutcome::cancelled:
      break;
  }
  // The service could not complete its side of the comparison.
  return FileVerdict::differs;
}

}  // namespace

namespace {

struct AheadOfCheck {
  IntegrityCancel cancel;
  const os::ExaminedFile* file = nullptr;
};

// A version the memory cannot keep would be hashed twice: stopped at its
// first chunk.
bool ahead_keeps_going(void* context) {
  const auto* ahead = static_cast<const AheadOfCheck*>(context);
  return ahead->file->identity.stamped && !cancelled(ahead->cancel);
}

}  // namespace

bool hash_ahead_of_check(const os::ProcessHandle& process,
                         os::ProcessId client_pid, IntegrityCancel cancel) {
  if (current_digest_policy()->kind == DigestPolicy::Kind::broken) {
    return false;
  }
  digest_memory().follow_policy(current_digest_policy());
  // As in the check: the image of a client without the module is not hashed.
  for (const os::ClientFile which :
       {os::ClientFile::guard_module, os::ClientFile::image}) {
    std::unique_lock<std::mutex> turn;
    if (!take_hash_turn(cancel, which == os::ClientFile::guard_module, turn)) {
      return false;
    }
    os::ExaminedFile file;
    AheadOfCheck ahead{cancel, &file};
    os::PinnedFile pin;
    const os::ExamineOutcome outcome = os::examine_client_file(
        process, client_pid, which, os::FileIdentity(), &pin, ahead_keeps_going,
        &ahead, file, service_digest_recall());
    if (file.identity.stamped && !file.recalled) charge(cancel, file);
    if (outcome == os::ExamineOutcome::examined && !file.recalled) {
      digest_memory().remember(file.identity, file.digest, file.signers,
                               os::mark_file_version(pin));
    }
    pin.close();
    if (outcome != os::ExamineOutcome::examined) return false;
  }
  return true;
}

IntegrityOutcome integrity_check(const os::ProcessHandle& process,
                                 os::ProcessId client_pid,
                                 const std::string& evidence_1,
                                 const std::string& evidence_2,
                                 std::string& client_image_path,
                                 IntegrityRecord& record,
                                 IntegrityCancel cancel, std::string* why) {
  std::string ignored;
  std::string& reason = why != nullptr ? *why : ignored;
  // The caller hands over upper-case values; upper-casing again makes the
  // comparison independent of that promise.
  const std::string expected_1 = upper_case(evidence_1);
  const std::string expected_2 = upper_case(evidence_2);
  const os::FileIdentity none;
  // A list that cannot be trusted admits nobody; nothing is hashed for it.
  const DigestPolicyRef policy = current_digest_policy();
  if (policy->kind == DigestPolicy::Kind::broken) {
    reason = "the trusted-digest list cannot be used";
    return IntegrityOutcome::mismatch;
  }
  digest_memory().follow_policy(policy);

  // The module first: a client without it is not identified, whatever its
  // image, and its image is then never hashed. Each file is held, where the
  // OS can, before it is hashed, and stays so for the session.
  auto held = std::make_shared<HeldFiles>();
  os::ExaminedFile module;
  const FileVerdict module_verdict =
      verify(process, client_pid, os::ClientFile::guard_module, expected_2,
             none, &held->module, cancel, module);
  if (module_verdict == FileVerdict::missing) {
    reason =
        module.problem ? module.problem.words() : "guard module not loaded";
    return IntegrityOutcome::not_identified;
  }
  // A check abandoned while the module waited or was hashed (the client
  // left) hashes nothing more.
  if (module_verdict == FileVerdict::differs && cancelled(cancel)) {
    reason = "the client ended during the check";
    return IntegrityOutcome::mismatch;
  }
  // One launch waits once, before its first file.
  cancel.debt_settled = true;
  os::ExaminedFile image;
  const FileVerdict image_verdict =
      verify(process, client_pid, os::ClientFile::image, expected_1, none,
             &held->image, cancel, image);
  if (image_verdict == FileVerdict::missing) {
    reason =
        image.problem ? image.problem.words() : "executable file not found";
    return IntegrityOutcome::not_identified;
  }
  if (module_verdict != FileVerdict::matches) {
    reason = module.problem ? module.problem.words()
                            : "guard module file does not match its evidence";
    return IntegrityOutcome::mismatch;
  }
  if (image_verdict != FileVerdict::matches) {
    reason = image.problem ? image.problem.words()
                           : "executable file does not match its evidence";
    return IntegrityOutcome::mismatch;
  }
  // The files are what the client says; the operator must also know them,
  // by their digests or by who signed them.
  if (!policy->admits(expected_2, module.signers)) {
    reason = not_admitted_why("guard module", module);
    return IntegrityOutcome::mismatch;
  }
  if (!policy->admits(expected_1, image.signers)) {
    reason = not_admitted_why("executable", image);
    return IntegrityOutcome::mismatch;
  }
  // And they are what it runs: the code in its memory comes from them, and
  // (strict code) from no file the operator does not know.
  std::uint64_t pages_differing = 0;
  os::Error code_changed;
  os::CodeLook look =
      os::watch_client_code(process, client_pid, image, module, held->code,
                            pages_differing, code_changed);
  if (look == os::CodeLook::intact) {
    look = strict_code_admits(*policy, *held, code_changed);
  }
  switch (look) {
    case os::CodeLook::intact:
      break;
    case os::CodeLook::changed:
      reason = code_changed.words();
      return IntegrityOutcome::mismatch;
    case os::CodeLook::gone:
      reason = "the client ended during the check";
      return IntegrityOutcome::not_identified;
  }
  if (pages_differing > 0) {
    // A packed or self-relocating game: admitted, and held to this state.
    diagnose(DiagnosticLevel::notice,
             "pid=" + format_decimal_u32(client_pid) + ": " +
                 std::to_string(pages_differing) +
                 " code pages of the executable differ from its file; they "
                 "are held to what they hold now");
  }

  client_image_path = image.path;
  record.pid = client_pid;
  record.image_path = image.path;
  record.module_path = module.path;
  record.evidence_1 = expected_1;
  record.evidence_2 = expected_2;
  record.image_identity = image.identity;
  record.module_identity = module.identity;
  record.image_signers = image.signers;
  record.module_signers = module.signers;
  record.policy = policy;
  record.held_files = std::move(held);
  return IntegrityOutcome::pass;
}

bool integrity_recheck(const os::ProcessHandle& process,
                       os::ProcessId client_pid, IntegrityRecord& record,
                       IntegrityCancel cancel) {
  if (client_pid != record.pid) return false;

  // An operator revokes a build or a publisher by deleting its line; a list
  // that has become untrusted leaves the session under the one it had.
  const DigestPolicyRef policy = current_digest_policy();
  if (policy->kind != DigestPolicy::Kind::broken) record.policy = policy;
  if (record.policy &&
      (!record.policy->admits(record.evidence_1, record.image_signers) ||
       !record.policy->admits(record.evidence_2, record.module_signers))) {
    return false;
  }

  // The module must still be mapped from the very file that was verified; a
  // module unloaded, or loaded again from another file, fails. A file that
  // could not be held at the check is held now, when it can be.
  // A hash put off (see HashTurn) leaves the file's last verdict standing
  // until a later re-check makes it.
  HeldFiles* held = record.held_files.get();
  os::ExaminedFile module;
  const FileVerdict module_verdict = verify(
      process, client_pid, os::ClientFile::guard_module, record.evidence_2,
      record.module_identity, held != nullptr ? &held->module : nullptr, cancel,
      module, &record.rehash_not_before_ms);
  if (module_verdict != FileVerdict::matches &&
      module_verdict != FileVerdict::put_off) {
    return false;
  }
  if (!same_file(module.identity, module.path, record.module_identity,
                 record.module_path)) {
    return false;
  }
  os::ExaminedFile image;
  const FileVerdict image_verdict =
      verify(process, client_pid, os::ClientFile::image, record.evidence_1,
             record.image_identity, held != nullptr ? &held->image : nullptr,
             cancel, image, &record.rehash_not_before_ms);
  if (image_verdict != FileVerdict::matches &&
      image_verdict != FileVerdict::put_off) {
    return false;
  }
  // A version hashed again (a file that lost its last name) stands for the
  // next re-checks; one that changes after that fails them.
  if (module_verdict == FileVerdict::matches && module.identity.known) {
    record.module_identity = module.identity;
  }
  if (image_verdict == FileVerdict::matches && image.identity.known) {
    record.image_identity = image.identity;
  }
  // The files held are still those the code runs from (the pages are looked
  // at by integrity_look_at_code, at moments of their own).
  if (look_at_code(record, os::CodeLookDepth::mappings) !=
      os::CodeLook::intact) {
    return false;
  }
  if (held == nullptr || !record.policy) return true;
  os::Error why;
  const os::CodeLook strict = strict_code_admits(*record.policy, *held, why);
  if (strict == os::CodeLook::changed) {
    diagnose(DiagnosticLevel::warning,
             "pid=" + format_decimal_u32(record.pid) + ": " + why.words());
  }
  return strict == os::CodeLook::intact;
}

os::CodeLook integrity_look_at_code(IntegrityRecord& record) {
  return look_at_code(record, os::CodeLookDepth::pages);
}

os::CodeLook integrity_code_still_runs(IntegrityRecord& record) {
  if (!record.held_files) return os::CodeLook::intact;
  return os::client_code_still_runs(record.held_files->code);
}

void release_held_files(IntegrityRecord& record) { record.held_files.reset(); }

}  // namespace vorn
