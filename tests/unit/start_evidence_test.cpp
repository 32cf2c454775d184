// One start's evidence: computed once for all its attempts, and again from
// the files after a refusal of remembered values, once.
#include "guard/start_evidence.h"

#include <gtest/gtest.h>

#include <vector>

namespace vorn::guard {

TEST(StartEvidence, ComputedOnceAndAgainFromTheFilesAfterARefusal) {
  std::vector<bool> computed;  // use_cache of each computation
  const EvidenceSource files = [&](bool use_cache, EvidencePair&, bool&) {
    computed.push_back(use_cache);
    return true;
  };
  StartEvidence evidence;
  EvidencePair values;
  for (int attempt = 0; attempt < 3; ++attempt) {
    ASSERT_TRUE(evidence_for_attempt(evidence, files, values));
  }
  EXPECT_TRUE(drop_refused_evidence(evidence));  // remembered: maybe stale
  ASSERT_TRUE(evidence_for_attempt(evidence, files, values));
  EXPECT_FALSE(drop_refused_evidence(evidence));  // just hashed: it stands
  EXPECT_EQ(computed, (std::vector<bool>{true, false}));
}

}  // namespace vorn::guard
