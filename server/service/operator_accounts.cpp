// SPDX-License-Identifier: Apache-2.0
#include "service/operator_accounts.hpp"

#include <sodium.h>

#include <algorithm>
#include <stdexcept>

#include "service/ids.hpp"

namespace zelk::server {
namespace {

// Session cookies and set-up tokens are 256 random bits: a fast hash keeps them as safe as a
// slow one would. Passwords are chosen by people, so they get Argon2id.
std::string tokenHash(std::string_view token) {
  return hmacSha256Hex("zelk-server console", token);
}

void startSodium() {
  static const bool started = sodium_init() >= 0;
  if (!started) throw std::runtime_error("libsodium could not start");
}

// What a password is checked against when the name has none: the answer takes as long.
const std::string& decoyHash() {
  static const std::string hash = [] {
    char out[crypto_pwhash_STRBYTES];
    const std::string secret = newSecret();
    if (crypto_pwhash_str(out, secret.data(), secret.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
      throw std::runtime_error("out of memory hashing a password");
    return std::string(out);
  }();
  return hash;
}

bool passwordMatches(const std::string& hash, std::string_view password) {
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

}  // namespace

std::optional<OperatorRole> operatorRoleNamed(std::string_view name) {
  if (name == "viewer") return OperatorRole::viewer;
  if (name == "operator") return OperatorRole::operator_;
  if (name == "owner") return OperatorRole::owner;
  return std::nullopt;
}

const char* operatorRoleName(OperatorRole role) {
  switch (role) {
    case OperatorRole::viewer:
      return "viewer";
    case OperatorRole::operator_:
      return "operator";
    case OperatorRole::owner:
      return "owner";
  }
  return "viewer";
}

OperatorAccounts::OperatorAccounts(Store& store, Config config)
    : store_(store), config_(std::move(config)) {
  startSodium();
}

bool OperatorAccounts::validName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-' || c == '@';
  });
}

std::string OperatorAccounts::add(const std::string& name, OperatorRole role) {
  const Clock::time_point at = now();
  OperatorAccount account = store_.readOperator(name).value_or(OperatorAccount{});
  if (account.name.empty()) {
    account.name = name;
    account.createdAt = at;
  }
  const std::string token = newSecret();
  account.role = operatorRoleName(role);
  account.passwordHash.clear();
  account.setupHash = tokenHash(token);
  account.setupUntil = at + config_.setupValid;
  store_.putOperator(account);
  store_.dropSessionsOf(name);
  return token;
}

std::vector<OperatorAccount> OperatorAccounts::list() {
  return store_.readOperators();
}

std::optional<OperatorAccount> OperatorAccounts::find(const std::string& name) {
  return store_.readOperator(name);
}

std::optional<std::string> OperatorAccounts::setPassword(const std::string& name,
                                                         std::string_view token,
                                                         std::string_view password) {
  constexpr const char* kStale = "This set-up link is not valid; ask an owner for a new one.";
  std::optional<OperatorAccount> account = store_.readOperator(name);
  if (!account || account->setupHash.empty() || now() >= account->setupUntil ||
      !sameSecret(tokenHash(token), account->setupHash))
    return kStale;
  if (password.size() < kShortestPassword) return "The password needs at least 12 characters.";
  if (password.size() > 1024) return "The password is too long.";
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
    throw std::runtime_error("out of memory hashing a password");
  account->passwordHash = out;
  account->setupHash.clear();
  store_.putOperator(*account);
  store_.dropSessionsOf(name);
  return std::nullopt;
}

long OperatorAccounts::waitFor(const std::string& key, Clock::time_point at) {
  const auto found = failures_.find(key);
  if (found == failures_.end() || found->second.count < config_.freeFailures) return 0;
  const int over = std::min(found->second.count - config_.freeFailures, 20);
  const auto wait =
      std::min<std::chrono::seconds>(std::chrono::seconds(1L << over), config_.longestWait);
  const auto until = found->second.last + wait;
  if (at >= until) return 0;
  return static_cast<long>(std::chrono::ceil<std::chrono::seconds>(until - at).count());
}

void OperatorAccounts::failed(const std::string& key, Clock::time_point at) {
  auto found = failures_.find(key);
  if (found == failures_.end()) {
    if (failures_.size() >= kTracked) {
      failures_.erase(order_.back());
      order_.pop_back();
    }
    order_.push_front(key);
    found = failures_.emplace(key, Failures{0, at, order_.begin()}).first;
  } else {
    order_.splice(order_.begin(), order_, found->second.order);
  }
  // A failure long after the last one starts the count over.
  if (at - found->second.last > config_.longestWait * 2) found->second.count = 0;
  ++found->second.count;
  found->second.last = at;
}

std::variant<NewSession, OperatorAccounts::Refusal> OperatorAccounts::signIn(
    const std::string& name, std::string_view password, const std::string& source) {
  const Clock::time_point at = now();
  const std::string byName = "n:" + name, byAddress = "a:" + source;
  {
    std::lock_guard lock(mutex_);
    long wait = std::max(waitFor(byName, at), waitFor(byAddress, at));
    // An attempt made while it should wait counts as failed: hammering only lengthens the wait.
    if (wait > 0) {
      failed(byName, at);
      failed(byAddress, at);
      wait = std::max(waitFor(byName, at), waitFor(byAddress, at));
    }
    if (wait > 0)
      return Refusal{"Too many failed sign-ins. Try again in " + std::to_string(wait) +
                         (wait == 1 ? " second." : " seconds."),
                     wait};
  }
  const std::optional<OperatorAccount> account =
      validName(name) ? store_.readOperator(name) : std::nullopt;
  const bool hasPassword = account && !account->passwordHash.empty();
  const bool matches = passwordMatches(hasPassword ? account->passwordHash : decoyHash(), password);
  if (!hasPassword || !matches) {
    std::lock_guard lock(mutex_);
    failed(byName, at);
    failed(byAddress, at);
    return Refusal{"Wrong name or password.", 0};
  }
  {
    std::lock_guard lock(mutex_);
    if (auto found = failures_.find(byName); found != failures_.end()) {
      order_.erase(found->second.order);
      failures_.erase(found);
    }
  }
  NewSession made;
  made.cookie = newSecret();
  OperatorSession session{tokenHash(made.cookie), name, newSecret(), at, at};
  store_.putSession(session);
  made.who = {name, *operatorRoleNamed(account->role), session.csrf, session.hash};
  return made;
}

std::optional<SignedIn> OperatorAccounts::session(std::string_view cookie) {
  if (cookie.empty() || cookie.size() > 128) return std::nullopt;
  const Clock::time_point at = now();
  std::optional<OperatorSession> session = store_.readSession(tokenHash(cookie));
  if (!session) return std::nullopt;
  if (at - session->seenAt >= config_.idle) {
    store_.dropSession(session->hash);
    return std::nullopt;
  }
  const std::optional<OperatorAccount> account = store_.readOperator(session->name);
  const auto role = account ? operatorRoleNamed(account->role) : std::nullopt;
  if (!account || account->passwordHash.empty() || !role) return std::nullopt;
  // Written at most once a minute: a page's requests need not each write.
  if (at - session->seenAt >= std::chrono::minutes(1)) {
    session->seenAt = at;
    store_.putSession(*session);
  }
  return SignedIn{session->name, *role, session->csrf, session->hash};
}

void OperatorAccounts::signOut(const SignedIn& who) {
  store_.dropSession(who.sessionHash);
}

}  // namespace zelk::server
