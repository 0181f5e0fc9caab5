// SPDX-License-Identifier: Apache-2.0
// The SQLite backend. One connection writes, under a mutex: the service writes in short
// transactions, one at a time, each holding the changes of one or (group commit) many calls. Reads
// go through connections of their own, side by side with the writes. The journal is a write-ahead
// log, and a transaction is in the log file when its commit returns, so a change the service has
// answered survives the process being killed (synchronous=NORMAL; FULL would also survive a power
// loss, at an fsync per commit). The log is copied into the database file (checkpointed) on a
// thread and connection of the store's own, so that a commit never waits for those writes and
// their fsyncs.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include "storage/json_columns.hpp"
#include "storage/store.hpp"

namespace zelk::server {
namespace {

using nlohmann::json;
using namespace columns;

// Each entry brings the schema from version (index) to version (index + 1).
const std::vector<const char*> kMigrations = {
    R"sql(
CREATE TABLE projects (
  client_id TEXT PRIMARY KEY,
  configured INTEGER NOT NULL,
  name TEXT NOT NULL,
  overall_limit INTEGER NOT NULL,
  mobile_limit INTEGER NOT NULL,
  tablet_limit INTEGER NOT NULL,
  computer_limit INTEGER NOT NULL,
  logo TEXT NOT NULL,
  primary_color TEXT NOT NULL,
  require_verification INTEGER NOT NULL,
  block_over_usage INTEGER NOT NULL
);
CREATE TABLE users (
  client_id TEXT NOT NULL,
  user TEXT NOT NULL,
  email TEXT NOT NULL,
  phone TEXT NOT NULL,
  PRIMARY KEY (client_id, user)
);
CREATE TABLE devices (
  id TEXT PRIMARY KEY,
  client_id TEXT NOT NULL,
  user TEXT NOT NULL,
  vendor_id TEXT NOT NULL,
  type TEXT NOT NULL,
  library TEXT NOT NULL,
  version TEXT NOT NULL,
  identity TEXT NOT NULL,
  accesses TEXT NOT NULL,
  device_info TEXT NOT NULL,
  metadata TEXT NOT NULL,
  attached_at INTEGER NOT NULL,
  last_seen_at INTEGER NOT NULL,
  last_event_id INTEGER NOT NULL,
  position INTEGER NOT NULL
);
CREATE INDEX devices_by_user ON devices (client_id, user);
CREATE TABLE identities (
  id TEXT PRIMARY KEY,
  client_id TEXT NOT NULL,
  vendor_id TEXT NOT NULL,
  device_info TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  last_seen_at INTEGER NOT NULL
);
CREATE TABLE challenges (
  id TEXT PRIMARY KEY,
  client_id TEXT NOT NULL,
  user TEXT NOT NULL,
  reason TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  code TEXT NOT NULL,
  channel TEXT NOT NULL,
  codes_sent INTEGER NOT NULL,
  checks INTEGER NOT NULL,
  verified INTEGER NOT NULL,
  resolved INTEGER NOT NULL,
  position INTEGER NOT NULL
);
CREATE TABLE messages (
  device_id TEXT NOT NULL,
  id INTEGER NOT NULL,
  sent_at INTEGER NOT NULL,
  data TEXT NOT NULL,
  PRIMARY KEY (device_id, id)
);
)sql",
    // Codes are kept only as an HMAC: the plain ones kept before are dropped (they can be sent
    // anew), and each code's age, checks and the sends of the last hour are kept with it.
    R"sql(
UPDATE challenges SET code = '';
ALTER TABLE challenges ADD COLUMN code_hash TEXT NOT NULL DEFAULT '';
ALTER TABLE challenges ADD COLUMN code_sent_at INTEGER NOT NULL DEFAULT 0;
ALTER TABLE challenges ADD COLUMN code_checks INTEGER NOT NULL DEFAULT 0;
ALTER TABLE challenges ADD COLUMN recent_sends TEXT NOT NULL DEFAULT '[]';
)sql",
    // What an attach does at the limit.
    R"sql(
ALTER TABLE projects ADD COLUMN limit_policy TEXT NOT NULL DEFAULT 'challenge';
)sql",
    // Whether challenges show the user's contact details whole.
    R"sql(
ALTER TABLE projects ADD COLUMN show_contacts INTEGER NOT NULL DEFAULT 0;
)sql",
    // How long a device without a stream stays attached.
    R"sql(
ALTER TABLE projects ADD COLUMN liveness_grace INTEGER NOT NULL DEFAULT 900;
)sql",
    // Devices detached lately, so that a stream coming back hears its logout.
    R"sql(
CREATE TABLE detached_devices (
  id TEXT PRIMARY KEY,
  client_id TEXT NOT NULL,
  accesses TEXT NOT NULL,
  logout_id INTEGER NOT NULL,
  detached_at INTEGER NOT NULL
);
)sql",
    // Where a project's events go, and what leaves the service: codes and events, each written
    // with the change that caused it.
    R"sql(
ALTER TABLE projects ADD COLUMN webhook_url TEXT NOT NULL DEFAULT '';
ALTER TABLE projects ADD COLUMN webhook_secret TEXT NOT NULL DEFAULT '';
CREATE TABLE outbox (
  id TEXT PRIMARY KEY,
  kind TEXT NOT NULL,
  client_id TEXT NOT NULL,
  payload TEXT NOT NULL,
  attempts INTEGER NOT NULL,
  created_at INTEGER NOT NULL,
  next_attempt_at INTEGER NOT NULL,
  last_error TEXT NOT NULL,
  state TEXT NOT NULL
);
CREATE INDEX outbox_by_state ON outbox (state, next_attempt_at);
)sql",
    // The security events.
    R"sql(
CREATE TABLE audit (
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  at INTEGER NOT NULL,
  client_id TEXT NOT NULL,
  kind TEXT NOT NULL,
  subject TEXT NOT NULL,
  detail TEXT NOT NULL
);
CREATE INDEX audit_by_project ON audit (client_id, seq);
CREATE INDEX audit_by_time ON audit (at);
)sql",
    // The database is the source of truth, read one user at a time: every user has a row with
    // the version of its records, every column one name in both SQL stores, and the liveness of
    // streams is kept per instance (which beats) and per device (when its last stream ended).
    // One identity per vendor identifier: a second one could only come of a race.
    R"sql(
ALTER TABLE users RENAME COLUMN user TO user_id;
ALTER TABLE devices RENAME COLUMN user TO user_id;
ALTER TABLE challenges RENAME COLUMN user TO user_id;
ALTER TABLE challenges DROP COLUMN code;
ALTER TABLE users ADD COLUMN version INTEGER NOT NULL DEFAULT 0;
ALTER TABLE devices ADD COLUMN ended_at INTEGER NOT NULL DEFAULT 0;
INSERT OR IGNORE INTO users (client_id, user_id, email, phone)
  SELECT DISTINCT client_id, user_id, '', '' FROM devices;
INSERT OR IGNORE INTO users (client_id, user_id, email, phone)
  SELECT DISTINCT client_id, user_id, '', '' FROM challenges;
UPDATE users SET version = 1;
CREATE INDEX challenges_by_user ON challenges (client_id, user_id);
CREATE INDEX devices_quiet ON devices (client_id, max(last_seen_at, ended_at));
CREATE INDEX detached_by_time ON detached_devices (detached_at);
CREATE TABLE instances (
  id TEXT PRIMARY KEY,
  started_at INTEGER NOT NULL,
  beat_at INTEGER NOT NULL
);
CREATE TABLE stream_hosts (
  device_id TEXT NOT NULL,
  instance_id TEXT NOT NULL,
  PRIMARY KEY (device_id, instance_id)
);
CREATE INDEX stream_hosts_by_instance ON stream_hosts (instance_id);
DELETE FROM identities WHERE EXISTS (
  SELECT 1 FROM identities newer WHERE newer.client_id = identities.client_id
    AND newer.vendor_id = identities.vendor_id
    AND (newer.last_seen_at > identities.last_seen_at
         OR (newer.last_seen_at = identities.last_seen_at AND newer.rowid > identities.rowid)));
CREATE UNIQUE INDEX identities_by_vendor ON identities (client_id, vendor_id);
)sql",
    // Where each device's last attach came from, as the GeoIP database placed it.
    R"sql(
ALTER TABLE devices ADD COLUMN city TEXT NOT NULL DEFAULT '';
ALTER TABLE devices ADD COLUMN country TEXT NOT NULL DEFAULT '';
)sql",
    // The secret the app's backend signs user ids under, and whether every attach must be signed.
    R"sql(
ALTER TABLE projects ADD COLUMN user_secret TEXT NOT NULL DEFAULT '';
ALTER TABLE projects ADD COLUMN require_signed_users INTEGER NOT NULL DEFAULT 0;
)sql",
    // What owners see and manage of their devices: new-device notices, trusted devices, and a
    // cap on how often devices are changed.
    R"sql(
ALTER TABLE projects ADD COLUMN new_device_notices INTEGER NOT NULL DEFAULT 0;
ALTER TABLE projects ADD COLUMN trusted_device_days INTEGER NOT NULL DEFAULT 0;
ALTER TABLE projects ADD COLUMN device_changes_limit INTEGER NOT NULL DEFAULT 0;
ALTER TABLE projects ADD COLUMN device_changes_days INTEGER NOT NULL DEFAULT 30;
ALTER TABLE users ADD COLUMN device_changes TEXT NOT NULL DEFAULT '[]';
ALTER TABLE users ADD COLUMN known_devices TEXT NOT NULL DEFAULT '[]';
ALTER TABLE challenges ADD COLUMN device_id TEXT NOT NULL DEFAULT '';
)sql",
    // What operators look users up by, and the limits they set for one user.
    R"sql(
ALTER TABLE users ADD COLUMN limit_override TEXT NOT NULL DEFAULT '';
CREATE INDEX users_by_email ON users (client_id, lower(email));
CREATE INDEX users_by_phone ON users (client_id, phone);
CREATE INDEX audit_by_subject ON audit (client_id, subject, seq);
CREATE INDEX audit_by_kind ON audit (client_id, kind, at);
CREATE INDEX challenges_by_time ON challenges (client_id, created_at);
CREATE TABLE project_keys (
  id TEXT PRIMARY KEY,
  client_id TEXT NOT NULL,
  hash TEXT NOT NULL UNIQUE,
  created_at INTEGER NOT NULL,
  last_used_at INTEGER NOT NULL
);
CREATE INDEX project_keys_by_project ON project_keys (client_id, created_at);
)sql",
    // Who signs in to the console and their sessions; and what its overview counts over every
    // project, each by an index of its own: attaches by time, challenges by when they were raised
    // (with whether they were verified), audit entries of a kind by time, the instances alive,
    // and the devices each one streams (the index by instance holds the device: no row is read).
    R"sql(
CREATE TABLE operators (
  name TEXT PRIMARY KEY,
  role TEXT NOT NULL,
  password_hash TEXT NOT NULL,
  setup_hash TEXT NOT NULL,
  setup_until INTEGER NOT NULL,
  created_at INTEGER NOT NULL
);
CREATE TABLE operator_sessions (
  hash TEXT PRIMARY KEY,
  name TEXT NOT NULL,
  csrf TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  seen_at INTEGER NOT NULL
);
CREATE INDEX operator_sessions_by_name ON operator_sessions (name);
CREATE INDEX operator_sessions_by_seen ON operator_sessions (seen_at);
CREATE INDEX devices_by_attach ON devices (attached_at);
CREATE INDEX challenges_by_creation ON challenges (created_at, verified);
CREATE INDEX audit_by_kind_time ON audit (kind, at);
CREATE INDEX instances_by_beat ON instances (beat_at);
DROP INDEX stream_hosts_by_instance;
CREATE INDEX stream_hosts_by_instance ON stream_hosts (instance_id, device_id);
)sql",
};

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement_, nullptr) !=
        SQLITE_OK)
      throw StoreError(std::string("cannot prepare a statement: ") + sqlite3_errmsg(db));
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, const std::string& text) {
    sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
    return *this;
  }
  Statement& bind(int index, std::int64_t value) {
    sqlite3_bind_int64(statement_, index, value);
    return *this;
  }
  // Runs a statement that returns no rows; how many rows it changed.
  int run() {
    const int result = sqlite3_step(statement_);
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
    if (result != SQLITE_DONE && result != SQLITE_ROW)
      throw StoreError(std::string("cannot write: ") +
                       sqlite3_errmsg(sqlite3_db_handle(statement_)));
    return sqlite3_changes(sqlite3_db_handle(statement_));
  }
  bool step() {
    const int result = sqlite3_step(statement_);
    if (result == SQLITE_ROW) return true;
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
    if (result != SQLITE_DONE)
      throw StoreError(std::string("cannot read: ") +
                       sqlite3_errmsg(sqlite3_db_handle(statement_)));
    return false;
  }
  // Ends a read before its last row, so that the statement may run again.
  void reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
  std::string text(int column) const {
    const auto* data = sqlite3_column_text(statement_, column);
    return data ? std::string(reinterpret_cast<const char*>(data),
                              static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)))
                : std::string();
  }
  std::int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
  bool null(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
  sqlite3_stmt* handle() const { return statement_; }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

// A device's ended_at while a stream of it is open on some instance: later than any time, so that
// the idle sweep's index never lists it.
constexpr std::int64_t kStreaming = std::int64_t{1} << 62;

constexpr const char* kProjectColumns =
    "SELECT client_id, configured, name, overall_limit, mobile_limit, tablet_limit, "
    "computer_limit, logo, primary_color, require_verification, block_over_usage, limit_policy, "
    "show_contacts, liveness_grace, webhook_url, webhook_secret, user_secret, "
    "require_signed_users, new_device_notices, trusted_device_days, device_changes_limit, "
    "device_changes_days FROM projects";

Project projectOf(const Statement& row) {
  Project project;
  project.clientId = row.text(0);
  project.configured = row.integer(1) != 0;
  ProjectSettings& s = project.settings;
  s.name = row.text(2);
  s.overallLimit = static_cast<int>(row.integer(3));
  s.mobileLimit = static_cast<int>(row.integer(4));
  s.tabletLimit = static_cast<int>(row.integer(5));
  s.computerLimit = static_cast<int>(row.integer(6));
  s.logo = row.text(7);
  s.primaryColor = row.text(8);
  s.requireVerification = row.integer(9) != 0;
  s.blockOverUsage = row.integer(10) != 0;
  s.limitPolicy = limitPolicyFromName(row.text(11)).value_or(LimitPolicy::challenge);
  s.showContacts = row.integer(12) != 0;
  s.livenessGraceSeconds = static_cast<int>(row.integer(13));
  s.webhookUrl = row.text(14);
  s.webhookSecret = row.text(15);
  s.userSecret = row.text(16);
  s.requireSignedUsers = row.integer(17) != 0;
  s.newDeviceNotices = row.integer(18) != 0;
  s.trustedDeviceDays = static_cast<int>(row.integer(19));
  s.deviceChangesLimit = static_cast<int>(row.integer(20));
  s.deviceChangesDays = static_cast<int>(row.integer(21));
  return project;
}

OutboxMessage outboxOf(const Statement& row) {
  OutboxMessage message;
  message.id = row.text(0);
  message.kind = row.text(1);
  message.project = row.text(2);
  message.payload = row.text(3);
  message.attempts = static_cast<int>(row.integer(4));
  message.createdAt = fromMillis(row.integer(5));
  message.nextAttemptAt = fromMillis(row.integer(6));
  message.lastError = row.text(7);
  message.state = outboxStateFromName(row.text(8)).value_or(OutboxState::failed);
  return message;
}

// The project key of a row of "id, client_id, hash, created_at, last_used_at".
ProjectKey keyOf(const Statement& row) {
  return {row.text(0), row.text(1), row.text(2), fromMillis(row.integer(3)),
          fromMillis(row.integer(4))};
}

// The operator of a row of "name, role, password_hash, setup_hash, setup_until, created_at".
OperatorAccount operatorOf(const Statement& row) {
  return {row.text(0),
          row.text(1),
          row.text(2),
          row.text(3),
          fromMillis(row.integer(4)),
          fromMillis(row.integer(5))};
}

// The session of a row of "hash, name, csrf, created_at, seen_at".
OperatorSession sessionOf(const Statement& row) {
  return {row.text(0), row.text(1), row.text(2), fromMillis(row.integer(3)),
          fromMillis(row.integer(4))};
}

// The audit entries a statement of "seq, at, client_id, kind, subject, detail" lists.
std::vector<AuditEntry> auditOf(Statement& list) {
  std::vector<AuditEntry> found;
  while (list.step()) {
    AuditEntry entry;
    entry.seq = static_cast<std::uint64_t>(list.integer(0));
    entry.at = fromMillis(list.integer(1));
    entry.project = list.text(2);
    entry.kind = list.text(3);
    entry.subject = list.text(4);
    entry.detail = parseJSON(list.text(5), nlohmann::json::object());
    found.push_back(std::move(entry));
  }
  return found;
}

DetachedDevice detachedOf(const Statement& row) {
  DetachedDevice device;
  device.id = row.text(0);
  device.project = row.text(1);
  device.accesses = stringsOf(row.text(2));
  device.logoutId = static_cast<std::uint64_t>(row.integer(3));
  device.detachedAt = fromMillis(row.integer(4));
  return device;
}

// A connection for reads, with its statements prepared once. WAL lets any number of them read
// while the writer writes; each read of several statements runs in one read transaction, so it
// sees one moment of the database.
class Reader {
 public:
  Reader(const std::string& path, int (*busy)(void*, int)) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
      const std::string reason = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      throw StoreError("cannot open " + path + " to read: " + reason);
    }
    sqlite3_busy_handler(db_, busy, nullptr);
  }
  ~Reader() {
    statements_.clear();
    sqlite3_close(db_);
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // The statement of `sql` (a literal: its address names it), prepared on first use.
  Statement& statement(const char* sql) {
    auto& prepared = statements_[sql];
    if (!prepared) prepared = std::make_unique<Statement>(db_, sql);
    return *prepared;
  }
  void execute(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
      throw StoreError(std::string("cannot read: ") + sqlite3_errmsg(db_));
  }

 private:
  sqlite3* db_ = nullptr;
  std::unordered_map<const char*, std::unique_ptr<Statement>> statements_;
};

// The database file, opened for this process alone: created readable by its owner only (it holds
// contacts and secrets; SQLite gives its log and shared-memory files the same mode), and locked
// so that a second instance on the same file refuses to start rather than decide on records the
// first one holds. Kept open until every connection is closed: closing a descriptor of the file
// drops the process's POSIX locks on it, SQLite's among them.
class OwnFile {
 public:
  explicit OwnFile(const std::string& path) {
    if (path.empty() || path.front() == ':' || path.starts_with("file:")) return;
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) throw StoreError("cannot open " + path + ": " + std::strerror(errno));
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(fd_);
      if (error == EWOULDBLOCK)
        throw StoreError(path +
                         " is in use by another zelk-server; one instance serves a SQLite file "
                         "(several instances share a PostgreSQL database)");
      throw StoreError("cannot lock " + path + ": " + std::strerror(error));
    }
  }
  ~OwnFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  OwnFile(const OwnFile&) = delete;
  OwnFile& operator=(const OwnFile&) = delete;

 private:
  int fd_ = -1;
};

class SQLiteStore final : public Store {
 public:
  SQLiteStore(std::string path, SQLiteLog log) : file_(path), path_(std::move(path)), log_(log) {
    if (sqlite3_open_v2(path_.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
      const std::string reason = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      throw StoreError("cannot open " + path_ + ": " + reason);
    }
    try {
      sqlite3_busy_handler(db_, &SQLiteStore::whenBusy, nullptr);
      execute("PRAGMA journal_mode = WAL");
      execute("PRAGMA synchronous = NORMAL");
      execute("PRAGMA foreign_keys = ON");
      // What rows held (contacts, tokens, the outbox's messages) does not stay in freed pages.
      execute("PRAGMA secure_delete = ON");
      migrate();
      prepare();
      startCheckpoints();
    } catch (...) {
      statements_.clear();
      sqlite3_close(db_);
      throw;
    }
  }
  ~SQLiteStore() override {
    if (checkpointer_.joinable()) {
      {
        std::lock_guard lock(checkpointMutex_);
        stopCheckpoints_ = true;
      }
      checkpointWake_.notify_all();
      checkpointer_.join();
    }
    sqlite3_close(checkpointDb_);
    readers_.clear();
    statements_.clear();
    // The last connection to close copies what is left of the log and removes it.
    sqlite3_close(db_);
  }

  std::string describe() const override { return "sqlite " + path_; }

  void setInstance(const std::string& id) override { instance_ = id; }

  bool ready() override {
    std::lock_guard lock(mutex_);
    try {
      execute("SELECT 1");
      return true;
    } catch (const StoreError&) {
      return false;
    }
  }

  // --- reads ---

  std::vector<Project> readProjects() override {
    return reading([&](Reader& reader) {
      Statement& all = reader.statement(kProjectColumns);
      std::vector<Project> projects;
      while (all.step()) projects.push_back(projectOf(all));
      return projects;
    });
  }

  std::optional<Project> readProject(const std::string& clientId) override {
    static const std::string sql = std::string(kProjectColumns) + " WHERE client_id = ?1";
    return reading([&](Reader& reader) -> std::optional<Project> {
      Statement& one = reader.statement(sql.c_str());
      one.bind(1, clientId);
      if (!one.step()) return std::nullopt;
      Project project = projectOf(one);
      one.reset();
      return project;
    });
  }

  std::optional<StoredUser> readUser(const UserKey& key) override {
    return reading([&](Reader& reader) {
      reader.execute("BEGIN");
      try {
        auto user = readUserIn(reader, key);
        reader.execute("COMMIT");
        return user;
      } catch (...) {
        reader.execute("ROLLBACK");
        throw;
      }
    });
  }

  DeviceLookup readDevice(const std::string& deviceId) override {
    return reading([&](Reader& reader) {
      reader.execute("BEGIN");
      DeviceLookup found;
      try {
        Statement& owner = reader.statement("SELECT client_id, user_id FROM devices WHERE id = ?1");
        owner.bind(1, deviceId);
        if (owner.step()) {
          const UserKey key{owner.text(0), owner.text(1)};
          owner.reset();
          found.user = readUserIn(reader, key);
        } else {
          found.detached = detachedIn(reader, deviceId);
        }
        reader.execute("COMMIT");
      } catch (...) {
        reader.execute("ROLLBACK");
        throw;
      }
      return found;
    });
  }

  std::optional<DetachedDevice> readDetached(const std::string& deviceId) override {
    return reading([&](Reader& reader) { return detachedIn(reader, deviceId); });
  }

  std::optional<UserKey> challengeOwner(const std::string& challengeId) override {
    return reading([&](Reader& reader) -> std::optional<UserKey> {
      Statement& owner =
          reader.statement("SELECT client_id, user_id FROM challenges WHERE id = ?1");
      owner.bind(1, challengeId);
      if (!owner.step()) return std::nullopt;
      UserKey key{owner.text(0), owner.text(1)};
      owner.reset();
      return key;
    });
  }

  std::vector<KeptMessage> messagesAfter(const std::string& deviceId,
                                         std::uint64_t after) override {
    return reading([&](Reader& reader) {
      Statement& list = reader.statement(
          "SELECT id, sent_at, data FROM messages WHERE device_id = ?1 AND id > ?2 ORDER BY id");
      list.bind(1, deviceId).bind(2, static_cast<std::int64_t>(after));
      std::vector<KeptMessage> found;
      while (list.step())
        found.push_back({static_cast<std::uint64_t>(list.integer(0)), fromMillis(list.integer(1)),
                         list.text(2)});
      return found;
    });
  }

  std::vector<UserKey> quietUsers(const std::string& project, Clock::time_point before,
                                  std::size_t max) override {
    return reading([&](Reader& reader) {
      Statement& quiet = reader.statement(
          "SELECT DISTINCT user_id FROM devices WHERE client_id = ?1 AND "
          "max(last_seen_at, ended_at) <= ?2 LIMIT ?3");
      quiet.bind(1, project).bind(2, toMillis(before)).bind(3, static_cast<std::int64_t>(max));
      std::vector<UserKey> found;
      while (quiet.step()) found.push_back({project, quiet.text(0)});
      return found;
    });
  }

  std::size_t countDevices() override {
    return reading([&](Reader& reader) {
      Statement& count = reader.statement("SELECT count(*) FROM devices");
      std::size_t devices = 0;
      while (count.step()) devices = static_cast<std::size_t>(count.integer(0));
      return devices;
    });
  }

  // --- writes ---

  void commit(std::vector<Unit>& units) override {
    std::lock_guard lock(mutex_);
    begin_->run();
    try {
      for (Unit& unit : units) {
        unit.conflict = false;
        if (unit.user) {
          // The user's row moves from the version the call was decided on to the next, or the
          // user was changed meanwhile and nothing of this unit is written.
          Statement& put = unit.baseVersion == 0 ? *newUser_ : *bumpUser_;
          put.bind(1, unit.user->project)
              .bind(2, unit.user->user)
              .bind(3, unit.changes.profile.email)
              .bind(4, unit.changes.profile.phone)
              .bind(5, static_cast<std::int64_t>(unit.baseVersion))
              .bind(6, timesJSON(unit.changes.deviceChanges))
              .bind(7, knownDevicesJSON(unit.changes.knownDevices))
              .bind(8, limitOverrideJSON(unit.changes.limitOverride));
          if (put.run() != 1) {
            unit.conflict = true;
            continue;
          }
          writeUser(*unit.user, unit.changes);
        }
        if (unit.identify) unit.identified = identify(*unit.identify);
        writeCommon(unit.changes);
      }
      commit_->run();
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  std::vector<InstanceBeat> beat(Clock::time_point startedAt, Clock::time_point now) override {
    std::lock_guard lock(mutex_);
    putBeat_->bind(1, instance_).bind(2, toMillis(startedAt)).bind(3, toMillis(now)).run();
    std::vector<InstanceBeat> beats;
    while (beats_->step())
      beats.push_back(
          {beats_->text(0), fromMillis(beats_->integer(1)), fromMillis(beats_->integer(2))});
    return beats;
  }

  void writeStreams(const StreamChanges& changes) override {
    if (changes.empty()) return;
    std::lock_guard lock(mutex_);
    begin_->run();
    try {
      for (const std::string& device : changes.opened) {
        putHost_->bind(1, device).bind(2, instance_).run();
        markStreaming_->bind(1, device).bind(2, kStreaming).run();
      }
      for (const auto& [device, at] : changes.ended) {
        removeHost_->bind(1, device).bind(2, instance_).run();
        markEnded_->bind(1, device).bind(2, toMillis(at)).bind(3, kStreaming).run();
      }
      commit_->run();
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  void endStreamsOfSilentInstances(Clock::time_point deadBefore) override {
    std::lock_guard lock(mutex_);
    begin_->run();
    try {
      const std::int64_t dead = toMillis(deadBefore);
      Statement ended(
          db_,
          "UPDATE devices SET ended_at = (SELECT max(i.beat_at) FROM stream_hosts h JOIN "
          "instances i ON i.id = h.instance_id WHERE h.device_id = devices.id) WHERE id IN "
          "(SELECT h.device_id FROM stream_hosts h LEFT JOIN instances i ON i.id = h.instance_id "
          "WHERE i.id IS NULL OR i.beat_at < ?1) AND NOT EXISTS (SELECT 1 FROM stream_hosts h "
          "JOIN instances i ON i.id = h.instance_id WHERE h.device_id = devices.id AND "
          "i.beat_at >= ?1)");
      ended.bind(1, dead).run();
      Statement hosts(db_,
                      "DELETE FROM stream_hosts WHERE instance_id NOT IN (SELECT id FROM "
                      "instances WHERE beat_at >= ?1)");
      hosts.bind(1, dead).run();
      Statement instances(db_, "DELETE FROM instances WHERE beat_at < ?1");
      instances.bind(1, dead - 24 * 3600 * 1000).run();
      commit_->run();
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  void setAuditRetention(AuditRetention retention) override {
    std::lock_guard lock(mutex_);
    retention_ = retention;
  }

  void prune(Clock::time_point detachedBefore, const AuditRetention& audit) override {
    std::lock_guard lock(mutex_);
    retention_ = audit;
    Statement detached(db_, "DELETE FROM detached_devices WHERE detached_at < ?1");
    detached.bind(1, toMillis(detachedBefore)).run();
    trimAudit();
    execute(
        "DELETE FROM stream_hosts WHERE NOT EXISTS (SELECT 1 FROM devices WHERE devices.id = "
        "stream_hosts.device_id)");
    Statement sessions(db_, "DELETE FROM operator_sessions WHERE seen_at < ?1");
    sessions.bind(1, toMillis(Clock::now() - kSessionsKeptFor)).run();
  }

  // --- the outbox and the audit trail ---

  std::vector<OutboxMessage> dueMessages(Clock::time_point now, std::size_t max) override {
    std::lock_guard lock(mutex_);
    Statement due(db_,
                  "SELECT id, kind, client_id, payload, attempts, created_at, next_attempt_at, "
                  "last_error, state FROM outbox WHERE state = 'pending' AND next_attempt_at <= ?1 "
                  "ORDER BY next_attempt_at LIMIT ?2");
    due.bind(1, toMillis(now)).bind(2, static_cast<std::int64_t>(max));
    std::vector<OutboxMessage> found;
    while (due.step()) found.push_back(outboxOf(due));
    return found;
  }

  std::optional<Clock::time_point> nextDue() override {
    std::lock_guard lock(mutex_);
    Statement next(db_, "SELECT min(next_attempt_at) FROM outbox WHERE state = 'pending'");
    std::optional<Clock::time_point> when;
    while (next.step()) {
      if (!next.null(0)) when = fromMillis(next.integer(0));
    }
    return when;
  }

  void updateMessage(const OutboxMessage& message) override {
    std::lock_guard lock(mutex_);
    updateOutbox_->bind(1, message.id)
        .bind(2, message.payload)
        .bind(3, std::int64_t{message.attempts})
        .bind(4, toMillis(message.nextAttemptAt))
        .bind(5, message.lastError)
        .bind(6, std::string(outboxStateName(message.state)))
        .run();
  }

  std::vector<OutboxMessage> messages(std::optional<OutboxState> state, std::size_t max) override {
    std::lock_guard lock(mutex_);
    Statement list(db_,
                   "SELECT id, kind, client_id, payload, attempts, created_at, next_attempt_at, "
                   "last_error, state FROM outbox WHERE ?1 = '' OR state = ?1 "
                   "ORDER BY created_at DESC, rowid DESC LIMIT ?2");
    list.bind(1, state ? std::string(outboxStateName(*state)) : std::string())
        .bind(2, static_cast<std::int64_t>(max));
    std::vector<OutboxMessage> found;
    while (list.step()) found.push_back(outboxOf(list));
    return found;
  }

  bool retryWebhook(const std::string& id, Clock::time_point now) override {
    std::lock_guard lock(mutex_);
    Statement retry(db_,
                    "UPDATE outbox SET state = 'pending', next_attempt_at = ?2 WHERE id = ?1 AND "
                    "state = 'failed' AND kind = 'webhook'");
    return retry.bind(1, id).bind(2, toMillis(now)).run() > 0;
  }

  void purgeMessages(Clock::time_point doneBefore, Clock::time_point failedBefore) override {
    std::lock_guard lock(mutex_);
    Statement purge(db_,
                    "DELETE FROM outbox WHERE (state = 'done' AND next_attempt_at < ?1) OR "
                    "(state = 'failed' AND next_attempt_at < ?2)");
    purge.bind(1, toMillis(doneBefore)).bind(2, toMillis(failedBefore)).run();
  }

  std::vector<AuditEntry> auditEntries(const std::string& project, std::uint64_t before,
                                       std::size_t max) override {
    std::lock_guard lock(mutex_);
    Statement list(db_,
                   "SELECT seq, at, client_id, kind, subject, detail FROM audit WHERE "
                   "(?1 = '' OR client_id = ?1) AND (?2 = 0 OR seq < ?2) ORDER BY seq DESC "
                   "LIMIT ?3");
    list.bind(1, project)
        .bind(2, static_cast<std::int64_t>(before))
        .bind(3, static_cast<std::int64_t>(max));
    return auditOf(list);
  }

  std::vector<AuditEntry> auditEntriesAbout(const std::string& project, const std::string& subject,
                                            std::size_t max) override {
    std::lock_guard lock(mutex_);
    Statement list(db_,
                   "SELECT seq, at, client_id, kind, subject, detail FROM audit WHERE "
                   "client_id = ?1 AND subject = ?2 ORDER BY seq DESC LIMIT ?3");
    list.bind(1, project).bind(2, subject).bind(3, static_cast<std::int64_t>(max));
    return auditOf(list);
  }

  std::vector<UserSummary> searchUsers(const std::string& project, const std::string& query,
                                       const std::string& after, std::size_t max) override {
    return reading([&](Reader& reader) {
      // Each of the three ways a user is found goes by an index of its own, the prefix stopping
      // at a page, so that a search reads a few pages of index whatever the number of users (a
      // whole address or number matches few). The prefix's range starts at one bound, the later
      // of the prefix and the page's start: given both, SQLite would start at either.
      Statement& search = reader.statement(
          "SELECT u.user_id, u.email, u.phone, (SELECT count(*) FROM devices d WHERE "
          "d.client_id = u.client_id AND d.user_id = u.user_id) FROM (SELECT user_id FROM "
          "(SELECT user_id FROM users WHERE client_id = ?1 AND user_id >= max(?2, ?3) AND "
          "user_id <> ?3 AND user_id < ?2 || char(1114111) ORDER BY user_id LIMIT ?4) UNION "
          "SELECT user_id FROM "
          "users WHERE client_id = ?1 AND ?2 <> '' AND lower(email) = lower(?2) UNION SELECT "
          "user_id FROM users WHERE client_id = ?1 AND ?2 <> '' AND phone = ?2) f CROSS JOIN users "
          "u "
          "ON u.client_id = ?1 AND u.user_id = f.user_id WHERE f.user_id > ?3 ORDER BY u.user_id "
          "LIMIT ?4");
      search.bind(1, project).bind(2, query).bind(3, after).bind(4, static_cast<std::int64_t>(max));
      std::vector<UserSummary> found;
      while (search.step())
        found.push_back({search.text(0), search.text(1), search.text(2),
                         static_cast<std::size_t>(search.integer(3))});
      return found;
    });
  }

  bool eraseUser(const UserKey& key, const std::string& pseudonym) override {
    std::lock_guard lock(mutex_);
    begin_->run();
    try {
      const auto run = [&](const char* sql) {
        Statement statement(db_, sql);
        return statement.bind(1, key.project).bind(2, key.user).bind(3, pseudonym).run();
      };
      run("DELETE FROM messages WHERE device_id IN (SELECT id FROM devices WHERE client_id = ?1 "
          "AND user_id = ?2) AND ?3 = ?3");
      run("DELETE FROM stream_hosts WHERE device_id IN (SELECT id FROM devices WHERE client_id = "
          "?1 AND user_id = ?2) AND ?3 = ?3");
      int erased = run("DELETE FROM devices WHERE client_id = ?1 AND user_id = ?2 AND ?3 = ?3");
      erased += run("DELETE FROM challenges WHERE client_id = ?1 AND user_id = ?2 AND ?3 = ?3");
      erased += run("DELETE FROM users WHERE client_id = ?1 AND user_id = ?2 AND ?3 = ?3");
      run("DELETE FROM outbox WHERE client_id = ?1 AND kind <> 'webhook' AND "
          "json_valid(payload) AND json_extract(payload, '$.user') = ?2 AND ?3 = ?3");
      // The trail keeps what happened, no longer to whom: the id as subject and as a JSON string
      // in the details.
      run("UPDATE audit SET subject = ?3 WHERE client_id = ?1 AND subject = ?2");
      Statement details(db_,
                        "UPDATE audit SET detail = replace(detail, ?2, ?3) WHERE client_id = ?1 "
                        "AND instr(detail, ?2) > 0");
      details.bind(1, key.project)
          .bind(2, dumpJSON(json(key.user)))
          .bind(3, dumpJSON(json(pseudonym)))
          .run();
      commit_->run();
      return erased > 0;
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  std::vector<SuspectCounts> suspects(const std::string& project, Clock::time_point since,
                                      std::size_t max) override {
    return reading([&](Reader& reader) {
      Statement& counts = reader.statement(
          "SELECT user_id, sum(c), sum(n), sum(r) FROM (SELECT user_id, 1 AS c, 0 AS n, 0 AS r "
          "FROM challenges WHERE client_id = ?1 AND created_at >= ?2 UNION ALL SELECT "
          "u.user_id, 0, 1, 0 FROM users u, json_each(CASE WHEN json_valid(u.known_devices) THEN "
          "u.known_devices ELSE '[]' END) j WHERE u.client_id = ?1 AND "
          "json_extract(j.value, '$.seen') >= ?2 UNION ALL SELECT subject, 0, 0, 1 FROM audit "
          "WHERE client_id = ?1 AND kind = 'device.change_refused' AND at >= ?2) GROUP BY "
          "user_id ORDER BY sum(r) DESC, sum(c) + sum(n) DESC, user_id LIMIT ?3");
      counts.bind(1, project).bind(2, toMillis(since)).bind(3, static_cast<std::int64_t>(max));
      std::vector<SuspectCounts> found;
      while (counts.step())
        found.push_back({counts.text(0), static_cast<std::size_t>(counts.integer(1)),
                         static_cast<std::size_t>(counts.integer(2)),
                         static_cast<std::size_t>(counts.integer(3))});
      return found;
    });
  }

  std::vector<ProjectKey> projectKeys(const std::string& project) override {
    std::lock_guard lock(mutex_);
    Statement list(db_,
                   "SELECT id, client_id, hash, created_at, last_used_at FROM project_keys WHERE "
                   "client_id = ?1 ORDER BY created_at, id");
    list.bind(1, project);
    std::vector<ProjectKey> keys;
    while (list.step()) keys.push_back(keyOf(list));
    return keys;
  }

  bool addProjectKey(const ProjectKey& key, std::size_t max) override {
    std::lock_guard lock(mutex_);
    Statement add(db_,
                  "INSERT INTO project_keys (id, client_id, hash, created_at, last_used_at) "
                  "SELECT ?1, ?2, ?3, ?4, ?5 WHERE (SELECT count(*) FROM project_keys WHERE "
                  "client_id = ?2) < ?6");
    return add.bind(1, key.id)
               .bind(2, key.project)
               .bind(3, key.hash)
               .bind(4, toMillis(key.createdAt))
               .bind(5, toMillis(key.lastUsedAt))
               .bind(6, static_cast<std::int64_t>(max))
               .run() > 0;
  }

  bool removeProjectKey(const std::string& project, const std::string& id) override {
    std::lock_guard lock(mutex_);
    Statement remove(db_, "DELETE FROM project_keys WHERE client_id = ?1 AND id = ?2");
    return remove.bind(1, project).bind(2, id).run() > 0;
  }

  std::optional<ProjectKey> useProjectKey(const std::string& hash, Clock::time_point now) override {
    std::lock_guard lock(mutex_);
    Statement find(db_,
                   "SELECT id, client_id, hash, created_at, last_used_at FROM project_keys WHERE "
                   "hash = ?1");
    find.bind(1, hash);
    std::optional<ProjectKey> key;
    while (find.step()) key = keyOf(find);
    if (key && now - key->lastUsedAt > std::chrono::minutes(1)) {
      Statement used(db_, "UPDATE project_keys SET last_used_at = ?2 WHERE id = ?1");
      used.bind(1, key->id).bind(2, toMillis(now)).run();
      key->lastUsedAt = now;
    }
    return key;
  }

  std::optional<OperatorAccount> readOperator(const std::string& name) override {
    return reading([&](Reader& reader) -> std::optional<OperatorAccount> {
      Statement& one = reader.statement(
          "SELECT name, role, password_hash, setup_hash, setup_until, created_at FROM operators "
          "WHERE name = ?1");
      one.bind(1, name);
      if (!one.step()) return std::nullopt;
      OperatorAccount account = operatorOf(one);
      one.reset();
      return account;
    });
  }

  std::vector<OperatorAccount> readOperators() override {
    return reading([&](Reader& reader) {
      Statement& all = reader.statement(
          "SELECT name, role, password_hash, setup_hash, setup_until, created_at FROM operators "
          "ORDER BY name");
      std::vector<OperatorAccount> accounts;
      while (all.step()) accounts.push_back(operatorOf(all));
      return accounts;
    });
  }

  void putOperator(const OperatorAccount& account) override {
    std::lock_guard lock(mutex_);
    Statement put(db_,
                  "INSERT INTO operators (name, role, password_hash, setup_hash, setup_until, "
                  "created_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT (name) DO UPDATE SET "
                  "role = ?2, password_hash = ?3, setup_hash = ?4, setup_until = ?5, "
                  "created_at = ?6");
    put.bind(1, account.name)
        .bind(2, account.role)
        .bind(3, account.passwordHash)
        .bind(4, account.setupHash)
        .bind(5, toMillis(account.setupUntil))
        .bind(6, toMillis(account.createdAt))
        .run();
  }

  std::optional<OperatorSession> readSession(const std::string& hash) override {
    return reading([&](Reader& reader) -> std::optional<OperatorSession> {
      Statement& one = reader.statement(
          "SELECT hash, name, csrf, created_at, seen_at FROM operator_sessions WHERE hash = ?1");
      one.bind(1, hash);
      if (!one.step()) return std::nullopt;
      OperatorSession session = sessionOf(one);
      one.reset();
      return session;
    });
  }

  void putSession(const OperatorSession& session) override {
    std::lock_guard lock(mutex_);
    Statement put(db_,
                  "INSERT INTO operator_sessions (hash, name, csrf, created_at, seen_at) VALUES "
                  "(?1, ?2, ?3, ?4, ?5) ON CONFLICT (hash) DO UPDATE SET name = ?2, csrf = ?3, "
                  "created_at = ?4, seen_at = ?5");
    put.bind(1, session.hash)
        .bind(2, session.name)
        .bind(3, session.csrf)
        .bind(4, toMillis(session.createdAt))
        .bind(5, toMillis(session.seenAt))
        .run();
  }

  void dropSession(const std::string& hash) override {
    std::lock_guard lock(mutex_);
    Statement drop(db_, "DELETE FROM operator_sessions WHERE hash = ?1");
    drop.bind(1, hash).run();
  }

  void dropSessionsOf(const std::string& name) override {
    std::lock_guard lock(mutex_);
    Statement drop(db_, "DELETE FROM operator_sessions WHERE name = ?1");
    drop.bind(1, name).run();
  }

  OverviewFigures overview(Clock::time_point now, Clock::time_point since, int minutes,
                           Clock::time_point aliveSince) override {
    minutes = std::max(minutes, 0);
    const std::int64_t end = toMillis(now);
    const std::int64_t first = end - std::int64_t{minutes} * 60'000;
    return reading([&](Reader& reader) {
      OverviewFigures figures;
      figures.attachesByMinute.assign(static_cast<std::size_t>(minutes), 0);
      // One moment of the database for every figure. Each goes by an index: the count of
      // devices by the smallest one, the others by a range of theirs. The streams are read from
      // the instances alive (CROSS JOIN keeps that order: SQLite would rather scan every stream
      // in the order of its devices, to spare itself the DISTINCT), and the instances are put in
      // order here, so that their index by beat is the one searched.
      reader.execute("BEGIN");
      try {
        Statement& counts = reader.statement(
            "SELECT (SELECT count(*) FROM devices), (SELECT count(*) FROM (SELECT DISTINCT "
            "h.device_id FROM instances i CROSS JOIN stream_hosts h ON h.instance_id = i.id "
            "WHERE i.beat_at >= ?2)), c.raised, c.verified, (SELECT count(*) FROM audit WHERE "
            "kind = 'code.sent' AND at >= ?1), (SELECT count(*) FROM outbox WHERE state = "
            "'pending'), (SELECT count(*) FROM outbox WHERE state = 'failed') FROM (SELECT "
            "count(*) AS raised, coalesce(sum(verified <> 0), 0) AS verified FROM challenges "
            "WHERE created_at >= ?1) c");
        counts.bind(1, toMillis(since)).bind(2, toMillis(aliveSince));
        while (counts.step()) {
          const auto count = [&](int column) {
            return static_cast<std::size_t>(counts.integer(column));
          };
          figures.devices = count(0);
          figures.streams = count(1);
          figures.challengesRaised = count(2);
          figures.challengesVerified = count(3);
          figures.codesSent = count(4);
          figures.outboxPending = count(5);
          figures.outboxFailed = count(6);
        }
        Statement& attaches = reader.statement(
            "SELECT (attached_at - ?1) / 60000, count(*) FROM devices WHERE attached_at >= ?1 "
            "AND attached_at < ?2 GROUP BY 1");
        attaches.bind(1, first).bind(2, end);
        while (attaches.step()) {
          const std::int64_t minute = attaches.integer(0);
          if (minute >= 0 && minute < minutes)
            figures.attachesByMinute[static_cast<std::size_t>(minute)] =
                static_cast<std::size_t>(attaches.integer(1));
        }
        Statement& alive =
            reader.statement("SELECT id, started_at, beat_at FROM instances WHERE beat_at >= ?1");
        alive.bind(1, toMillis(aliveSince));
        while (alive.step())
          figures.instances.push_back(
              {alive.text(0), fromMillis(alive.integer(1)), fromMillis(alive.integer(2))});
        reader.execute("COMMIT");
      } catch (...) {
        reader.execute("ROLLBACK");
        throw;
      }
      std::sort(figures.instances.begin(), figures.instances.end(),
                [](const auto& a, const auto& b) { return a.id < b.id; });
      return figures;
    });
  }

  bool deleteProject(const std::string& clientId) override {
    std::lock_guard lock(mutex_);
    begin_->run();
    try {
      const auto run = [&](const char* sql) {
        Statement statement(db_, sql);
        return statement.bind(1, clientId).run();
      };
      run("DELETE FROM messages WHERE device_id IN (SELECT id FROM devices WHERE client_id = ?1)");
      run("DELETE FROM stream_hosts WHERE device_id IN (SELECT id FROM devices WHERE client_id = "
          "?1)");
      for (const char* table : {"devices", "challenges", "users", "identities", "detached_devices",
                                "outbox", "audit", "project_keys"}) {
        Statement remove(db_,
                         (std::string("DELETE FROM ") + table + " WHERE client_id = ?1").c_str());
        remove.bind(1, clientId).run();
      }
      const bool found = run("DELETE FROM projects WHERE client_id = ?1") > 0;
      commit_->run();
      return found;
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

 private:
  // Runs `read` on a reader connection of the pool, opened when none is free.
  template <class Read>
  auto reading(Read&& read) -> decltype(read(std::declval<Reader&>())) {
    std::unique_ptr<Reader> reader;
    {
      std::lock_guard lock(readersMutex_);
      if (!readers_.empty()) {
        reader = std::move(readers_.back());
        readers_.pop_back();
      }
    }
    if (!reader) reader = std::make_unique<Reader>(path_, &SQLiteStore::whenBusy);
    struct GiveBack {
      SQLiteStore& store;
      std::unique_ptr<Reader>& reader;
      ~GiveBack() {
        std::lock_guard lock(store.readersMutex_);
        if (store.readers_.size() < kMaxIdleReaders) store.readers_.push_back(std::move(reader));
      }
    } giveBack{*this, reader};
    return read(*reader);
  }

  std::optional<StoredUser> readUserIn(Reader& reader, const UserKey& key) {
    StoredUser found;
    UserRecord& user = found.record;
    user.key = key;
    bool any = false;
    Statement& row = reader.statement(
        "SELECT version, email, phone, device_changes, known_devices, limit_override FROM users "
        "WHERE client_id = ?1 AND user_id = ?2");
    row.bind(1, key.project).bind(2, key.user);
    if (row.step()) {
      any = true;
      user.version = static_cast<std::uint64_t>(row.integer(0));
      user.profile.email = row.text(1);
      user.profile.phone = row.text(2);
      user.deviceChanges = sendTimesOf(row.text(3));
      user.knownDevices = knownDevicesOf(row.text(4));
      user.limitOverride = limitOverrideOf(row.text(5));
      row.reset();
    }
    Statement& devices = reader.statement(
        "SELECT id, vendor_id, type, library, version, identity, accesses, device_info, "
        "metadata, attached_at, last_seen_at, last_event_id, ended_at, city, country FROM "
        "devices WHERE client_id = ?1 AND user_id = ?2 ORDER BY rowid");
    devices.bind(1, key.project).bind(2, key.user);
    while (devices.step()) {
      any = true;
      Device& device = user.devices.emplace_back();
      device.id = devices.text(0);
      device.vendorId = devices.text(1);
      device.type = deviceTypeFromName(devices.text(2));
      device.library = devices.text(3);
      device.version = devices.text(4);
      device.identity = devices.text(5);
      device.accesses = stringsOf(devices.text(6));
      device.deviceInfo = SharedJSON::fromText(devices.text(7));
      device.metadata = SharedJSON::fromText(devices.text(8));
      device.attachedAt = fromMillis(devices.integer(9));
      device.lastSeenAt = fromMillis(devices.integer(10));
      device.lastEventId = static_cast<std::uint64_t>(devices.integer(11));
      const std::int64_t ended = devices.integer(12);
      if (ended > 0 && ended != kStreaming) found.streams[device.id].endedAt = fromMillis(ended);
      device.location = {devices.text(13), devices.text(14)};
    }
    if (!user.devices.empty()) {
      std::unordered_map<std::string, Device*> byId;
      for (Device& device : user.devices) byId[device.id] = &device;
      Statement& messages = reader.statement(
          "SELECT m.device_id, m.id, m.sent_at, m.data FROM messages m JOIN devices d ON "
          "d.id = m.device_id WHERE d.client_id = ?1 AND d.user_id = ?2 ORDER BY m.device_id, "
          "m.id");
      messages.bind(1, key.project).bind(2, key.user);
      while (messages.step()) {
        const auto device = byId.find(messages.text(0));
        if (device == byId.end()) continue;
        device->second->messages.push_back({static_cast<std::uint64_t>(messages.integer(1)),
                                            fromMillis(messages.integer(2)), messages.text(3)});
      }
      Statement& hosts = reader.statement(
          "SELECT h.device_id, h.instance_id FROM stream_hosts h JOIN devices d ON "
          "d.id = h.device_id WHERE d.client_id = ?1 AND d.user_id = ?2");
      hosts.bind(1, key.project).bind(2, key.user);
      while (hosts.step()) found.streams[hosts.text(0)].hosts.push_back(hosts.text(1));
    }
    Statement& challenges = reader.statement(
        "SELECT id, reason, created_at, code_hash, channel, codes_sent, checks, verified, "
        "resolved, code_sent_at, code_checks, recent_sends, device_id FROM challenges WHERE "
        "client_id = ?1 AND user_id = ?2 ORDER BY rowid");
    challenges.bind(1, key.project).bind(2, key.user);
    while (challenges.step()) {
      any = true;
      Challenge& challenge = user.challenges.emplace_back();
      challenge.id = challenges.text(0);
      challenge.project = key.project;
      challenge.user = key.user;
      challenge.reason = challenges.text(1);
      challenge.createdAt = fromMillis(challenges.integer(2));
      challenge.codeHash = challenges.text(3);
      challenge.channel = challenges.text(4);
      challenge.codesSent = static_cast<int>(challenges.integer(5));
      challenge.checks = static_cast<int>(challenges.integer(6));
      challenge.verified = challenges.integer(7) != 0;
      challenge.resolved = challenges.integer(8) != 0;
      challenge.codeSentAt = fromMillis(challenges.integer(9));
      challenge.codeChecks = static_cast<int>(challenges.integer(10));
      challenge.recentSends = sendTimesOf(challenges.text(11));
      challenge.device = challenges.text(12);
    }
    if (!any) return std::nullopt;
    return found;
  }

  std::optional<DetachedDevice> detachedIn(Reader& reader, const std::string& deviceId) {
    Statement& detached = reader.statement(
        "SELECT id, client_id, accesses, logout_id, detached_at FROM detached_devices "
        "WHERE id = ?1 AND detached_at >= ?2");
    detached.bind(1, deviceId).bind(2, toMillis(Clock::now() - kKeptMessagesFor));
    if (!detached.step()) return std::nullopt;
    DetachedDevice device = detachedOf(detached);
    detached.reset();
    return device;
  }

  void execute(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
      std::string reason = message ? message : sqlite3_errmsg(db_);
      sqlite3_free(message);
      throw StoreError(path_ + ": " + reason);
    }
  }

  // Waits for a lock held by another connection (the checkpointer having the log start over, or
  // another process): in short steps at first, as the checkpointer holds it briefly, and for
  // about five seconds in all before the statement fails with SQLITE_BUSY.
  static int whenBusy(void*, int tries) {
    if (tries < 200) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      return 1;
    }
    if (tries < 200 + 5000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return 1;
    }
    return 0;
  }

  // Hands the copying of the log to a thread with a connection of its own. A database without a
  // log of its own file (":memory:") keeps SQLite's copying on commit, as does one whose second
  // connection cannot be opened.
  void startCheckpoints() {
    {
      Statement mode(db_, "PRAGMA journal_mode");
      const bool wal = mode.step() && mode.text(0) == "wal";
      while (mode.step()) {
      }
      if (!wal) return;
    }
    const char* file = sqlite3_db_filename(db_, "main");
    if (!file || !*file) return;
    if (sqlite3_open_v2(file, &checkpointDb_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
      sqlite3_close(checkpointDb_);
      checkpointDb_ = nullptr;
      return;
    }
    sqlite3_busy_timeout(checkpointDb_, 5000);
    // A connection finds the log only once it reads the database.
    if (sqlite3_exec(checkpointDb_, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr) !=
        SQLITE_OK) {
      sqlite3_close(checkpointDb_);
      checkpointDb_ = nullptr;
      return;
    }
    sqlite3_wal_hook(db_, &SQLiteStore::onCommit, this);
    checkpointer_ = std::thread([this] { copyLog(); });
  }

  // Called on the committing thread after each commit, with the frames now in the log.
  static int onCommit(void* self, sqlite3* db, const char*, int frames) {
    auto& store = *static_cast<SQLiteStore*>(self);
    bool wake = false;
    {
      std::unique_lock lock(store.checkpointMutex_);
      if (frames < store.copiedFrames_) store.copiedFrames_ = 0;  // the log started over
      store.walFrames_ = frames;
      wake = frames - store.copiedFrames_ >= store.log_.copyAt;
      if (frames < store.log_.copyHereAt) {
        lock.unlock();
        if (wake) store.checkpointWake_.notify_one();
        return SQLITE_OK;
      }
      // The checkpointer fell behind. Its pass under way would keep a copy here from starting:
      // that pass ends first, and the next waits for this one.
      store.copyDone_.wait(lock, [&] { return !store.copying_; });
      store.copying_ = true;
    }
    // All of it copied, the log starts over with the next transaction.
    sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    {
      std::lock_guard lock(store.checkpointMutex_);
      store.copying_ = false;
    }
    store.checkpointWake_.notify_one();
    return SQLITE_OK;
  }

  // The checkpointer. The log starts over when a transaction begins with all of it copied, which
  // commits that follow one another without pause never leave time for: once it holds
  // SQLiteLog::restartAt pages, the checkpointer copies what came in meanwhile, then holds commits
  // back while it copies the little that is left (a few milliseconds, for its fsyncs), so that the
  // next commit starts the log over.
  void copyLog() {
    bool reported = false;
    std::unique_lock lock(checkpointMutex_);
    for (;;) {
      checkpointWake_.wait(lock, [&] {
        return stopCheckpoints_ || (!copying_ && walFrames_ - copiedFrames_ >= log_.copyAt);
      });
      if (stopCheckpoints_) return;
      const int before = copiedFrames_;
      copying_ = true;
      lock.unlock();
      int logged = 0, copied = 0;
      int result = sqlite3_wal_checkpoint_v2(checkpointDb_, nullptr, SQLITE_CHECKPOINT_PASSIVE,
                                             &logged, &copied);
      if (result == SQLITE_OK && logged >= log_.restartAt) {
        result = sqlite3_wal_checkpoint_v2(checkpointDb_, nullptr, SQLITE_CHECKPOINT_PASSIVE,
                                           &logged, &copied);
        if (result == SQLITE_OK) {
          result = sqlite3_wal_checkpoint_v2(checkpointDb_, nullptr, SQLITE_CHECKPOINT_FULL,
                                             &logged, &copied);
        }
      }
      if (result != SQLITE_OK && result != SQLITE_BUSY && !reported) {
        // The log goes on growing until the committing thread copies it (copyHereAt).
        std::fprintf(stderr, "zelk-server: cannot copy the log of %s into it: %s\n", path_.c_str(),
                     sqlite3_errmsg(checkpointDb_));
        reported = true;
      } else if (result == SQLITE_OK) {
        reported = false;
      }
      lock.lock();
      copying_ = false;
      copyDone_.notify_all();
      if (copied > copiedFrames_) copiedFrames_ = copied;
      // Nothing copied (a reader in the way, or a failure): a pause before the next try.
      if (copiedFrames_ <= before)
        checkpointWake_.wait_for(lock, std::chrono::milliseconds(50),
                                 [&] { return stopCheckpoints_; });
    }
  }

  void migrate() {
    std::int64_t version = 0;
    {
      Statement current(db_, "PRAGMA user_version");
      if (current.step()) version = current.integer(0);
      while (current.step()) {
      }
    }
    if (version > static_cast<std::int64_t>(kMigrations.size()))
      throw StoreError(path_ + " was written by a newer zelk-server (schema version " +
                       std::to_string(version) + ")");
    for (auto next = static_cast<std::size_t>(version); next < kMigrations.size(); ++next) {
      execute("BEGIN IMMEDIATE");
      try {
        execute(kMigrations[next]);
        execute(("PRAGMA user_version = " + std::to_string(next + 1)).c_str());
        execute("COMMIT");
      } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
      }
    }
  }

  void prepare() {
    const auto add = [this](const char* sql) {
      statements_.push_back(std::make_unique<Statement>(db_, sql));
      return statements_.back().get();
    };
    begin_ = add("BEGIN IMMEDIATE");
    commit_ = add("COMMIT");
    newUser_ =
        add("INSERT INTO users (client_id, user_id, email, phone, version, device_changes, "
            "known_devices, limit_override) VALUES (?1, ?2, ?3, ?4, ?5 + 1, ?6, ?7, ?8) ON "
            "CONFLICT (client_id, "
            "user_id) DO "
            "NOTHING");
    bumpUser_ =
        add("UPDATE users SET email = ?3, phone = ?4, version = ?5 + 1, device_changes = ?6, "
            "known_devices = ?7, limit_override = ?8 WHERE client_id = ?1 AND user_id = ?2 AND "
            "version = ?5");
    putProject_ = add(
        "INSERT OR REPLACE INTO projects (client_id, configured, name, overall_limit, "
        "mobile_limit, tablet_limit, computer_limit, logo, primary_color, require_verification, "
        "block_over_usage, limit_policy, show_contacts, liveness_grace, webhook_url, "
        "webhook_secret, user_secret, require_signed_users, new_device_notices, "
        "trusted_device_days, device_changes_limit, device_changes_days) VALUES (?1, ?2, ?3, ?4, "
        "?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21, ?22)");
    newProject_ = add(
        "INSERT OR IGNORE INTO projects (client_id, configured, name, overall_limit, "
        "mobile_limit, tablet_limit, computer_limit, logo, primary_color, require_verification, "
        "block_over_usage, limit_policy, show_contacts, liveness_grace, webhook_url, "
        "webhook_secret, user_secret, require_signed_users, new_device_notices, "
        "trusted_device_days, device_changes_limit, device_changes_days) VALUES (?1, ?2, ?3, ?4, "
        "?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21, ?22)");
    putDevice_ = add(
        "INSERT INTO devices (id, client_id, user_id, vendor_id, type, library, version, "
        "identity, accesses, device_info, metadata, attached_at, last_seen_at, last_event_id, "
        "position, ended_at, city, country) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, "
        "?11, ?12, ?13, ?14, 0, 0, ?15, ?16) ON CONFLICT (id) DO UPDATE SET vendor_id = ?4, "
        "type = ?5, library = ?6, version = ?7, identity = ?8, accesses = ?9, device_info = ?10, "
        "metadata = ?11, last_seen_at = ?13, last_event_id = ?14, city = ?15, country = ?16");
    removeDevice_ = add("DELETE FROM devices WHERE id = ?1");
    removeMessages_ = add("DELETE FROM messages WHERE device_id = ?1");
    removeHosts_ = add("DELETE FROM stream_hosts WHERE device_id = ?1");
    knownIdentity_ =
        add("UPDATE identities SET last_seen_at = ?3 WHERE id = ?1 AND client_id = ?2");
    putIdentity_ =
        add("INSERT INTO identities (id, client_id, vendor_id, device_info, created_at, "
            "last_seen_at) VALUES (?1, ?2, ?3, ?4, ?5, ?5) ON CONFLICT (client_id, vendor_id) DO "
            "UPDATE SET device_info = ?4, last_seen_at = ?5 RETURNING id");
    putChallenge_ =
        add("INSERT INTO challenges (id, client_id, user_id, reason, created_at, channel, "
            "codes_sent, checks, verified, resolved, position, code_hash, code_sent_at, "
            "code_checks, recent_sends, device_id) VALUES (?1, ?2, ?3, ?4, ?5, ?7, ?8, ?9, ?10, "
            "?11, 0, ?6, ?12, ?13, ?14, ?15) ON CONFLICT (id) DO UPDATE SET code_hash = ?6, "
            "channel = ?7, codes_sent = ?8, checks = ?9, verified = ?10, resolved = ?11, "
            "code_sent_at = ?12, code_checks = ?13, recent_sends = ?14, device_id = ?15");
    putMessage_ = add("INSERT OR REPLACE INTO messages VALUES (?1, ?2, ?3, ?4)");
    putDetached_ = add("INSERT OR REPLACE INTO detached_devices VALUES (?1, ?2, ?3, ?4, ?5)");
    trimMessages_ = add("DELETE FROM messages WHERE device_id = ?1 AND (id <= ?2 OR sent_at < ?3)");
    putOutbox_ = add("INSERT OR REPLACE INTO outbox VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    updateOutbox_ =
        add("UPDATE outbox SET payload = ?2, attempts = ?3, next_attempt_at = ?4, last_error = ?5, "
            "state = ?6 WHERE id = ?1");
    putAudit_ =
        add("INSERT INTO audit (at, client_id, kind, subject, detail) VALUES (?1, ?2, ?3, ?4, ?5)");
    // By age first: an entry too old to keep takes no place of a newer one.
    trimAuditAge_ = add("DELETE FROM audit WHERE at < ?1");
    trimAudit_ = add("DELETE FROM audit WHERE seq <= (SELECT max(seq) FROM audit) - ?1");
    putBeat_ = add(
        "INSERT INTO instances (id, started_at, beat_at) VALUES (?1, ?2, ?3) ON CONFLICT (id) DO "
        "UPDATE SET beat_at = ?3");
    beats_ = add("SELECT id, started_at, beat_at FROM instances");
    putHost_ = add("INSERT OR IGNORE INTO stream_hosts (device_id, instance_id) VALUES (?1, ?2)");
    removeHost_ = add("DELETE FROM stream_hosts WHERE device_id = ?1 AND instance_id = ?2");
    markStreaming_ = add("UPDATE devices SET ended_at = ?2 WHERE id = ?1");
    markEnded_ =
        add("UPDATE devices SET ended_at = max(?2, CASE ended_at WHEN ?3 THEN 0 ELSE ended_at END) "
            "WHERE id = ?1 AND NOT EXISTS (SELECT 1 FROM stream_hosts WHERE device_id = ?1)");
  }

  IdentifyOutcome identify(const IdentifyRequest& request) {
    if (!request.identityId.empty() && knownIdentity_->bind(1, request.identityId)
                                               .bind(2, request.project)
                                               .bind(3, toMillis(request.at))
                                               .run() > 0)
      return {request.identityId, true};
    putIdentity_->bind(1, request.newId)
        .bind(2, request.project)
        .bind(3, request.vendorId)
        .bind(4, dumpJSON(request.deviceInfo))
        .bind(5, toMillis(request.at));
    IdentifyOutcome outcome;
    while (putIdentity_->step()) outcome.identity = putIdentity_->text(0);
    return outcome;
  }

  void writeUser(const UserKey& user, const Changes& changes) {
    for (const auto& id : changes.removedDevices) {
      removeDevice_->bind(1, id).run();
      removeMessages_->bind(1, id).run();
      removeHosts_->bind(1, id).run();
    }
    for (const auto& d : changes.devices) {
      putDevice_->bind(1, d.id)
          .bind(2, user.project)
          .bind(3, user.user)
          .bind(4, d.vendorId)
          .bind(5, std::string(deviceTypeName(d.type)))
          .bind(6, d.library)
          .bind(7, d.version)
          .bind(8, d.identity)
          .bind(9, d.accesses)
          .bind(10, d.deviceInfo.text())
          .bind(11, d.metadata.text())
          .bind(12, toMillis(d.attachedAt))
          .bind(13, toMillis(d.lastSeenAt))
          .bind(14, static_cast<std::int64_t>(d.lastEventId))
          .bind(15, d.location.city)
          .bind(16, d.location.country)
          .run();
    }
    for (const Challenge& c : changes.challenges) {
      putChallenge_->bind(1, c.id)
          .bind(2, user.project)
          .bind(3, user.user)
          .bind(4, c.reason)
          .bind(5, toMillis(c.createdAt))
          .bind(6, c.codeHash)
          .bind(7, c.channel)
          .bind(8, std::int64_t{c.codesSent})
          .bind(9, std::int64_t{c.checks})
          .bind(10, std::int64_t{c.verified})
          .bind(11, std::int64_t{c.resolved})
          .bind(12, toMillis(c.codeSentAt))
          .bind(13, std::int64_t{c.codeChecks})
          .bind(14, sendTimesJSON(c))
          .bind(15, c.device)
          .run();
    }
    for (const auto& trim : changes.trims) {
      trimMessages_->bind(1, trim.deviceId)
          .bind(2, static_cast<std::int64_t>(trim.throughId))
          .bind(3, toMillis(trim.before))
          .run();
    }
    for (const auto& row : changes.messages) {
      putMessage_->bind(1, row.deviceId)
          .bind(2, static_cast<std::int64_t>(row.message.id))
          .bind(3, toMillis(row.message.sentAt))
          .bind(4, row.message.data)
          .run();
    }
    for (const DetachedDevice& d : changes.detached) {
      putDetached_->bind(1, d.id)
          .bind(2, d.project)
          .bind(3, dumpJSON(d.accesses))
          .bind(4, static_cast<std::int64_t>(d.logoutId))
          .bind(5, toMillis(d.detachedAt))
          .run();
    }
  }

  void writeCommon(const Changes& changes) {
    for (const auto& row : changes.projects) {
      const ProjectSettings& s = row.settings;
      (row.onlyIfNew ? newProject_ : putProject_)
          ->bind(1, row.clientId)
          .bind(2, std::int64_t{row.configured})
          .bind(3, s.name)
          .bind(4, std::int64_t{s.overallLimit})
          .bind(5, std::int64_t{s.mobileLimit})
          .bind(6, std::int64_t{s.tabletLimit})
          .bind(7, std::int64_t{s.computerLimit})
          .bind(8, s.logo)
          .bind(9, s.primaryColor)
          .bind(10, std::int64_t{s.requireVerification})
          .bind(11, std::int64_t{s.blockOverUsage})
          .bind(12, std::string(limitPolicyName(s.limitPolicy)))
          .bind(13, std::int64_t{s.showContacts})
          .bind(14, std::int64_t{s.livenessGraceSeconds})
          .bind(15, s.webhookUrl)
          .bind(16, s.webhookSecret)
          .bind(17, s.userSecret)
          .bind(18, std::int64_t{s.requireSignedUsers})
          .bind(19, std::int64_t{s.newDeviceNotices})
          .bind(20, std::int64_t{s.trustedDeviceDays})
          .bind(21, std::int64_t{s.deviceChangesLimit})
          .bind(22, std::int64_t{s.deviceChangesDays})
          .run();
    }
    for (const OutboxMessage& m : changes.outbox) {
      putOutbox_->bind(1, m.id)
          .bind(2, m.kind)
          .bind(3, m.project)
          .bind(4, m.payload)
          .bind(5, std::int64_t{m.attempts})
          .bind(6, toMillis(m.createdAt))
          .bind(7, toMillis(m.nextAttemptAt))
          .bind(8, m.lastError)
          .bind(9, std::string(outboxStateName(m.state)))
          .run();
    }
    for (const AuditEntry& entry : changes.audit) {
      putAudit_->bind(1, toMillis(entry.at))
          .bind(2, entry.project)
          .bind(3, entry.kind)
          .bind(4, entry.subject)
          .bind(5, dumpJSON(entry.detail))
          .run();
    }
    if (!changes.audit.empty()) trimAudit();
  }

  void trimAudit() {
    trimAuditAge_->bind(1, toMillis(Clock::now() - retention_.maxAge)).run();
    trimAudit_->bind(1, static_cast<std::int64_t>(retention_.keep)).run();
  }

  static constexpr std::size_t kMaxIdleReaders = 8;

  const OwnFile file_;  // first: closed after every connection
  const std::string path_;
  std::string instance_;
  std::mutex mutex_;  // the writing connection's
  sqlite3* db_ = nullptr;
  std::vector<std::unique_ptr<Statement>> statements_;
  Statement *begin_ = nullptr, *commit_ = nullptr, *newUser_ = nullptr, *bumpUser_ = nullptr,
            *putProject_ = nullptr, *newProject_ = nullptr, *putDevice_ = nullptr,
            *removeDevice_ = nullptr, *removeMessages_ = nullptr, *removeHosts_ = nullptr,
            *knownIdentity_ = nullptr, *putIdentity_ = nullptr, *putChallenge_ = nullptr,
            *putMessage_ = nullptr, *trimMessages_ = nullptr, *putDetached_ = nullptr,
            *putOutbox_ = nullptr, *updateOutbox_ = nullptr, *putAudit_ = nullptr,
            *putBeat_ = nullptr, *beats_ = nullptr, *putHost_ = nullptr, *removeHost_ = nullptr,
            *markStreaming_ = nullptr, *markEnded_ = nullptr, *trimAudit_ = nullptr,
            *trimAuditAge_ = nullptr;
  AuditRetention retention_;

  std::mutex readersMutex_;
  std::vector<std::unique_ptr<Reader>> readers_;  // idle ones

  const SQLiteLog log_;
  sqlite3* checkpointDb_ = nullptr;  // the checkpointer's connection
  std::thread checkpointer_;
  std::mutex checkpointMutex_;
  std::condition_variable checkpointWake_, copyDone_;
  bool copying_ = false;  // a pass of the checkpointer, or the committing thread's copy, is on
  int walFrames_ = 0;     // in the log after the last commit
  int copiedFrames_ = 0;  // of those, copied into the database file
  bool stopCheckpoints_ = false;
};

}  // namespace

std::unique_ptr<Store> makeSQLiteStore(const std::string& path, SQLiteLog log) {
  return std::make_unique<SQLiteStore>(path, log);
}

}  // namespace zelk::server
