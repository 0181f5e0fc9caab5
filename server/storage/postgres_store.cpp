// SPDX-License-Identifier: Apache-2.0
// The PostgreSQL backend, shared by every instance pointed at the same database. Requests write
// through a pool of connections, each change in a transaction of its own, or in the unit of work
// the calling thread opened with lockUser(): a transaction that holds a lock on one user (an
// advisory lock on a hash of project and user, which every instance takes the same way) until
// commit() or rollback(). commit() also announces, inside the transaction so that it is heard
// only once the change is there, the devices that got messages and the projects written; one
// connection of the store's own LISTENs and hands those notices on.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <libpq-fe.h>

#include "storage/json_columns.hpp"
#include "storage/postgres.hpp"
#include "storage/store.hpp"

namespace zelk::server {
namespace {

using nlohmann::json;
using namespace columns;
using pg::Connection;
using pg::Params;
using pg::Result;

// The channel every instance announces on and listens to.
constexpr const char* kChannel = "zelk";
// The session-level advisory lock migrations run under (the two-key form, whose keys never meet
// the one-key locks taken on users).
constexpr const char* kMigrationLock = "SELECT pg_advisory_lock(2026, 10)";
constexpr const char* kMigrationUnlock = "SELECT pg_advisory_unlock(2026, 10)";
// How long a request waits for a free connection before it fails.
constexpr auto kPoolWait = std::chrono::seconds(10);

// Each entry brings the schema from version (index) to version (index + 1). Times are
// milliseconds since the epoch; JSON is kept as text, as the rules hand it over.
const std::vector<const char*> kMigrations = {
    R"sql(
CREATE SEQUENCE positions;
CREATE TABLE projects (
  client_id TEXT PRIMARY KEY,
  configured BOOLEAN NOT NULL,
  name TEXT NOT NULL,
  overall_limit INTEGER NOT NULL,
  mobile_limit INTEGER NOT NULL,
  tablet_limit INTEGER NOT NULL,
  computer_limit INTEGER NOT NULL,
  logo TEXT NOT NULL,
  primary_color TEXT NOT NULL,
  require_verification BOOLEAN NOT NULL,
  block_over_usage BOOLEAN NOT NULL,
  limit_policy TEXT NOT NULL,
  show_contacts BOOLEAN NOT NULL,
  liveness_grace INTEGER NOT NULL,
  webhook_url TEXT NOT NULL,
  webhook_secret TEXT NOT NULL
);
CREATE TABLE users (
  client_id TEXT NOT NULL,
  user_id TEXT NOT NULL,
  email TEXT NOT NULL,
  phone TEXT NOT NULL,
  PRIMARY KEY (client_id, user_id)
);
CREATE TABLE devices (
  id TEXT PRIMARY KEY,
  client_id TEXT NOT NULL,
  user_id TEXT NOT NULL,
  vendor_id TEXT NOT NULL,
  type TEXT NOT NULL,
  library TEXT NOT NULL,
  version TEXT NOT NULL,
  identity TEXT NOT NULL,
  accesses TEXT NOT NULL,
  device_info TEXT NOT NULL,
  metadata TEXT NOT NULL,
  attached_at BIGINT NOT NULL,
  last_seen_at BIGINT NOT NULL,
  last_event_id BIGINT NOT NULL,
  active_at BIGINT NOT NULL DEFAULT 0,
  position BIGINT NOT NULL DEFAULT nextval('positions')
);
CREATE INDEX devices_by_user ON devices (client_id, user_id);
CREATE TABLE identities (
  id TEXT PRIMARY KEY,
  client_id TEXT NOT NULL,
  vendor_id TEXT NOT NULL,
  device_info TEXT NOT NULL,
  created_at BIGINT NOT NULL,
  last_seen_at BIGINT NOT NULL
);
CREATE TABLE challenges (
  id TEXT PRIMARY KEY,
  client_id TEXT NOT NULL,
  user_id TEXT NOT NULL,
  reason TEXT NOT NULL,
  created_at BIGINT NOT NULL,
  code_hash TEXT NOT NULL,
  channel TEXT NOT NULL,
  codes_sent INTEGER NOT NULL,
  checks INTEGER NOT NULL,
  verified BOOLEAN NOT NULL,
  resolved BOOLEAN NOT NULL,
  code_sent_at BIGINT NOT NULL,
  code_checks INTEGER NOT NULL,
  recent_sends TEXT NOT NULL,
  position BIGINT NOT NULL DEFAULT nextval('positions')
);
CREATE INDEX challenges_by_user ON challenges (client_id, user_id);
CREATE TABLE messages (
  device_id TEXT NOT NULL,
  id BIGINT NOT NULL,
  sent_at BIGINT NOT NULL,
  data TEXT NOT NULL,
  PRIMARY KEY (device_id, id)
);
CREATE TABLE detached_devices (
  id TEXT PRIMARY KEY,
  client_id TEXT NOT NULL,
  accesses TEXT NOT NULL,
  logout_id BIGINT NOT NULL,
  detached_at BIGINT NOT NULL
);
CREATE TABLE outbox (
  id TEXT PRIMARY KEY,
  kind TEXT NOT NULL,
  client_id TEXT NOT NULL,
  payload TEXT NOT NULL,
  attempts INTEGER NOT NULL,
  created_at BIGINT NOT NULL,
  next_attempt_at BIGINT NOT NULL,
  last_error TEXT NOT NULL,
  state TEXT NOT NULL,
  added BIGSERIAL NOT NULL
);
CREATE INDEX outbox_by_state ON outbox (state, next_attempt_at);
CREATE TABLE audit (
  seq BIGSERIAL PRIMARY KEY,
  at BIGINT NOT NULL,
  client_id TEXT NOT NULL,
  kind TEXT NOT NULL,
  subject TEXT NOT NULL,
  detail TEXT NOT NULL
);
CREATE INDEX audit_by_project ON audit (client_id, seq);
CREATE INDEX audit_by_time ON audit (at);
)sql",
};

constexpr const char* kProjectColumns =
    "client_id, configured, name, overall_limit, mobile_limit, tablet_limit, computer_limit, "
    "logo, primary_color, require_verification, block_over_usage, limit_policy, show_contacts, "
    "liveness_grace, webhook_url, webhook_secret";

void readProjectRow(const Result& r, int i, Project& project) {
  project.configured = r.boolean(i, 1);
  ProjectSettings& s = project.settings;
  s.name = r.text(i, 2);
  s.overallLimit = static_cast<int>(r.integer(i, 3));
  s.mobileLimit = static_cast<int>(r.integer(i, 4));
  s.tabletLimit = static_cast<int>(r.integer(i, 5));
  s.computerLimit = static_cast<int>(r.integer(i, 6));
  s.logo = r.text(i, 7);
  s.primaryColor = r.text(i, 8);
  s.requireVerification = r.boolean(i, 9);
  s.blockOverUsage = r.boolean(i, 10);
  s.limitPolicy = limitPolicyFromName(r.text(i, 11)).value_or(LimitPolicy::challenge);
  s.showContacts = r.boolean(i, 12);
  s.livenessGraceSeconds = static_cast<int>(r.integer(i, 13));
  s.webhookUrl = r.text(i, 14);
  s.webhookSecret = r.text(i, 15);
}

// Column 0 is the owner's client id and 1 the user; the device's own start at 2.
constexpr const char* kDeviceColumns =
    "client_id, user_id, id, vendor_id, type, library, version, identity, accesses, "
    "device_info, metadata, attached_at, last_seen_at, last_event_id, active_at";

Device readDeviceRow(const Result& r, int i) {
  Device device;
  device.id = r.text(i, 2);
  device.vendorId = r.text(i, 3);
  device.type = deviceTypeFromName(r.text(i, 4));
  device.library = r.text(i, 5);
  device.version = r.text(i, 6);
  device.identity = r.text(i, 7);
  device.accesses = stringsOf(r.text(i, 8));
  device.deviceInfo = SharedJSON::fromText(r.text(i, 9));
  device.metadata = SharedJSON::fromText(r.text(i, 10));
  device.attachedAt = fromMillis(r.integer(i, 11));
  device.lastSeenAt = fromMillis(r.integer(i, 12));
  device.lastEventId = static_cast<std::uint64_t>(r.integer(i, 13));
  device.activeAt = fromMillis(r.integer(i, 14));
  return device;
}

constexpr const char* kChallengeColumns =
    "id, client_id, user_id, reason, created_at, code_hash, channel, codes_sent, checks, "
    "verified, resolved, code_sent_at, code_checks, recent_sends";

Challenge readChallengeRow(const Result& r, int i) {
  Challenge c;
  c.id = r.text(i, 0);
  c.project = r.text(i, 1);
  c.user = r.text(i, 2);
  c.reason = r.text(i, 3);
  c.createdAt = fromMillis(r.integer(i, 4));
  c.codeHash = r.text(i, 5);
  c.channel = r.text(i, 6);
  c.codesSent = static_cast<int>(r.integer(i, 7));
  c.checks = static_cast<int>(r.integer(i, 8));
  c.verified = r.boolean(i, 9);
  c.resolved = r.boolean(i, 10);
  c.codeSentAt = fromMillis(r.integer(i, 11));
  c.codeChecks = static_cast<int>(r.integer(i, 12));
  c.recentSends = sendTimesOf(r.text(i, 13));
  return c;
}

constexpr const char* kDetachedColumns = "id, client_id, accesses, logout_id, detached_at";

DetachedDevice readDetachedRow(const Result& r, int i) {
  DetachedDevice device;
  device.id = r.text(i, 0);
  device.project = r.text(i, 1);
  device.accesses = stringsOf(r.text(i, 2));
  device.logoutId = static_cast<std::uint64_t>(r.integer(i, 3));
  device.detachedAt = fromMillis(r.integer(i, 4));
  return device;
}

// What the session lock a delivery worker holds on a message it attempts is named after (see
// dueMessages()), before the message's id.
constexpr const char* kOutboxClaimKey = "zelk outbox ";

constexpr const char* kOutboxColumns =
    "id, kind, client_id, payload, attempts, created_at, next_attempt_at, last_error, state";

OutboxMessage readOutboxRow(const Result& r, int i) {
  OutboxMessage message;
  message.id = r.text(i, 0);
  message.kind = r.text(i, 1);
  message.project = r.text(i, 2);
  message.payload = r.text(i, 3);
  message.attempts = static_cast<int>(r.integer(i, 4));
  message.createdAt = fromMillis(r.integer(i, 5));
  message.nextAttemptAt = fromMillis(r.integer(i, 6));
  message.lastError = r.text(i, 7);
  message.state = outboxStateFromName(r.text(i, 8)).value_or(OutboxState::failed);
  return message;
}

std::string sql(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (auto part : parts) text += part;
  return text;
}

class PostgresStore final : public Store {
 public:
  PostgresStore(std::string url, int connections)
      : url_(std::move(url)), where_(pg::whereOf(url_)), size_(std::max(1, connections)) {
    auto conn = Connection::open(url_, where_);
    migrate(*conn);
    idle_.push_back(std::move(conn));
    open_ = 1;
  }

  ~PostgresStore() override { stopListening(); }

  std::string describe() const override { return "postgres " + where_; }

  bool shared() const override { return true; }

  Dataset load() override {
    Dataset data;
    withTransaction("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", [&](Connection& conn) {
      Result projects = conn.query(sql({"SELECT ", kProjectColumns, " FROM projects"}).c_str());
      for (int i = 0; i < projects.rows(); ++i)
        readProjectRow(projects, i, data.projects[projects.text(i, 0)]);
      Result users = conn.query("SELECT client_id, user_id, email, phone FROM users");
      for (int i = 0; i < users.rows(); ++i) {
        User& user = data.projects[users.text(i, 0)].users[users.text(i, 1)];
        user.profile.email = users.text(i, 2);
        user.profile.phone = users.text(i, 3);
      }
      Result devices =
          conn.query(sql({"SELECT ", kDeviceColumns, " FROM devices ORDER BY position"}).c_str());
      for (int i = 0; i < devices.rows(); ++i) {
        data.projects[devices.text(i, 0)].users[devices.text(i, 1)].devices.push_back(
            readDeviceRow(devices, i));
      }
      std::unordered_map<std::string, Device*> byId;
      for (auto& [clientId, project] : data.projects) {
        for (auto& [name, user] : project.users) {
          for (Device& device : user.devices) byId[device.id] = &device;
        }
      }
      Result messages =
          conn.query("SELECT device_id, id, sent_at, data FROM messages ORDER BY device_id, id");
      for (int i = 0; i < messages.rows(); ++i) {
        auto device = byId.find(messages.text(i, 0));
        if (device == byId.end()) continue;
        device->second->messages.push_back({static_cast<std::uint64_t>(messages.integer(i, 1)),
                                            fromMillis(messages.integer(i, 2)),
                                            messages.text(i, 3)});
      }
      Result identities = conn.query(
          "SELECT id, client_id, vendor_id, device_info, created_at, last_seen_at FROM identities");
      for (int i = 0; i < identities.rows(); ++i) {
        Project& project = data.projects[identities.text(i, 1)];
        Identity identity;
        identity.id = identities.text(i, 0);
        identity.vendorId = identities.text(i, 2);
        identity.deviceInfo = parseJSON(identities.text(i, 3), json::object());
        identity.createdAt = fromMillis(identities.integer(i, 4));
        identity.lastSeenAt = fromMillis(identities.integer(i, 5));
        project.identityByVendorId[identity.vendorId] = identity.id;
        project.identities[identity.id] = std::move(identity);
      }
      Result challenges = conn.query(
          sql({"SELECT ", kChallengeColumns, " FROM challenges ORDER BY position"}).c_str());
      for (int i = 0; i < challenges.rows(); ++i) {
        Challenge challenge = readChallengeRow(challenges, i);
        data.projects[challenge.project].users[challenge.user].challenges.push_back(challenge.id);
        data.challenges[challenge.id] = std::move(challenge);
      }
      Result detached = conn.query(
          sql({"SELECT ", kDetachedColumns, " FROM detached_devices WHERE detached_at >= $1"})
              .c_str(),
          Params().add(toMillis(Clock::now() - kKeptMessagesFor)));
      for (int i = 0; i < detached.rows(); ++i) {
        DetachedDevice device = readDetachedRow(detached, i);
        data.detached.emplace(device.id, std::move(device));
      }
    });
    return data;
  }

  void commit(const Changes& changes) override {
    if (auto unit = takeUnit()) {
      finishUnit(std::move(*unit), [&](Connection& conn) { write(conn, changes); });
      return;
    }
    if (changes.empty()) return;
    withTransaction("BEGIN", [&](Connection& conn) { write(conn, changes); });
  }

  void commitAll(const std::vector<Changes>& batch) override {
    const auto writeAll = [&](Connection& conn) {
      for (const Changes& changes : batch) write(conn, changes);
    };
    if (auto unit = takeUnit()) {
      finishUnit(std::move(*unit), writeAll);
      return;
    }
    withTransaction("BEGIN", writeAll);
  }

  bool ready() override {
    if (inUnit()) return true;
    std::unique_ptr<Connection> conn;
    try {
      conn = acquire(std::chrono::seconds(1));
    } catch (const PoolBusy&) {
      return true;  // every connection is busy with a request: the database answers
    } catch (const StoreError&) {
      return false;
    }
    // A connection the server dropped while it lay in the pool tells only now; a new one says
    // whether the database is back.
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        if (!conn) conn = acquire(std::chrono::seconds(1));
        conn->execute("SELECT 1");
        release(std::move(conn));
        return true;
      } catch (const PoolBusy&) {
        return true;
      } catch (const StoreError&) {
        const bool lost = conn && conn->broken();
        release(std::move(conn));
        if (!lost) return false;
      }
    }
    return false;
  }

  SharedUser lockUser(const std::string& project, const std::string& user) override {
    std::optional<Unit> unit = takeUnit();
    if (!unit) {
      unit.emplace();
      unit->conn = acquireBegun("BEGIN");
    }
    try {
      Connection& conn = *unit->conn;
      conn.query("SELECT pg_advisory_xact_lock(hashtextextended($1, 0))",
                 Params().add(project + '\n' + user));
      SharedUser found = readUser(conn, project, user);
      putUnit(std::move(*unit));
      return found;
    } catch (...) {
      abandon(std::move(unit->conn));
      throw;
    }
  }

  void rollback() override {
    if (auto unit = takeUnit()) abandon(std::move(unit->conn));
  }

  std::optional<Project> readProject(const std::string& clientId) override {
    std::optional<Project> found;
    withConnection([&](Connection& conn) {
      Result r = conn.query(
          sql({"SELECT ", kProjectColumns, " FROM projects WHERE client_id = $1"}).c_str(),
          Params().add(clientId));
      if (r.rows() == 0) return;
      found.emplace();
      readProjectRow(r, 0, *found);
    });
    return found;
  }

  std::optional<Owner> deviceOwner(const std::string& deviceId) override {
    return ownerFrom("SELECT client_id, user_id FROM devices WHERE id = $1", deviceId);
  }

  std::optional<Owner> challengeOwner(const std::string& challengeId) override {
    return ownerFrom("SELECT client_id, user_id FROM challenges WHERE id = $1", challengeId);
  }

  std::optional<DetachedDevice> readDetached(const std::string& deviceId) override {
    std::optional<DetachedDevice> found;
    withConnection([&](Connection& conn) {
      Result r = conn.query(sql({"SELECT ", kDetachedColumns,
                                 " FROM detached_devices WHERE id = $1 AND detached_at >= $2"})
                                .c_str(),
                            Params().add(deviceId).add(toMillis(Clock::now() - kKeptMessagesFor)));
      if (r.rows() > 0) found = readDetachedRow(r, 0);
    });
    return found;
  }

  std::vector<KeptMessage> messagesAfter(const std::string& deviceId,
                                         std::uint64_t after) override {
    std::vector<KeptMessage> found;
    withConnection([&](Connection& conn) {
      Result r = conn.query(
          "SELECT id, sent_at, data FROM messages WHERE device_id = $1 AND id > $2 ORDER BY id",
          Params().add(deviceId).add(after));
      for (int i = 0; i < r.rows(); ++i) {
        found.push_back({static_cast<std::uint64_t>(r.integer(i, 0)), fromMillis(r.integer(i, 1)),
                         r.text(i, 2)});
      }
    });
    return found;
  }

  void markActive(const std::vector<std::string>& deviceIds, Clock::time_point at) override {
    if (deviceIds.empty()) return;
    withConnection([&](Connection& conn) {
      conn.query(
          "UPDATE devices SET active_at = greatest(active_at, $2) WHERE id = ANY($1::text[])",
          Params().addArray(deviceIds).add(toMillis(at)));
    });
  }

  void listen(std::function<void(const StoreNotice&)> onNotice) override {
    std::lock_guard lock(listenMutex_);
    if (listener_.joinable()) return;
    if (::pipe(wake_) != 0) throw StoreError("postgres " + where_ + ": cannot make a pipe");
    stopping_ = false;
    firstTry_ = false;
    listener_ = std::thread([this, onNotice = std::move(onNotice)] { listenLoop(onNotice); });
    // The instance serves once this returns: a notice committed before the connection listened
    // would go unheard, and no resync would follow (none was missed on a connection never lost).
    // So the first try is waited for; when it fails, the resync comes once a later one works.
    std::unique_lock state(poolMutex_);
    firstTried_.wait_for(state, std::chrono::seconds(10), [this] { return firstTry_; });
  }

  void stopListening() override {
    std::lock_guard lock(listenMutex_);
    if (!listener_.joinable()) return;
    {
      std::lock_guard stateLock(poolMutex_);
      stopping_ = true;
    }
    backoff_.notify_all();
    const char byte = 0;
    [[maybe_unused]] const auto written = ::write(wake_[1], &byte, 1);
    listener_.join();
    ::close(wake_[0]);
    ::close(wake_[1]);
    wake_[0] = wake_[1] = -1;
  }

  void appendMetrics(std::string& page) override {
    std::size_t open = 0, idle = 0;
    std::uint64_t waits = 0, broken = 0;
    {
      std::lock_guard lock(poolMutex_);
      open = open_;
      idle = idle_.size();
      waits = waits_;
      broken = broken_;
    }
    const auto gauge = [&page](const char* name, const char* help, std::uint64_t value,
                               const char* type) {
      page += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" +
              name + " " + std::to_string(value) + "\n";
    };
    gauge("zelk_db_pool_size", "Connections the database pool may open.",
          static_cast<std::uint64_t>(size_), "gauge");
    gauge("zelk_db_pool_open", "Connections the database pool has open.", open, "gauge");
    gauge("zelk_db_pool_in_use", "Connections of the pool serving a request now.", open - idle,
          "gauge");
    gauge("zelk_db_pool_waits_total", "Times a request waited for a free connection.", waits,
          "counter");
    gauge("zelk_db_connections_broken_total", "Connections found broken and replaced.", broken,
          "counter");
    gauge("zelk_db_notices_total", "Notices heard on the listening connection.",
          notices_.load(std::memory_order_relaxed), "counter");
    gauge("zelk_db_listen_connected",
          "Whether the connection that hears other instances is up (1) or not (0).",
          listening_.load(std::memory_order_relaxed) ? 1 : 0, "gauge");
    gauge("zelk_db_listen_reconnects_total", "Times the listening connection was lost and back.",
          reconnects_.load(std::memory_order_relaxed), "counter");
  }

  // Every instance's delivery worker asks: each due message is handed to one of them only. The
  // worker that takes it holds a session lock on it, on a connection of its own, until it
  // writes the message back (updateMessage()); a worker that dies loses its connection, and the
  // message is due for another one at once, so it still goes at least once.
  std::vector<OutboxMessage> dueMessages(Clock::time_point now, std::size_t max) override {
    std::lock_guard lock(claimsMutex_);
    std::vector<OutboxMessage> found;
    try {
      if (!claims_ || claims_->broken()) {
        claims_.reset();
        claimed_.clear();  // the locks went with the connection
        claims_ = Connection::open(url_, where_);
      }
      Connection& conn = *claims_;
      // Some of the first due ones may be taken by other workers: a few more are looked at.
      Result r =
          conn.query(sql({"SELECT ", kOutboxColumns,
                          " FROM outbox WHERE state = 'pending' AND next_attempt_at <= $1 "
                          "ORDER BY next_attempt_at LIMIT $2"})
                         .c_str(),
                     Params().add(toMillis(now)).add(static_cast<std::uint64_t>(max * 4 + 8)));
      for (int i = 0; i < r.rows() && found.size() < max; ++i) {
        OutboxMessage message = readOutboxRow(r, i);
        if (claimed_.contains(message.id)) continue;  // this worker's already
        Result taken = conn.query("SELECT pg_try_advisory_lock(hashtextextended($1, 0))",
                                  Params().add(kOutboxClaimKey + message.id));
        if (taken.text(0, 0) != "t") continue;
        // Written back by another worker between the read and the lock?
        Result again = conn.query(
            "SELECT 1 FROM outbox WHERE id = $1 AND state = 'pending' AND next_attempt_at <= $2",
            Params().add(message.id).add(toMillis(now)));
        if (again.rows() == 0) {
          conn.query("SELECT pg_advisory_unlock(hashtextextended($1, 0))",
                     Params().add(kOutboxClaimKey + message.id));
          continue;
        }
        claimed_.insert(message.id);
        found.push_back(std::move(message));
      }
    } catch (const StoreError&) {
      claims_.reset();
      claimed_.clear();
      throw;
    }
    return found;
  }

  std::optional<Clock::time_point> nextDue() override {
    std::optional<Clock::time_point> when;
    withConnection([&](Connection& conn) {
      Result r = conn.query("SELECT min(next_attempt_at) FROM outbox WHERE state = 'pending'");
      if (r.rows() > 0 && !r.null(0, 0)) when = fromMillis(r.integer(0, 0));
    });
    return when;
  }

  void updateMessage(const OutboxMessage& message) override {
    withConnection([&](Connection& conn) {
      conn.query(
          "UPDATE outbox SET payload = $2, attempts = $3, next_attempt_at = $4, last_error = $5, "
          "state = $6 WHERE id = $1",
          Params()
              .add(message.id)
              .add(message.payload)
              .add(message.attempts)
              .add(toMillis(message.nextAttemptAt))
              .add(message.lastError)
              .add(std::string(outboxStateName(message.state))));
    });
    // Written back: another worker may take it when it is due again.
    std::lock_guard lock(claimsMutex_);
    if (!claimed_.erase(message.id) || !claims_) return;
    try {
      claims_->query("SELECT pg_advisory_unlock(hashtextextended($1, 0))",
                     Params().add(kOutboxClaimKey + message.id));
    } catch (const StoreError&) {
      // Lost with the connection anyway.
      claims_.reset();
      claimed_.clear();
    }
  }

  std::vector<OutboxMessage> messages(std::optional<OutboxState> state, std::size_t max) override {
    std::vector<OutboxMessage> found;
    withConnection([&](Connection& conn) {
      Result r = conn.query(sql({"SELECT ", kOutboxColumns,
                                 " FROM outbox WHERE $1 = '' OR state = $1 "
                                 "ORDER BY created_at DESC, added DESC LIMIT $2"})
                                .c_str(),
                            Params()
                                .add(state ? std::string(outboxStateName(*state)) : std::string())
                                .add(static_cast<std::uint64_t>(max)));
      for (int i = 0; i < r.rows(); ++i) found.push_back(readOutboxRow(r, i));
    });
    return found;
  }

  void purgeMessages(Clock::time_point doneBefore, Clock::time_point failedBefore) override {
    withConnection([&](Connection& conn) {
      conn.query(
          "DELETE FROM outbox WHERE (state = 'done' AND next_attempt_at < $1) OR "
          "(state = 'failed' AND next_attempt_at < $2)",
          Params().add(toMillis(doneBefore)).add(toMillis(failedBefore)));
    });
  }

  void setAuditRetention(AuditRetention retention) override {
    std::lock_guard lock(poolMutex_);
    retention_ = retention;
  }

  std::vector<AuditEntry> auditEntries(const std::string& project, std::uint64_t before,
                                       std::size_t max) override {
    std::vector<AuditEntry> found;
    withConnection([&](Connection& conn) {
      Result r = conn.query(
          "SELECT seq, at, client_id, kind, subject, detail FROM audit WHERE "
          "($1 = '' OR client_id = $1) AND ($2 = 0 OR seq < $2) ORDER BY seq DESC LIMIT $3",
          Params().add(project).add(before).add(static_cast<std::uint64_t>(max)));
      for (int i = 0; i < r.rows(); ++i) {
        AuditEntry entry;
        entry.seq = static_cast<std::uint64_t>(r.integer(i, 0));
        entry.at = fromMillis(r.integer(i, 1));
        entry.project = r.text(i, 2);
        entry.kind = r.text(i, 3);
        entry.subject = r.text(i, 4);
        entry.detail = parseJSON(r.text(i, 5), json::object());
        found.push_back(std::move(entry));
      }
    });
    return found;
  }

 private:
  // A connection with a transaction open and user locks held, bound to the thread that opened it.
  struct Unit {
    std::unique_ptr<Connection> conn;
  };
  // Every connection is busy (as opposed to the database being unreachable).
  struct PoolBusy : StoreError {
    using StoreError::StoreError;
  };

  // --- the pool ---

  std::unique_ptr<Connection> acquire(std::chrono::steady_clock::duration wait) {
    std::unique_lock lock(poolMutex_);
    if (idle_.empty() && open_ >= size_) {
      ++waits_;
      if (!available_.wait_for(lock, wait, [this] { return !idle_.empty() || open_ < size_; }))
        throw PoolBusy("postgres " + where_ + ": all " + std::to_string(size_) +
                       " connections are busy");
    }
    if (!idle_.empty()) {
      auto conn = std::move(idle_.back());
      idle_.pop_back();
      if (!conn->broken()) return conn;
      ++broken_;
      --open_;
    }
    ++open_;  // counted while it opens, so that the pool never opens more than its size
    lock.unlock();
    try {
      return Connection::open(url_, where_);
    } catch (...) {
      lock.lock();
      --open_;
      available_.notify_one();
      throw;
    }
  }

  // Gives a connection back; one that is lost or still inside a transaction is closed instead.
  void release(std::unique_ptr<Connection> conn) {
    if (!conn) return;
    const bool reusable = !conn->broken() && conn->idle();
    std::lock_guard lock(poolMutex_);
    if (reusable) {
      idle_.push_back(std::move(conn));
    } else {
      if (conn->broken()) ++broken_;
      --open_;
      conn.reset();
    }
    available_.notify_one();
  }

  // Rolls back what a connection has begun and gives it back.
  void abandon(std::unique_ptr<Connection> conn) {
    if (!conn) return;
    if (!conn->broken() && !conn->idle()) {
      try {
        conn->execute("ROLLBACK");
      } catch (const StoreError&) {
      }
    }
    release(std::move(conn));
  }

  // --- the calling thread's unit of work ---

  bool inUnit() {
    std::lock_guard lock(unitsMutex_);
    return units_.contains(std::this_thread::get_id());
  }

  std::optional<Unit> takeUnit() {
    std::lock_guard lock(unitsMutex_);
    auto found = units_.find(std::this_thread::get_id());
    if (found == units_.end()) return std::nullopt;
    Unit unit = std::move(found->second);
    units_.erase(found);
    return unit;
  }

  void putUnit(Unit unit) {
    std::lock_guard lock(unitsMutex_);
    units_[std::this_thread::get_id()] = std::move(unit);
  }

  template <typename Write>
  void finishUnit(Unit unit, Write&& writeChanges) {
    try {
      writeChanges(*unit.conn);
      unit.conn->execute("COMMIT");
    } catch (...) {
      abandon(std::move(unit.conn));
      throw;
    }
    release(std::move(unit.conn));
  }

  // Runs `body` on the calling thread's unit of work when it has one, else on a pooled
  // connection (in autocommit).
  template <typename Body>
  void withConnection(Body&& body) {
    {
      std::unique_lock lock(unitsMutex_);
      auto found = units_.find(std::this_thread::get_id());
      if (found != units_.end()) {
        Connection& conn = *found->second.conn;
        lock.unlock();
        body(conn);
        return;
      }
    }
    // What runs here only reads or writes the same values again, so a connection found lost
    // (the server restarted since it was last used) is replaced and the body run once more.
    for (int attempt = 0;; ++attempt) {
      auto conn = acquire(kPoolWait);
      try {
        body(*conn);
      } catch (const StoreError&) {
        const bool lost = conn->broken();
        release(std::move(conn));
        if (lost && attempt == 0) continue;
        throw;
      } catch (...) {
        release(std::move(conn));
        throw;
      }
      release(std::move(conn));
      return;
    }
  }

  // A pooled connection with a transaction begun; one found lost at BEGIN, before anything was
  // written on it, is replaced once.
  std::unique_ptr<Connection> acquireBegun(const char* begin) {
    for (int attempt = 0;; ++attempt) {
      auto conn = acquire(kPoolWait);
      try {
        conn->execute(begin);
        return conn;
      } catch (const StoreError&) {
        const bool lost = conn->broken();
        release(std::move(conn));
        if (!lost || attempt > 0) throw;
      }
    }
  }

  // Runs `body` in a transaction of its own on a pooled connection.
  template <typename Body>
  void withTransaction(const char* begin, Body&& body) {
    auto conn = acquireBegun(begin);
    try {
      body(*conn);
      conn->execute("COMMIT");
    } catch (...) {
      abandon(std::move(conn));
      throw;
    }
    release(std::move(conn));
  }

  // --- reads ---

  std::optional<Owner> ownerFrom(const char* query, const std::string& id) {
    std::optional<Owner> found;
    withConnection([&](Connection& conn) {
      Result r = conn.query(query, Params().add(id));
      if (r.rows() > 0) found = Owner{r.text(0, 0), r.text(0, 1)};
    });
    return found;
  }

  SharedUser readUser(Connection& conn, const std::string& project, const std::string& user) {
    SharedUser found;
    Result p =
        conn.query(sql({"SELECT ", kProjectColumns, " FROM projects WHERE client_id = $1"}).c_str(),
                   Params().add(project));
    if (p.rows() > 0) {
      found.projectExists = true;
      readProjectRow(p, 0, found.project);
    }
    Result u = conn.query("SELECT email, phone FROM users WHERE client_id = $1 AND user_id = $2",
                          Params().add(project).add(user));
    if (u.rows() > 0) {
      found.user.profile.email = u.text(0, 0);
      found.user.profile.phone = u.text(0, 1);
    }
    Result d = conn.query(sql({"SELECT ", kDeviceColumns,
                               " FROM devices WHERE client_id = $1 AND user_id = $2 "
                               "ORDER BY position"})
                              .c_str(),
                          Params().add(project).add(user));
    std::vector<std::string> ids;
    for (int i = 0; i < d.rows(); ++i) {
      found.user.devices.push_back(readDeviceRow(d, i));
      ids.push_back(found.user.devices.back().id);
    }
    if (!ids.empty()) {
      Result m = conn.query(
          "SELECT device_id, id, sent_at, data FROM messages WHERE device_id = ANY($1::text[]) "
          "ORDER BY device_id, id",
          Params().addArray(ids));
      std::unordered_map<std::string, Device*> byId;
      for (Device& device : found.user.devices) byId[device.id] = &device;
      for (int i = 0; i < m.rows(); ++i) {
        auto device = byId.find(m.text(i, 0));
        if (device == byId.end()) continue;
        device->second->messages.push_back({static_cast<std::uint64_t>(m.integer(i, 1)),
                                            fromMillis(m.integer(i, 2)), m.text(i, 3)});
      }
    }
    Result c = conn.query(sql({"SELECT ", kChallengeColumns,
                               " FROM challenges WHERE client_id = $1 AND user_id = $2 "
                               "ORDER BY position"})
                              .c_str(),
                          Params().add(project).add(user));
    for (int i = 0; i < c.rows(); ++i) {
      found.challenges.push_back(readChallengeRow(c, i));
      found.user.challenges.push_back(found.challenges.back().id);
    }
    return found;
  }

  // --- writes ---

  void write(Connection& conn, const Changes& changes) {
    std::set<std::string> notices;
    for (const auto& row : changes.projects) {
      const ProjectSettings& s = row.settings;
      conn.query(
          "INSERT INTO projects (client_id, configured, name, overall_limit, mobile_limit, "
          "tablet_limit, computer_limit, logo, primary_color, require_verification, "
          "block_over_usage, limit_policy, show_contacts, liveness_grace, webhook_url, "
          "webhook_secret) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, "
          "$15, $16) ON CONFLICT (client_id) DO UPDATE SET configured = $2, name = $3, "
          "overall_limit = $4, mobile_limit = $5, tablet_limit = $6, computer_limit = $7, "
          "logo = $8, primary_color = $9, require_verification = $10, block_over_usage = $11, "
          "limit_policy = $12, show_contacts = $13, liveness_grace = $14, webhook_url = $15, "
          "webhook_secret = $16",
          Params()
              .add(row.clientId)
              .add(row.configured)
              .add(s.name)
              .add(s.overallLimit)
              .add(s.mobileLimit)
              .add(s.tabletLimit)
              .add(s.computerLimit)
              .add(s.logo)
              .add(s.primaryColor)
              .add(s.requireVerification)
              .add(s.blockOverUsage)
              .add(std::string(limitPolicyName(s.limitPolicy)))
              .add(s.showContacts)
              .add(s.livenessGraceSeconds)
              .add(s.webhookUrl)
              .add(s.webhookSecret));
      notices.insert("p:" + row.clientId);
    }
    for (const auto& row : changes.users) {
      conn.query(
          "INSERT INTO users (client_id, user_id, email, phone) VALUES ($1, $2, $3, $4) "
          "ON CONFLICT (client_id, user_id) DO UPDATE SET email = $3, phone = $4",
          Params().add(row.clientId).add(row.user).add(row.profile.email).add(row.profile.phone));
    }
    if (!changes.removedDevices.empty()) {
      Params ids;
      ids.addArray(changes.removedDevices);
      conn.query("DELETE FROM devices WHERE id = ANY($1::text[])", ids);
      conn.query("DELETE FROM messages WHERE device_id = ANY($1::text[])", ids);
      for (const auto& id : changes.removedDevices) notices.insert("m:" + id);
    }
    for (const auto& d : changes.devices) {
      conn.query(
          "INSERT INTO devices (id, client_id, user_id, vendor_id, type, library, version, "
          "identity, accesses, device_info, metadata, attached_at, last_seen_at, last_event_id, "
          "active_at) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15) "
          "ON CONFLICT (id) DO UPDATE SET vendor_id = $4, type = $5, library = $6, version = $7, "
          "identity = $8, accesses = $9, device_info = $10, metadata = $11, last_seen_at = $13, "
          "last_event_id = $14, active_at = greatest(devices.active_at, $15)",
          Params()
              .add(d.id)
              .add(d.clientId)
              .add(d.user)
              .add(d.vendorId)
              .add(std::string(deviceTypeName(d.type)))
              .add(d.library)
              .add(d.version)
              .add(d.identity)
              .add(d.accesses)
              .add(d.deviceInfo.text())
              .add(d.metadata.text())
              .add(toMillis(d.attachedAt))
              .add(toMillis(d.lastSeenAt))
              .add(d.lastEventId)
              .add(toMillis(d.activeAt)));
    }
    for (const auto& row : changes.identities) {
      const Identity& i = row.identity;
      conn.query(
          "INSERT INTO identities (id, client_id, vendor_id, device_info, created_at, "
          "last_seen_at) VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (id) DO UPDATE SET "
          "client_id = $2, vendor_id = $3, device_info = $4, created_at = $5, last_seen_at = $6",
          Params()
              .add(i.id)
              .add(row.clientId)
              .add(i.vendorId)
              .add(dumpJSON(i.deviceInfo))
              .add(toMillis(i.createdAt))
              .add(toMillis(i.lastSeenAt)));
    }
    for (const Challenge& c : changes.challenges) {
      conn.query(
          "INSERT INTO challenges (id, client_id, user_id, reason, created_at, code_hash, "
          "channel, codes_sent, checks, verified, resolved, code_sent_at, code_checks, "
          "recent_sends) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14) "
          "ON CONFLICT (id) DO UPDATE SET code_hash = $6, channel = $7, codes_sent = $8, "
          "checks = $9, verified = $10, resolved = $11, code_sent_at = $12, code_checks = $13, "
          "recent_sends = $14",
          Params()
              .add(c.id)
              .add(c.project)
              .add(c.user)
              .add(c.reason)
              .add(toMillis(c.createdAt))
              .add(c.codeHash)
              .add(c.channel)
              .add(c.codesSent)
              .add(c.checks)
              .add(c.verified)
              .add(c.resolved)
              .add(toMillis(c.codeSentAt))
              .add(c.codeChecks)
              .add(sendTimesJSON(c)));
    }
    for (const auto& row : changes.messages) {
      conn.query(
          "INSERT INTO messages (device_id, id, sent_at, data) VALUES ($1, $2, $3, $4) "
          "ON CONFLICT (device_id, id) DO UPDATE SET sent_at = $3, data = $4",
          Params()
              .add(row.deviceId)
              .add(row.message.id)
              .add(toMillis(row.message.sentAt))
              .add(row.message.data));
      notices.insert("m:" + row.deviceId);
    }
    for (const auto& row : changes.eventIds) {
      conn.query("UPDATE devices SET last_event_id = $2 WHERE id = $1",
                 Params().add(row.deviceId).add(row.lastEventId));
    }
    if (!changes.forgottenDetached.empty()) {
      conn.query("DELETE FROM detached_devices WHERE id = ANY($1::text[])",
                 Params().addArray(changes.forgottenDetached));
    }
    for (const DetachedDevice& d : changes.detached) {
      conn.query(
          "INSERT INTO detached_devices (id, client_id, accesses, logout_id, detached_at) "
          "VALUES ($1, $2, $3, $4, $5) ON CONFLICT (id) DO UPDATE SET client_id = $2, "
          "accesses = $3, logout_id = $4, detached_at = $5",
          Params()
              .add(d.id)
              .add(d.project)
              .add(dumpJSON(d.accesses))
              .add(d.logoutId)
              .add(toMillis(d.detachedAt)));
      notices.insert("m:" + d.id);
    }
    for (const OutboxMessage& m : changes.outbox) {
      conn.query(
          "INSERT INTO outbox (id, kind, client_id, payload, attempts, created_at, "
          "next_attempt_at, last_error, state) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9) "
          "ON CONFLICT (id) DO UPDATE SET kind = $2, client_id = $3, payload = $4, "
          "attempts = $5, created_at = $6, next_attempt_at = $7, last_error = $8, state = $9",
          Params()
              .add(m.id)
              .add(m.kind)
              .add(m.project)
              .add(m.payload)
              .add(m.attempts)
              .add(toMillis(m.createdAt))
              .add(toMillis(m.nextAttemptAt))
              .add(m.lastError)
              .add(std::string(outboxStateName(m.state))));
    }
    for (const AuditEntry& entry : changes.audit) {
      conn.query(
          "INSERT INTO audit (at, client_id, kind, subject, detail) VALUES ($1, $2, $3, $4, $5)",
          Params()
              .add(toMillis(entry.at))
              .add(entry.project)
              .add(entry.kind)
              .add(entry.subject)
              .add(dumpJSON(entry.detail)));
    }
    if (!changes.audit.empty()) {
      AuditRetention retention;
      {
        std::lock_guard lock(poolMutex_);
        retention = retention_;
      }
      conn.query("DELETE FROM audit WHERE seq <= (SELECT max(seq) FROM audit) - $1 OR at < $2",
                 Params()
                     .add(static_cast<std::uint64_t>(retention.keep))
                     .add(toMillis(Clock::now() - retention.maxAge)));
    }
    for (const auto& trim : changes.trims) {
      conn.query("DELETE FROM messages WHERE device_id = $1 AND (id <= $2 OR sent_at < $3)",
                 Params().add(trim.deviceId).add(trim.throughId).add(toMillis(trim.before)));
    }
    // Heard by every instance once this transaction commits, and never if it does not.
    for (const std::string& notice : notices) {
      conn.query("SELECT pg_notify($1, $2)", Params().add(kChannel).add(notice));
    }
  }

  // --- migrations ---

  void migrate(Connection& conn) {
    conn.execute(kMigrationLock);
    try {
      conn.execute("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
      Result current = conn.query("SELECT coalesce(max(version), 0) FROM schema_version");
      const std::int64_t version = current.rows() ? current.integer(0, 0) : 0;
      if (version > static_cast<std::int64_t>(kMigrations.size()))
        throw StoreError("postgres " + where_ +
                         " was written by a newer zelk-server (schema version " +
                         std::to_string(version) + ")");
      for (auto next = static_cast<std::size_t>(version); next < kMigrations.size(); ++next) {
        conn.execute("BEGIN");
        try {
          conn.execute(kMigrations[next]);
          conn.query("INSERT INTO schema_version (version) VALUES ($1)",
                     Params().add(static_cast<std::uint64_t>(next + 1)));
          conn.execute("COMMIT");
        } catch (...) {
          if (!conn.broken()) conn.execute("ROLLBACK");
          throw;
        }
      }
    } catch (...) {
      if (!conn.broken()) {
        try {
          conn.execute(kMigrationUnlock);
        } catch (const StoreError&) {
        }
      }
      throw;
    }
    conn.execute(kMigrationUnlock);
  }

  // --- listening ---

  void listenLoop(const std::function<void(const StoreNotice&)>& onNotice) {
    auto delay = std::chrono::milliseconds(100);
    bool missed = false;  // whether notices may have gone unheard since the last connection
    while (!stopRequested()) {
      std::unique_ptr<Connection> conn;
      try {
        conn = Connection::open(url_, where_);
        conn->execute("LISTEN zelk");
      } catch (const StoreError&) {
        conn.reset();
        missed = true;
        triedFirst();
        waitBackoff(delay);
        delay = std::min(delay * 2, std::chrono::milliseconds(5000));
        continue;
      }
      delay = std::chrono::milliseconds(100);
      listening_ = true;
      triedFirst();
      if (missed) {
        reconnects_.fetch_add(1, std::memory_order_relaxed);
        try {
          onNotice(StoreNotice{StoreNotice::Kind::resync, ""});
        } catch (const std::exception&) {
          listening_ = false;
          waitBackoff(delay);
          delay = std::min(delay * 2, std::chrono::milliseconds(5000));
          continue;  // told again once the next connection is up
        }
      }
      missed = true;
      hear(*conn, onNotice);
      listening_ = false;
    }
  }

  // Hands on the notices of `conn` until it is lost or the store stops listening.
  void hear(Connection& conn, const std::function<void(const StoreNotice&)>& onNotice) {
    while (!stopRequested()) {
      pollfd fds[2] = {{conn.socket(), POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (::poll(fds, 2, 1000) < 0 && errno != EINTR) return;
      if (fds[1].revents) return;
      if (PQconsumeInput(conn.handle()) == 0 || conn.broken()) return;
      while (PGnotify* notify = PQnotifies(conn.handle())) {
        const std::string payload = notify->extra ? notify->extra : "";
        PQfreemem(notify);
        notices_.fetch_add(1, std::memory_order_relaxed);
        if (payload.size() < 2 || payload[1] != ':') continue;
        const std::string key = payload.substr(2);
        try {
          if (payload[0] == 'm') onNotice(StoreNotice{StoreNotice::Kind::messages, key});
          if (payload[0] == 'p') onNotice(StoreNotice{StoreNotice::Kind::project, key});
        } catch (const std::exception&) {
          // The notice could not be acted on (the database went away while it was read): start
          // again with a new connection and a resync rather than leave a gap.
          return;
        }
      }
      // A server that ends the connection shows it only to a read or a query.
      if (fds[0].revents & (POLLHUP | POLLERR)) return;
    }
  }

  void triedFirst() {
    {
      std::lock_guard lock(poolMutex_);
      if (firstTry_) return;
      firstTry_ = true;
    }
    firstTried_.notify_all();
  }

  bool stopRequested() {
    std::lock_guard lock(poolMutex_);
    return stopping_;
  }

  void waitBackoff(std::chrono::milliseconds delay) {
    std::unique_lock lock(poolMutex_);
    backoff_.wait_for(lock, delay, [this] { return stopping_; });
  }

  const std::string url_;
  const std::string where_;
  const std::size_t size_;

  std::mutex poolMutex_;
  std::condition_variable available_;
  std::vector<std::unique_ptr<Connection>> idle_;
  std::size_t open_ = 0;  // idle, in use, or being opened
  std::uint64_t waits_ = 0, broken_ = 0;
  AuditRetention retention_;

  std::mutex unitsMutex_;
  std::unordered_map<std::thread::id, Unit> units_;

  std::mutex listenMutex_;
  std::thread listener_;
  int wake_[2] = {-1, -1};
  bool stopping_ = false;  // under poolMutex_
  std::condition_variable backoff_;
  std::atomic<bool> listening_{false};
  // The delivery worker's claims on outbox messages: session locks held on a connection of its
  // own, and the ids they are held for.
  std::mutex claimsMutex_;
  std::unique_ptr<Connection> claims_;
  std::set<std::string> claimed_;
  bool firstTry_ = false;  // the listening connection was tried once (under poolMutex_)
  std::condition_variable firstTried_;
  std::atomic<std::uint64_t> notices_{0}, reconnects_{0};
};

}  // namespace

std::unique_ptr<Store> makePostgresStore(const std::string& url, int connections) {
  return std::make_unique<PostgresStore>(url, connections);
}

}  // namespace zelk::server
