#include "session/user_places.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/diagnostics.h"

namespace vorn {
namespace {

const os::ClientUser kPlayer{"1000", false};
const os::ClientUser kOtherPlayer{"1001", false};
const os::ClientUser kRoot{"0", true};

struct ShareCase {
  const char* name;
  PlaceRules rules;
  os::ClientUser user;
  int connections;         // all at the same moment
  int admitted;            // how many of them get a place
  Admission then;          // what the next one gets
  std::uint64_t later_ms;  // and, this much later, one more
  Admission after;
};

class UserShare : public testing::TestWithParam<ShareCase> {};

TEST_P(UserShare, AdmitsUpToTheShareAndTheRate) {
  const ShareCase& c = GetParam();
  std::vector<std::string> told;
  set_diagnostic_sink(
      [&](DiagnosticLevel, const std::string& text) { told.push_back(text); });
  UserPlaces book(c.rules);
  std::vector<UserPlace> places(c.connections + 2);
  int admitted = 0;
  for (int i = 0; i < c.connections; ++i) {
    if (book.admit(c.user, 1000, places[i]) == Admission::admitted) ++admitted;
  }
  EXPECT_EQ(admitted, c.admitted);
  EXPECT_EQ(book.admit(c.user, 1000, places[c.connections]), c.then);
  // Refused at once by the share, another user's game is still served.
  EXPECT_EQ(book.admit(kOtherPlayer, 1000, places.back()), Admission::admitted);
  EXPECT_EQ(book.admit(c.user, 1000 + c.later_ms, places[c.connections]),
            c.after);
  // Told once for both refusals within the minute.
  EXPECT_EQ(told.size(), c.then == Admission::admitted ? 0u : 1u);
  set_diagnostic_sink(nullptr);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, UserShare,
    testing::Values(
        ShareCase{"SixteenPlacesPerUser", {}, kPlayer, 17, 16, Admission::over_share, 30000, Admission::over_share},
        ShareCase{"PrivilegedUnlimited", {}, kRoot, 32, 32, Admission::admitted, 0, Admission::admitted},
        ShareCase{"BurstThenTenASecond", {100, 10, 30}, kPlayer, 31, 30, Admission::over_rate, 100, Admission::admitted},
        ShareCase{"NoFasterThanTenASecond", {100, 10, 30}, kPlayer, 30, 30, Admission::over_rate, 99, Admission::over_rate}),
    [](const testing::TestParamInfo<ShareCase>& param) { return std::string(param.param.name); });
// clang-format on

TEST(UserShare, APlaceGivenBackServesTheNextConnection) {
  UserPlaces book(PlaceRules{1, 10, 30});
  UserPlace first, second;
  ASSERT_EQ(book.admit(kPlayer, 0, first), Admission::admitted);
  EXPECT_NE(first.hash_turn(), nullptr);
  EXPECT_EQ(book.admit(kPlayer, 0, second), Admission::over_share);
  UserPlace moved = std::move(first);
  EXPECT_EQ(book.held_by("1000"), 1u);
  moved.release();
  EXPECT_EQ(book.held_by("1000"), 0u);
  EXPECT_EQ(book.admit(kPlayer, 0, second), Admission::admitted);
}

}  // namespace
}  // namespace vorn
