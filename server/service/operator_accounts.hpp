// SPDX-License-Identifier: Apache-2.0
// The people who sign in to the console: their accounts and roles, set-up links, passwords kept
// as Argon2id hashes, sessions that end when idle, and the brake on guessed passwords.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "storage/store.hpp"

namespace zelk::server {

// What an operator may do: a viewer reads, an operator also acts on users and the outbox, an
// owner also changes projects and their keys.
enum class OperatorRole { viewer, operator_, owner };

std::optional<OperatorRole> operatorRoleNamed(std::string_view name);
const char* operatorRoleName(OperatorRole role);

// A signed-in operator, as a request's session cookie tells.
struct SignedIn {
  std::string name;
  OperatorRole role = OperatorRole::viewer;
  std::string csrf;         // the token the session's forms carry
  std::string sessionHash;  // what the session is kept as
};

// A new session: the cookie's value (shown this once, kept as its hash) and who it is for.
struct NewSession {
  std::string cookie;
  SignedIn who;
};

class OperatorAccounts {
 public:
  struct Config {
    std::chrono::seconds idle{std::chrono::minutes(30)};  // a session unused this long ends
    std::chrono::seconds setupValid{std::chrono::hours(24)};
    // Failed sign-ins of a name or from an address before each next one waits, and how long
    // that wait grows to (it doubles with each further failure).
    int freeFailures = 5;
    std::chrono::seconds longestWait{std::chrono::minutes(15)};
    std::function<Clock::time_point()> clock;  // Clock::now when empty
  };
  OperatorAccounts(Store& store, Config config);

  // Names are 1 to 64 letters, digits, '.', '_', '-' or '@'.
  static bool validName(std::string_view name);
  // Passwords are 12 to 1024 bytes.
  static constexpr std::size_t kShortestPassword = 12;

  // Adds the operator, or gives an existing one a new role and a new set-up link (which signs
  // out their sessions and needs a new password). The set-up token, shown this once.
  std::string add(const std::string& name, OperatorRole role);
  std::vector<OperatorAccount> list();
  std::optional<OperatorAccount> find(const std::string& name);

  // Sets the password of `name` with the set-up token `token`. The reason it cannot, or nullopt.
  std::optional<std::string> setPassword(const std::string& name, std::string_view token,
                                         std::string_view password);

  // A sign-in attempt from `source`. A session, or why not: `waitSeconds` is set when the name
  // or the address failed too often and must wait that long before the next try.
  struct Refusal {
    std::string message;
    long waitSeconds = 0;
  };
  std::variant<NewSession, Refusal> signIn(const std::string& name, std::string_view password,
                                           const std::string& source);

  // The session of a cookie's value, its last use moved to now; nullopt when there is none,
  // it went idle, or its operator is gone or lost their password.
  std::optional<SignedIn> session(std::string_view cookie);
  void signOut(const SignedIn& who);

 private:
  Clock::time_point now() const { return config_.clock ? config_.clock() : Clock::now(); }
  // How long `key` must wait before its next attempt; 0 when it need not.
  long waitFor(const std::string& key, Clock::time_point at);
  void failed(const std::string& key, Clock::time_point at);

  Store& store_;
  const Config config_;

  // Failures by name ("n:") and by address ("a:"), at most kTracked of them, the least lately
  // failed dropped first.
  static constexpr std::size_t kTracked = 10'000;
  struct Failures {
    int count = 0;
    Clock::time_point last;
    std::list<std::string>::iterator order;
  };
  std::mutex mutex_;
  std::unordered_map<std::string, Failures> failures_;
  std::list<std::string> order_;  // most lately failed first
};

}  // namespace zelk::server
