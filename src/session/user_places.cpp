#include "session/user_places.h"

#include <algorithm>
#include <utility>

#include "log/diagnostics.h"
#include "protocol/rules.h"

namespace vorn {

namespace {

constexpr std::uint64_t kMilli = 1000;

static_assert(kPlacesPerUser * 2 == os::kEndpointPlaces,
              "one user holds at most half of the service's places");

}  // namespace

struct UserPlace::Account {
  std::string name;
  std::size_t places = 0;
  // The rate's bucket, in thousandths of a session.
  std::uint64_t tokens_milli = 0;
  std::uint64_t refilled_at_ms = 0;
  HashTurn hash_turn;
  // Refusals not yet told, and when the last were.
  std::uint64_t refused = 0;
  std::uint64_t told_at_ms = 0;
  bool told = false;
};

UserPlace& UserPlace::operator=(UserPlace&& other) noexcept {
  if (this != &other) {
    release();
    book_ = std::exchange(other.book_, nullptr);
    account_ = std::move(other.account_);
  }
  return *this;
}

HashTurn* UserPlace::hash_turn() const {
  return account_ ? &account_->hash_turn : nullptr;
}

void UserPlace::release() {
  if (book_ != nullptr && account_) book_->give_back(*account_);
  book_ = nullptr;
  account_.reset();
}

void UserPlaces::give_back(UserPlace::Account& account) {
  const std::lock_guard<std::mutex> guard(lock_);
  if (account.places > 0) --account.places;
  account.hash_turn.sessions.store(static_cast<std::uint32_t>(account.places));
}

void UserPlaces::forget_idle_accounts(std::uint64_t now_ms) {
  const std::uint64_t full = rules_.burst * kMilli;
  for (auto it = accounts_.begin(); it != accounts_.end();) {
    const UserPlace::Account& account = *it->second;
    const std::uint64_t refill =
        (now_ms - account.refilled_at_ms) * rules_.sessions_per_second;
    const bool idle = account.places == 0 && account.refused == 0 &&
                      account.tokens_milli + refill >= full &&
                      it->second.use_count() == 1;
    it = idle ? accounts_.erase(it) : std::next(it);
  }
}

Admission UserPlaces::admit(const os::ClientUser& user, std::uint64_t now_ms,
                            UserPlace& place) {
  place.release();
  if (user.privileged) return Admission::admitted;
  const std::lock_guard<std::mutex> guard(lock_);
  forget_idle_accounts(now_ms);
  std::shared_ptr<UserPlace::Account>& entry = accounts_[user.name];
  if (!entry) {
    entry = std::make_shared<UserPlace::Account>();
    entry->name = user.name.empty() ? "an unknown user" : "user " + user.name;
    entry->tokens_milli = rules_.burst * kMilli;
    entry->refilled_at_ms = now_ms;
  }
  UserPlace::Account& account = *entry;
  account.tokens_milli = std::min<std::uint64_t>(
      rules_.burst * kMilli,
      account.tokens_milli +
          (now_ms - account.refilled_at_ms) * rules_.sessions_per_second);
  account.refilled_at_ms = now_ms;

  Admission admission = Admission::admitted;
  if (account.places >= rules_.places_per_user) {
    admission = Admission::over_share;
  } else if (account.tokens_milli < kMilli) {
    admission = Admission::over_rate;
  }
  if (admission != Admission::admitted) {
    ++account.refused;
    if (!account.told || now_ms - account.told_at_ms >= kTellEveryMs) {
      diagnose(
          DiagnosticLevel::warning,
          account.name + ": " + std::to_string(account.refused) +
              " connection(s) closed unserved, " +
              (admission == Admission::over_share
                   ? "holding the " + std::to_string(rules_.places_per_user) +
                         " places one user may"
                   : "opening more than " +
                         std::to_string(rules_.sessions_per_second) +
                         " sessions a second"));
      account.told = true;
      account.told_at_ms = now_ms;
      account.refused = 0;
    }
    return admission;
  }
  account.tokens_milli -= kMilli;
  ++account.places;
  account.hash_turn.sessions.store(static_cast<std::uint32_t>(account.places));
  place.book_ = this;
  place.account_ = entry;
  return Admission::admitted;
}

std::size_t UserPlaces::held_by(const std::string& user_name) {
  const std::lock_guard<std::mutex> guard(lock_);
  const auto it = accounts_.find(user_name);
  return it == accounts_.end() ? 0 : it->second->places;
}

UserPlaces& user_places() {
  static UserPlaces* const book = new UserPlaces();
  return *book;
}

}  // namespace vorn
