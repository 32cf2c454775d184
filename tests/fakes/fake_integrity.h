// A scripted stand-in for the integrity check (integrity/integrity.h): the
// outcome and image path are set by the test, every call is recorded, and
// the periodic re-check answers from a list, one entry per call.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "integrity/integrity.h"
#include "platform/types.h"
#include "session/session_state.h"

namespace vorn::fake {

struct IntegrityCall {
  os::ProcessId pid;
  std::string evidence_1;
  std::string evidence_2;
};

struct RecheckCall {
  std::uint64_t tick;
  os::ProcessId pid;
  IntegrityRecord record;
  // The observed session's last_recheck_tick at the moment of the call.
  std::uint64_t last_recheck_tick_seen;
};

struct FakeIntegrity {
  IntegrityOutcome outcome = IntegrityOutcome::pass;
  std::string image_path = "C:\\Games\\client.exe";
  std::vector<IntegrityCall> checks;
  // Answers of the re-checks in call order; true once the list is used up.
  std::deque<bool> recheck_results;
  std::vector<RecheckCall> rechecks;
  // Answers of the looks at the code between re-checks and at heartbeats,
  // in call order; intact once used up. Each call's tick is recorded.
  std::deque<os::CodeLook> code_looks;
  std::deque<os::CodeLook> still_runs;
  std::vector<std::uint64_t> code_look_ticks;
  std::vector<std::uint64_t> still_runs_ticks;
  // The session whose fields a re-check records (may stay null).
  const SessionState* observed = nullptr;
};

FakeIntegrity& integrity();
void reset_integrity();

}  // namespace vorn::fake
