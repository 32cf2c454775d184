#include "fakes/fake_integrity.h"

#include "fakes/fake_runtime.h"

namespace vorn::fake {
namespace {

FakeIntegrity g_integrity;

}  // namespace

FakeIntegrity& integrity() { return g_integrity; }

void reset_integrity() { g_integrity = FakeIntegrity(); }

}  // namespace vorn::fake

namespace vorn {

IntegrityOutcome integrity_check(const os::ProcessHandle& /*process*/,
                                 os::ProcessId client_pid,
                                 const std::string& evidence_1,
                                 const std::string& evidence_2,
                                 std::string& client_image_path,
                                 IntegrityRecord& record,
                                 IntegrityCancel /*cancel*/, std::string* why) {
  fake::FakeIntegrity& f = fake::integrity();
  f.checks.push_back({client_pid, evidence_1, evidence_2});
  if (f.outcome != IntegrityOutcome::pass) {
    if (why != nullptr) *why = "the fake check failed";
    return f.outcome;
  }
  client_image_path = f.image_path;
  record = IntegrityRecord();
  record.pid = client_pid;
  record.image_path = f.image_path;
  record.module_path = "guard-module";
  record.evidence_1 = evidence_1;
  record.evidence_2 = evidence_2;
  return IntegrityOutcome::pass;
}

// Nothing is remembered here: every check is the fake's.
bool hash_ahead_of_check(const os::ProcessHandle& /*process*/,
                         os::ProcessId /*client_pid*/,
                         IntegrityCancel /*cancel*/) {
  return false;
}

bool integrity_recheck(const os::ProcessHandle& /*process*/,
                       os::ProcessId client_pid, IntegrityRecord& record,
                       IntegrityCancel /*cancel*/) {
  fake::FakeIntegrity& f = fake::integrity();
  const std::uint64_t seen =
      f.observed != nullptr ? f.observed->last_recheck_tick : 0;
  f.rechecks.push_back({fake::now(), client_pid, record, seen});
  if (f.recheck_results.empty()) return true;
  const bool result = f.recheck_results.front();
  f.recheck_results.pop_front();
  return result;
}

namespace {

os::CodeLook next_look(std::deque<os::CodeLook>& answers,
                       std::vector<std::uint64_t>& ticks) {
  ticks.push_back(fake::now());
  if (answers.empty()) return os::CodeLook::intact;
  const os::CodeLook look = answers.front();
  answers.pop_front();
  return look;
}

}  // namespace

os::CodeLook integrity_look_at_code(IntegrityRecord& /*record*/) {
  fake::FakeIntegrity& f = fake::integrity();
  return next_look(f.code_looks, f.code_look_ticks);
}

os::CodeLook integrity_code_still_runs(IntegrityRecord& /*record*/) {
  fake::FakeIntegrity& f = fake::integrity();
  return next_look(f.still_runs, f.still_runs_ticks);
}

void release_held_files(IntegrityRecord& record) { record.held_files.reset(); }

}  // namespace vorn
