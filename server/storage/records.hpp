// SPDX-License-Identifier: Apache-2.0
// The service's records: projects, their users and devices, identities, challenges and the
// messages kept for each device's realtime stream. Plain values, shared by the rules and the
// storage backends; the rules work on one user's records at a time (UserRecord).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "storage/settings.hpp"

namespace zelk::server {

using Clock = std::chrono::system_clock;

enum class DeviceType { mobile, tablet, computer };
// The type a device reports in device_info.device.type; anything but "tablet" or "computer"
// counts as a mobile.
DeviceType deviceTypeOf(const nlohmann::json& deviceInfo);
std::string_view deviceTypeName(DeviceType type);
DeviceType deviceTypeFromName(std::string_view name);

// An e-mail address with only the first and last character of its local part left:
// "alice@example.com" gives "a•••e@example.com"; a local part of one character keeps it alone.
std::string maskEmail(std::string_view email);
// A phone number with only its last four digits left: "+1 555 010 4821" gives "•••• 4821"; a
// number of four digits or fewer gives "••••".
std::string maskPhone(std::string_view phone);

// The project settings as the admin endpoints and the state dump show them.
nlohmann::json settingsJSON(const ProjectSettings& settings);

// A time as the challenge calls write it: "2026-12-08T01:02:03.456Z" (UTC, milliseconds).
std::string isoTimeMillis(Clock::time_point time);
std::int64_t toMillis(Clock::time_point time);
Clock::time_point fromMillis(std::int64_t millis);

// One realtime message sent to a device, kept so that a stream resuming after `id` gets it.
struct KeptMessage {
  std::uint64_t id = 0;
  Clock::time_point sentAt;
  std::string data;  // the event's data
};

// A message for a device's realtime streams: its event id there and the event's data.
struct Delivery {
  std::string device;
  std::uint64_t id = 0;
  std::string data;
};

// A JSON document a device reported, immutable once made. Copies share it (the rows handed to the
// store hold the device's own), and its compact text is made once, with the document: storing a
// device whose facts did not change copies and writes out nothing. Safe to copy, read and drop on
// any thread.
class SharedJSON {
 public:
  // An empty object.
  SharedJSON();
  // Takes `value` over and writes its text (strings with invalid UTF-8 get U+FFFD there).
  explicit SharedJSON(nlohmann::json value);
  // The document kept as `text`; an empty object when `text` is not JSON.
  static SharedJSON fromText(std::string text);

  const nlohmann::json& value() const { return frozen_->value; }
  // The compact JSON text of value().
  const std::string& text() const { return frozen_->text; }

  bool operator==(const SharedJSON& other) const {
    return frozen_ == other.frozen_ || frozen_->value == other.frozen_->value;
  }
  bool operator==(const nlohmann::json& other) const { return frozen_->value == other; }

 private:
  struct Frozen {
    nlohmann::json value;
    std::string text;
  };
  explicit SharedJSON(std::shared_ptr<const Frozen> frozen) : frozen_(std::move(frozen)) {}
  std::shared_ptr<const Frozen> frozen_;
};

// How many messages a device keeps at most, and for how long.
inline constexpr std::size_t kMaxKeptMessages = 100;
inline constexpr std::chrono::hours kKeptMessagesFor{24};
// How many access tokens of a device stay good: the ones handed out by its last attaches.
inline constexpr std::size_t kMaxAccesses = 16;

// Where a device was last seen, as the GeoIP database placed its source address: a city name
// and an ISO 3166-1 country code, each "" when not known.
struct Location {
  std::string city, country;

  bool known() const { return !city.empty() || !country.empty(); }
  bool operator==(const Location&) const = default;
};

// {"city": ..., "country": ...}, each member only when known.
nlohmann::json locationJSON(const Location& location);

struct Device {
  std::string id;
  std::string vendorId;
  DeviceType type = DeviceType::mobile;
  std::string library, version;
  std::string identity;               // as reported by the last attach, "" when none
  std::vector<std::string> accesses;  // the access tokens still good, the last one handed out last
  SharedJSON deviceInfo, metadata;    // as reported by the last attach
  Clock::time_point attachedAt, lastSeenAt;
  std::uint64_t lastEventId = 0;  // the id of the last message sent to it
  std::deque<KeptMessage> messages;
  Location location;  // where its last attach came from

  const std::string& lastAccess() const;
  bool hasAccess(std::string_view access) const;
};

struct Challenge {
  std::string id;
  std::string project;  // the client id
  std::string user;
  std::string reason;  // what raised it: "overall", "mobile", "tablet", "computer" or "manual"
  // The device whose attach raised (or last joined) it, which a right code marks trusted; "" for
  // a challenge an operator raised.
  std::string device;
  Clock::time_point createdAt;
  // The last code sent, only as its HMAC under the server's code key (hex); "" before the first.
  // The code itself is never kept.
  std::string codeHash;
  std::string channel;  // the channel the last code went by; "" before the first
  Clock::time_point codeSentAt;
  int codeChecks = 0;  // checks of the last code: past the limit it is void
  int codesSent = 0;
  int checks = 0;  // verify calls
  // When codes went out in the last hour, oldest first: what limits the resends.
  std::vector<Clock::time_point> recentSends;
  bool verified = false;
  bool resolved = false;  // verified, back within the limits, or closed by an operator

  bool open() const { return !verified && !resolved; }
};

struct Identity {
  std::string id;
  std::string vendorId;
  nlohmann::json deviceInfo = nlohmann::json::object();
  Clock::time_point createdAt, lastSeenAt;
};

struct Project {
  std::string clientId;
  bool configured = false;   // set up by an operator, not only come into being with a request
  ProjectSettings settings;  // a name of "" stands for the client id
};

// A user of a project: what the rules decide over, one user at a time.
struct UserKey {
  std::string project;  // the client id
  std::string user;

  bool operator==(const UserKey&) const = default;
};

struct UserKeyHash {
  std::size_t operator()(const UserKey& key) const noexcept {
    return std::hash<std::string>()(key.project) * 31 ^ std::hash<std::string>()(key.user);
  }
};

// A device a user was seen with, by its vendor identifier, which outlives its device records.
struct KnownDevice {
  std::string vendorId;
  Clock::time_point firstSeenAt;
  // When the owner was told of it by e-mail (the epoch: never), and the short code that notice
  // carried, only as its HMAC under the code key (hex), which signs the device out until
  // `codeUntil`.
  Clock::time_point toldAt;
  std::string code;
  Clock::time_point codeUntil;
  // It passed an owner's verification: no limit logs it out by itself until then.
  Clock::time_point trustedUntil;

  bool trusted(Clock::time_point now) const { return now < trustedUntil; }
};

// Limits an operator set for one user in place of the project's, until `until` (the epoch: for
// good); a limit left out is the project's.
struct LimitOverride {
  std::optional<int> overall, mobile, tablet, computer;
  Clock::time_point until;

  bool activeAt(Clock::time_point now) const { return until == Clock::time_point{} || now < until; }
  bool operator==(const LimitOverride&) const = default;
};

// Everything stored of one user. `version` counts the changes written of the user: a change is
// decided on the records of one version and written only if they are still of that version.
struct UserRecord {
  UserKey key;
  std::uint64_t version = 0;  // 0: nothing of the user is stored yet
  UserProfile profile;
  std::vector<Device> devices;        // in order of first attach
  std::vector<Challenge> challenges;  // oldest first
  // When devices of the user were signed out by another of them (the device limiter, the
  // owner's device list), oldest first, within the project's window: what caps device changes.
  std::vector<Clock::time_point> deviceChanges;
  // The devices (by vendor identifier) the user was seen with, oldest first: a device record
  // goes with every detach, what the owner was told of and trusts stays with these.
  std::vector<KnownDevice> knownDevices;
  std::optional<LimitOverride> limitOverride;

  const KnownDevice* known(std::string_view vendorId) const;
  KnownDevice* known(std::string_view vendorId);

  Device* device(std::string_view id);
  const Device* device(std::string_view id) const;
  Challenge* challenge(std::string_view id);
  const Challenge* challenge(std::string_view id) const;
};

// A device that was detached, remembered for as long as its messages would have been kept: a
// stream of it that comes back (its app was away when the detach happened) still hears its
// logout order.
struct DetachedDevice {
  std::string id;
  std::string project;                // the client id
  std::vector<std::string> accesses;  // the access tokens it had
  std::uint64_t logoutId = 0;         // the event id of its logout order
  Clock::time_point detachedAt;
};

// A message waiting to leave the service, written in the same transaction as the change that
// caused it: a one-time code to deliver ("email" or "text") or an event for the project's webhook
// ("webhook"). Sent at least once by the delivery worker, retried with backoff until it is done
// or has failed for good.
enum class OutboxState { pending, done, failed };
std::string_view outboxStateName(OutboxState state);
std::optional<OutboxState> outboxStateFromName(std::string_view name);

struct OutboxMessage {
  std::string id;       // a webhook event's id; what a receiver de-duplicates by
  std::string kind;     // "email", "text" or "webhook"
  std::string project;  // the client id
  // JSON: a webhook event's body, or where a code goes and the code. A code's payload is wiped
  // of the code once the message is done or has failed.
  std::string payload;
  int attempts = 0;
  Clock::time_point createdAt, nextAttemptAt;
  std::string lastError;  // of the last attempt that failed; never a secret
  OutboxState state = OutboxState::pending;
};

// One security event: a code sent, rejected or voided, a request refused by a rate limit, a
// device evicted, an operator's change.
struct AuditEntry {
  std::uint64_t seq = 0;  // given by the store, larger for later entries
  Clock::time_point at;
  std::string project;  // the client id; "" for none
  std::string kind;     // e.g. "code.sent", "rate_limited", "admin.project"
  std::string subject;  // the user, device or address it concerns
  nlohmann::json detail = nlohmann::json::object();
};

// A key the app's backend calls part of the admin API with, for one project; kept only as a
// hash of it.
struct ProjectKey {
  std::string id;       // "key_...", what the key is listed and revoked by
  std::string project;  // the client id
  std::string hash;
  Clock::time_point createdAt, lastUsedAt;
};

// Someone who signs in to the console. `passwordHash` is an Argon2id string ("" until the
// password is set); the set-up token is kept as its hash, until it is used or `setupUntil`.
struct OperatorAccount {
  std::string name;
  std::string role;  // "owner", "operator" or "viewer"
  std::string passwordHash;
  std::string setupHash;
  Clock::time_point setupUntil, createdAt;
};

// How long a console session not seen is kept, whatever its own idle expiry: Store::prune()
// forgets it then.
inline constexpr std::chrono::days kSessionsKeptFor{30};

// A console session, kept as the hash of the cookie's value. `csrf` is the token every form of
// the session carries; `seenAt` moves with each request, for the idle expiry.
struct OperatorSession {
  std::string hash;
  std::string name;  // the operator's
  std::string csrf;
  Clock::time_point createdAt, seenAt;
};

// The console's overview, over every project: what is attached and open now, what happened
// since a time, and the instances that said they were alive lately.
struct OverviewFigures {
  std::size_t devices = 0, streams = 0;  // streams: devices with a stream open on an instance
  std::size_t challengesRaised = 0, challengesVerified = 0, codesSent = 0;
  std::size_t outboxPending = 0, outboxFailed = 0;
  // Devices by the minute of their latest attach, oldest minute first, one count a minute.
  std::vector<std::size_t> attachesByMinute;
  struct Instance {
    std::string id;
    Clock::time_point startedAt, beatAt;
  };
  std::vector<Instance> instances;
};

// How long audit entries are kept: the newest `keep` of them, none older than `maxAge`.
struct AuditRetention {
  std::size_t keep = 100'000;
  std::chrono::seconds maxAge{std::chrono::hours(24 * 90)};
};

}  // namespace zelk::server
