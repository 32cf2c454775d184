// The fair share of the service's places among local users. One unprivileged
// account holds at most half of the places and opens new sessions at a
// bounded rate, so no user can keep another user's game from being served or
// make the log grow without bound; its files are hashed one at a time.
// Privileged accounts (which could stop the service anyway) are not limited.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "integrity/hash_turn.h"
#include "platform/runtime.h"
#include "protocol/rules.h"

namespace vorn {

// The service's rules by default (protocol/rules.h); tests set their own.
struct PlaceRules {
  std::size_t places_per_user = kPlacesPerUser;
  std::uint32_t sessions_per_second = kSessionsPerSecond;
  std::uint32_t burst = kSessionBurst;
};

enum class Admission { admitted, over_share, over_rate };

class UserPlaces;

// One connection's place, given back when it is destroyed.
class UserPlace {
 public:
  UserPlace() = default;
  UserPlace(UserPlace&& other) noexcept = default;
  UserPlace& operator=(UserPlace&& other) noexcept;
  UserPlace(const UserPlace&) = delete;
  UserPlace& operator=(const UserPlace&) = delete;
  ~UserPlace() { release(); }

  // Held while one of this user's files is hashed; null where hashing is
  // not limited (a privileged user, no place).
  HashTurn* hash_turn() const;
  void release();

 private:
  friend class UserPlaces;
  struct Account;
  UserPlaces* book_ = nullptr;
  std::shared_ptr<Account> account_;
};

class UserPlaces {
 public:
  explicit UserPlaces(PlaceRules rules = {}) : rules_(rules) {}
  UserPlaces(const UserPlaces&) = delete;
  UserPlaces& operator=(const UserPlaces&) = delete;

  // Gives `place` to a connection of `user` at `now_ms`, or says why not.
  // Refusals are told to the operator at most once a minute per user.
  Admission admit(const os::ClientUser& user, std::uint64_t now_ms,
                  UserPlace& place);
  // Places the unprivileged `user_name` holds now.
  std::size_t held_by(const std::string& user_name);

 private:
  friend class UserPlace;
  void give_back(UserPlace::Account& account);
  void forget_idle_accounts(std::uint64_t now_ms);

  const PlaceRules rules_;
  std::mutex lock_;
  std::map<std::string, std::shared_ptr<UserPlace::Account>> accounts_;
};

// The service's one book of places. Never destroyed: a session worker may
// give its place back while the process exits.
UserPlaces& user_places();

}  // namespace vorn
