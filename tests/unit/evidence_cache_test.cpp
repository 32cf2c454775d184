// The guard module's cache of its evidence: what a line must be to count.
#include "guard/evidence_cache.h"

#include <gtest/gtest.h>

#include <string>

namespace vorn::guard {
namespace {

const std::string kKey =
    "2049 131 4096 1700000000000000000 1700000000000000001";
const std::string kA(64, 'A');
const std::string kB(64, 'b');

TEST(EvidenceCache, FindsTheNewestWholeLineForTheKey) {
  const std::pair<std::string, std::string> cases[] = {
      {kKey + " " + kA + "\n", kA},
      {kKey + " " + kA + "\n" + kKey + " " + kB + "\n", kB},
      {kKey + " " + kA, ""},                    // cut short
      {kKey + "0 " + kA + "\n", ""},            // another key
      {"x" + kKey + " " + kA + "\n", ""},       // not at the start
      {kKey + " " + kA.substr(1) + "g\n", ""},  // not hex
      {kKey + " " + kA + "A\n", ""},            // too long
      {"", ""},
  };
  for (const auto& [text, found] : cases) {
    EXPECT_EQ(find_in_cache(text, kKey), found) << text;
  }
}

}  // namespace
}  // namespace vorn::guard
