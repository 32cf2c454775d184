#include "guard/start_evidence.h"

namespace vorn::guard {

bool evidence_for_attempt(StartEvidence& evidence, const EvidenceSource& source,
                          EvidencePair& values) {
  if (!evidence.held) {
    bool cached = false;
    if (!source(!evidence.files_only, evidence.values, cached)) return false;
    evidence.held = true;
    evidence.hashed_now = !cached;
    evidence.files_only = false;
  } else {
    evidence.hashed_now = false;
  }
  values = evidence.values;
  return true;
}

bool drop_refused_evidence(StartEvidence& evidence) {
  if (!evidence.held || evidence.hashed_now) return false;
  evidence.held = false;
  evidence.files_only = true;
  return true;
}

}  // namespace vorn::guard
