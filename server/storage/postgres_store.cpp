// SPDX-License-Identifier: Apache-2.0
// The PostgreSQL backend, shared by every instance pointed at the same database. A user's
// records are read in one statement; the changes of a whole batch of calls (many users) are
// written in one statement as well, which bumps each user's version only where it is still the
// one the call was decided on, and writes nothing else of a user whose version moved: that
// user's calls are decided again. The same statement announces what it wrote (NOTIFY, heard
// once the change is there and never if it is not): the users changed, the messages for
// devices, the projects; one connection of the store's own LISTENs and hands those notices on.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
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
using pg::Prepared;
using pg::Result;

// The session-level advisory lock migrations run under.
constexpr const char* kMigrationLock = "SELECT pg_advisory_lock(2026, 10)";
constexpr const char* kMigrationUnlock = "SELECT pg_advisory_unlock(2026, 10)";
// How long a request waits for a free connection before it fails.
constexpr auto kPoolWait = std::chrono::seconds(10);
// A notice stays below this size, and the payload of a notification, the sender's id and the
// notices it packs (one a line), below PostgreSQL's 8000 bytes.
constexpr std::size_t kNoticeBytes = 7000;
constexpr std::size_t kPayloadBytes = 7800;
// A device's ended_at while a stream of it is open on some instance: later than any time, so that
// the idle sweep's index never lists it.
constexpr std::int64_t kStreaming = std::int64_t{1} << 62;

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
    // The database is the source of truth, read one user at a time: every user has a row with
    // the version of its records, and the liveness of streams is kept per instance (which beats)
    // and per device (when its last stream ended), not marked per stream every minute. One
    // identity per vendor identifier: a second one could only come of a race.
    R"sql(
ALTER TABLE users ADD COLUMN version BIGINT NOT NULL DEFAULT 0;
ALTER TABLE devices ADD COLUMN ended_at BIGINT NOT NULL DEFAULT 0;
UPDATE devices SET ended_at = active_at;
ALTER TABLE devices DROP COLUMN active_at;
INSERT INTO users (client_id, user_id, email, phone)
  SELECT DISTINCT client_id, user_id, '', '' FROM devices ON CONFLICT DO NOTHING;
INSERT INTO users (client_id, user_id, email, phone)
  SELECT DISTINCT client_id, user_id, '', '' FROM challenges ON CONFLICT DO NOTHING;
UPDATE users SET version = 1;
-- Partial (every device is in it), so that no plan looks up a user's devices through it: a plan
-- made while the table is still empty may otherwise pick it for that and scan all of a
-- project's devices on every read until the next ANALYZE.
CREATE INDEX devices_quiet ON devices (client_id, (greatest(last_seen_at, ended_at)))
  WHERE last_seen_at >= 0;
CREATE INDEX detached_by_time ON detached_devices (detached_at);
CREATE TABLE instances (
  id TEXT PRIMARY KEY,
  started_at BIGINT NOT NULL,
  beat_at BIGINT NOT NULL
);
CREATE TABLE stream_hosts (
  device_id TEXT NOT NULL,
  instance_id TEXT NOT NULL,
  PRIMARY KEY (device_id, instance_id)
);
CREATE INDEX stream_hosts_by_instance ON stream_hosts (instance_id);
DELETE FROM identities a USING identities b
  WHERE a.client_id = b.client_id AND a.vendor_id = b.vendor_id
    AND (a.last_seen_at < b.last_seen_at OR (a.last_seen_at = b.last_seen_at AND a.id < b.id));
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
ALTER TABLE projects ADD COLUMN require_signed_users BOOLEAN NOT NULL DEFAULT false;
)sql",
    // What owners see and manage of their devices: new-device notices, trusted devices, and a
    // cap on how often devices are changed.
    R"sql(
ALTER TABLE projects ADD COLUMN new_device_notices BOOLEAN NOT NULL DEFAULT false;
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
CREATE INDEX users_by_id ON users (client_id, user_id COLLATE "C");
CREATE INDEX users_by_email ON users (client_id, lower(email));
CREATE INDEX users_by_phone ON users (client_id, phone);
CREATE INDEX audit_by_subject ON audit (client_id, subject, seq);
CREATE INDEX audit_by_kind ON audit (client_id, kind, at);
CREATE INDEX challenges_by_time ON challenges (client_id, created_at);
CREATE TABLE project_keys (
  id TEXT PRIMARY KEY,
  client_id TEXT NOT NULL,
  hash TEXT NOT NULL UNIQUE,
  created_at BIGINT NOT NULL,
  last_used_at BIGINT NOT NULL
);
CREATE INDEX project_keys_by_project ON project_keys (client_id, created_at);
)sql",
    // Who signs in to the console and their sessions; and what its overview counts over every
    // project, each by an index of its own: attaches by time, challenges by when they were raised
    // (with whether they were verified), audit entries of a kind by time, the instances alive,
    // and the devices each one streams (the index by instance holds the device). The number of
    // devices is kept as it changes (device_counts, below), as counting a million rows takes
    // longer than the whole overview may.
    R"sql(
CREATE TABLE operators (
  name TEXT PRIMARY KEY,
  role TEXT NOT NULL,
  password_hash TEXT NOT NULL,
  setup_hash TEXT NOT NULL,
  setup_until BIGINT NOT NULL,
  created_at BIGINT NOT NULL
);
CREATE TABLE operator_sessions (
  hash TEXT PRIMARY KEY,
  name TEXT NOT NULL,
  csrf TEXT NOT NULL,
  created_at BIGINT NOT NULL,
  seen_at BIGINT NOT NULL
);
CREATE INDEX operator_sessions_by_name ON operator_sessions (name);
CREATE INDEX operator_sessions_by_seen ON operator_sessions (seen_at);
CREATE INDEX devices_by_attach ON devices (attached_at);
CREATE INDEX challenges_by_creation ON challenges (created_at, verified);
CREATE INDEX audit_by_kind_time ON audit (kind, at);
CREATE INDEX instances_by_beat ON instances (beat_at);
DROP INDEX stream_hosts_by_instance;
CREATE INDEX stream_hosts_by_instance ON stream_hosts (instance_id, device_id);
-- Every statement that adds or removes devices adds their number to a row of its connection's
-- slot (of 64, by backend), so that commits side by side seldom wait on one row; the count is the
-- sum. The triggers come first: they lock the table against writes until this commits, so the
-- count they start from misses none.
CREATE TABLE device_counts (
  slot INTEGER PRIMARY KEY,
  devices BIGINT NOT NULL
);
CREATE FUNCTION count_added_devices() RETURNS trigger LANGUAGE plpgsql AS $$
DECLARE
  n BIGINT;
BEGIN
  SELECT count(*) INTO n FROM added;
  IF n > 0 THEN
    INSERT INTO device_counts AS t (slot, devices) VALUES (pg_backend_pid() % 64, n)
      ON CONFLICT (slot) DO UPDATE SET devices = t.devices + EXCLUDED.devices;
  END IF;
  RETURN NULL;
END $$;
CREATE FUNCTION count_removed_devices() RETURNS trigger LANGUAGE plpgsql AS $$
DECLARE
  n BIGINT;
BEGIN
  SELECT count(*) INTO n FROM removed;
  IF n > 0 THEN
    INSERT INTO device_counts AS t (slot, devices) VALUES (pg_backend_pid() % 64, -n)
      ON CONFLICT (slot) DO UPDATE SET devices = t.devices + EXCLUDED.devices;
  END IF;
  RETURN NULL;
END $$;
CREATE TRIGGER devices_added AFTER INSERT ON devices REFERENCING NEW TABLE AS added
  FOR EACH STATEMENT EXECUTE FUNCTION count_added_devices();
CREATE TRIGGER devices_removed AFTER DELETE ON devices REFERENCING OLD TABLE AS removed
  FOR EACH STATEMENT EXECUTE FUNCTION count_removed_devices();
INSERT INTO device_counts (slot, devices) SELECT 0, count(*) FROM devices;
)sql",
};

constexpr const char* kProjectColumns =
    "client_id, configured, name, overall_limit, mobile_limit, tablet_limit, computer_limit, "
    "logo, primary_color, require_verification, block_over_usage, limit_policy, show_contacts, "
    "liveness_grace, webhook_url, webhook_secret, user_secret, require_signed_users, "
    "new_device_notices, trusted_device_days, device_changes_limit, device_changes_days";

Project readProjectRow(const Result& r, int i) {
  Project project;
  project.clientId = r.text(i, 0);
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
  s.userSecret = r.text(i, 16);
  s.requireSignedUsers = r.boolean(i, 17);
  s.newDeviceNotices = r.boolean(i, 18);
  s.trustedDeviceDays = static_cast<int>(r.integer(i, 19));
  s.deviceChangesLimit = static_cast<int>(r.integer(i, 20));
  s.deviceChangesDays = static_cast<int>(r.integer(i, 21));
  return project;
}

constexpr const char* kDetachedColumns = "id, client_id, accesses, logout_id, detached_at";

DetachedDevice readDetachedRow(const Result& r, int i, int first = 0) {
  DetachedDevice device;
  device.id = r.text(i, first);
  device.project = r.text(i, first + 1);
  device.accesses = stringsOf(r.text(i, first + 2));
  device.logoutId = static_cast<std::uint64_t>(r.integer(i, first + 3));
  device.detachedAt = fromMillis(r.integer(i, first + 4));
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

ProjectKey keyOf(const Result& r, int i) {
  return {r.text(i, 0), r.text(i, 1), r.text(i, 2), fromMillis(r.integer(i, 3)),
          fromMillis(r.integer(i, 4))};
}

constexpr const char* kOperatorColumns =
    "name, role, password_hash, setup_hash, setup_until, created_at";

OperatorAccount operatorOf(const Result& r, int i) {
  return {r.text(i, 0),
          r.text(i, 1),
          r.text(i, 2),
          r.text(i, 3),
          fromMillis(r.integer(i, 4)),
          fromMillis(r.integer(i, 5))};
}

// The console's overview in one statement, so in one snapshot: a row of the counts ("f"), a row
// for each minute with attaches ("m": the minute from $4 and the count), and one for each
// instance alive ("i": id, started_at, beat_at). Each count reads a range of an index, the
// devices' the few rows of device_counts.
constexpr const char* kOverview = R"sql(
SELECT 'f' AS k, '' AS id, (SELECT coalesce(sum(devices), 0)::bigint FROM device_counts) AS a,
       (SELECT count(*) FROM (SELECT DISTINCT h.device_id FROM instances i
          JOIN stream_hosts h ON h.instance_id = i.id WHERE i.beat_at >= $3::bigint) s) AS b,
       (SELECT count(*) FROM challenges WHERE created_at >= $2::bigint) AS c,
       (SELECT count(*) FROM challenges WHERE created_at >= $2::bigint AND verified) AS d,
       (SELECT count(*) FROM audit WHERE kind = 'code.sent' AND at >= $2::bigint) AS e,
       (SELECT count(*) FROM outbox WHERE state = 'pending') AS f,
       (SELECT count(*) FROM outbox WHERE state = 'failed') AS g
UNION ALL
SELECT 'm', '', minute, count(*), 0, 0, 0, 0, 0
  FROM (SELECT (attached_at - $4::bigint) / 60000 AS minute FROM devices
         WHERE attached_at >= $4::bigint AND attached_at < $1::bigint) a
 GROUP BY minute
UNION ALL
SELECT 'i', id, started_at, beat_at, 0, 0, 0, 0, 0 FROM instances WHERE beat_at >= $3::bigint)sql";

// The audit entries of rows of "seq, at, client_id, kind, subject, detail".
std::vector<AuditEntry> auditOf(const Result& r) {
  std::vector<AuditEntry> found;
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
  return found;
}

std::string sql(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (auto part : parts) text += part;
  return text;
}

// A user's records, as one statement reads them: a row per record, its kind first, then its
// columns as text. `o` names the user: (client_id, user_id).
constexpr const char* kUserRows = R"sql(
u AS (SELECT t.version, t.email, t.phone, t.device_changes, t.known_devices, t.limit_override
      FROM users t
      JOIN o USING (client_id, user_id)),
d AS (SELECT t.* FROM devices t JOIN o USING (client_id, user_id))
SELECT 'u', version::text, email, phone, device_changes, known_devices, limit_override, NULL,
       NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL FROM u
UNION ALL
SELECT 'd', id, vendor_id, type, library, version, identity, accesses, device_info, metadata,
       attached_at::text, last_seen_at::text, last_event_id::text, ended_at::text, position::text,
       city, country, NULL, NULL, NULL
  FROM d
UNION ALL
SELECT 'm', m.device_id, m.id::text, m.sent_at::text, m.data, NULL, NULL, NULL, NULL, NULL, NULL,
       NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL
  FROM messages m WHERE m.device_id IN (SELECT id FROM d)
UNION ALL
SELECT 'h', h.device_id, h.instance_id, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
       NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL
  FROM stream_hosts h WHERE h.device_id IN (SELECT id FROM d)
UNION ALL
SELECT 'c', t.id, t.reason, t.created_at::text, t.code_hash, t.channel, t.codes_sent::text,
       t.checks::text, t.verified::text, t.resolved::text, t.code_sent_at::text,
       t.code_checks::text, t.recent_sends, NULL, t.position::text, t.device_id, NULL, NULL, NULL,
       NULL
  FROM challenges t JOIN o USING (client_id, user_id))sql";

const std::string kReadUser =
    sql({"WITH o AS (SELECT $1::text AS client_id, $2::text AS user_id),", kUserRows});

const std::string kReadDevice = sql(
    {"WITH o AS (SELECT client_id, user_id FROM devices WHERE id = $1),", kUserRows,
     "\nUNION ALL SELECT 'o', client_id, user_id, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, "
     "NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL FROM o\nUNION ALL SELECT 'x', ",
     kDetachedColumns,
     ", NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL FROM "
     "(SELECT id, "
     "client_id, accesses, "
     "logout_id::text, detached_at::text FROM detached_devices WHERE id = $1 AND detached_at >= "
     "$2 AND NOT EXISTS (SELECT 1 FROM o)) x"});

// Turns the rows of kUserRows into a user's records; nullopt when there were none.
std::optional<StoredUser> userFromRows(const Result& r, const UserKey& key) {
  StoredUser found;
  UserRecord& user = found.record;
  user.key = key;
  bool any = false;
  std::vector<std::pair<std::int64_t, Device>> devices;
  std::vector<std::pair<std::int64_t, Challenge>> challenges;
  struct Row {
    std::string device;
    KeptMessage message;
  };
  std::vector<Row> messages;
  const auto number = [&](int i, int column) { return r.integer(i, column); };
  for (int i = 0; i < r.rows(); ++i) {
    const std::string kind = r.text(i, 0);
    if (kind == "u") {
      any = true;
      user.version = static_cast<std::uint64_t>(number(i, 1));
      user.profile.email = r.text(i, 2);
      user.profile.phone = r.text(i, 3);
      user.deviceChanges = sendTimesOf(r.text(i, 4));
      user.knownDevices = knownDevicesOf(r.text(i, 5));
      user.limitOverride = limitOverrideOf(r.text(i, 6));
    } else if (kind == "d") {
      any = true;
      Device device;
      device.id = r.text(i, 1);
      device.vendorId = r.text(i, 2);
      device.type = deviceTypeFromName(r.text(i, 3));
      device.library = r.text(i, 4);
      device.version = r.text(i, 5);
      device.identity = r.text(i, 6);
      device.accesses = stringsOf(r.text(i, 7));
      device.deviceInfo = SharedJSON::fromText(r.text(i, 8));
      device.metadata = SharedJSON::fromText(r.text(i, 9));
      device.attachedAt = fromMillis(number(i, 10));
      device.lastSeenAt = fromMillis(number(i, 11));
      device.lastEventId = static_cast<std::uint64_t>(number(i, 12));
      const std::int64_t ended = number(i, 13);
      if (ended > 0 && ended != kStreaming) found.streams[device.id].endedAt = fromMillis(ended);
      device.location = {r.text(i, 15), r.text(i, 16)};
      devices.emplace_back(number(i, 14), std::move(device));
    } else if (kind == "m") {
      messages.push_back(
          {r.text(i, 1),
           {static_cast<std::uint64_t>(number(i, 2)), fromMillis(number(i, 3)), r.text(i, 4)}});
    } else if (kind == "h") {
      found.streams[r.text(i, 1)].hosts.push_back(r.text(i, 2));
    } else if (kind == "c") {
      any = true;
      Challenge c;
      c.id = r.text(i, 1);
      c.project = key.project;
      c.user = key.user;
      c.reason = r.text(i, 2);
      c.createdAt = fromMillis(number(i, 3));
      c.codeHash = r.text(i, 4);
      c.channel = r.text(i, 5);
      c.codesSent = static_cast<int>(number(i, 6));
      c.checks = static_cast<int>(number(i, 7));
      c.verified = r.text(i, 8) == "true";
      c.resolved = r.text(i, 9) == "true";
      c.codeSentAt = fromMillis(number(i, 10));
      c.codeChecks = static_cast<int>(number(i, 11));
      c.recentSends = sendTimesOf(r.text(i, 12));
      c.device = r.text(i, 15);
      challenges.emplace_back(number(i, 14), std::move(c));
    }
  }
  if (!any) return std::nullopt;
  const auto byPosition = [](const auto& a, const auto& b) { return a.first < b.first; };
  std::stable_sort(devices.begin(), devices.end(), byPosition);
  std::stable_sort(challenges.begin(), challenges.end(), byPosition);
  for (auto& [position, device] : devices) user.devices.push_back(std::move(device));
  for (auto& [position, challenge] : challenges) user.challenges.push_back(std::move(challenge));
  std::stable_sort(messages.begin(), messages.end(),
                   [](const Row& a, const Row& b) { return a.message.id < b.message.id; });
  for (Row& row : messages) {
    if (Device* device = user.device(row.device))
      device->messages.push_back(std::move(row.message));
  }
  return found;
}

// The writes of a batch of units, in one statement. Each part is a set of rows in arrays; the
// rows of a user are written only when the user's version moved from the unit's base version
// to the next here (`bumped`), and rows of no user ("" as client id) always. The notices of what
// was written go in a statement of their own after it (kNotify): PostgreSQL lets one transaction
// that notifies commit at a time, its flush to disk included, and batches written side by side
// would wait for each other there.
constexpr const char* kCommit = R"sql(
WITH
u AS (SELECT * FROM unnest($1::text[], $2::text[], $3::bigint[], $4::text[], $5::text[],
        $76::text[], $77::text[], $79::text[])
        AS u(client_id, user_id, base, email, phone, device_changes, known_devices,
             limit_override)),
bumped AS (
  INSERT INTO users AS t (client_id, user_id, email, phone, version, device_changes,
                          known_devices, limit_override)
  SELECT client_id, user_id, email, phone, base + 1, device_changes, known_devices,
         limit_override FROM u
   ORDER BY client_id, user_id
  ON CONFLICT (client_id, user_id) DO UPDATE
    SET email = EXCLUDED.email, phone = EXCLUDED.phone, version = EXCLUDED.version,
        device_changes = EXCLUDED.device_changes, known_devices = EXCLUDED.known_devices,
        limit_override = EXCLUDED.limit_override
    WHERE t.version = EXCLUDED.version - 1
  RETURNING t.client_id, t.user_id),
d AS (SELECT * FROM unnest($6::text[], $7::text[], $8::text[], $9::text[], $10::text[],
        $11::text[], $12::text[], $13::text[], $14::text[], $15::text[], $16::text[],
        $17::bigint[], $18::bigint[], $19::bigint[], $74::text[], $75::text[])
        AS d(id, client_id, user_id, vendor_id, type, library, version, identity, accesses,
             device_info, metadata, attached_at, last_seen_at, last_event_id, city, country)),
put_devices AS (
  INSERT INTO devices AS t (id, client_id, user_id, vendor_id, type, library, version, identity,
                            accesses, device_info, metadata, attached_at, last_seen_at,
                            last_event_id, city, country)
  SELECT d.id, d.client_id, d.user_id, d.vendor_id, d.type, d.library, d.version, d.identity,
         d.accesses, d.device_info, d.metadata, d.attached_at, d.last_seen_at, d.last_event_id,
         d.city, d.country
    FROM d JOIN bumped b USING (client_id, user_id) ORDER BY d.id
  ON CONFLICT (id) DO UPDATE SET vendor_id = EXCLUDED.vendor_id, type = EXCLUDED.type,
    library = EXCLUDED.library, version = EXCLUDED.version, identity = EXCLUDED.identity,
    accesses = EXCLUDED.accesses, device_info = EXCLUDED.device_info,
    metadata = EXCLUDED.metadata, last_seen_at = EXCLUDED.last_seen_at,
    last_event_id = EXCLUDED.last_event_id, city = EXCLUDED.city, country = EXCLUDED.country),
r AS (SELECT * FROM unnest($20::text[], $21::text[], $22::text[]) AS r(id, client_id, user_id)),
gone AS (
  DELETE FROM devices t USING r JOIN bumped b USING (client_id, user_id) WHERE t.id = r.id),
gone_messages AS (
  DELETE FROM messages t USING r JOIN bumped b USING (client_id, user_id)
  WHERE t.device_id = r.id),
c AS (SELECT * FROM unnest($23::text[], $24::text[], $25::text[], $26::text[], $27::bigint[],
        $28::text[], $29::text[], $30::bigint[], $31::bigint[], $32::boolean[], $33::boolean[],
        $34::bigint[], $35::bigint[], $36::text[], $78::text[])
        AS c(id, client_id, user_id, reason, created_at, code_hash, channel, codes_sent, checks,
             verified, resolved, code_sent_at, code_checks, recent_sends, device_id)),
put_challenges AS (
  INSERT INTO challenges AS t (id, client_id, user_id, reason, created_at, code_hash, channel,
                               codes_sent, checks, verified, resolved, code_sent_at, code_checks,
                               recent_sends, device_id)
  SELECT c.id, c.client_id, c.user_id, c.reason, c.created_at, c.code_hash, c.channel,
         c.codes_sent, c.checks, c.verified, c.resolved, c.code_sent_at, c.code_checks,
         c.recent_sends, c.device_id
    FROM c JOIN bumped b USING (client_id, user_id) ORDER BY c.id
  ON CONFLICT (id) DO UPDATE SET code_hash = EXCLUDED.code_hash, channel = EXCLUDED.channel,
    codes_sent = EXCLUDED.codes_sent, checks = EXCLUDED.checks, verified = EXCLUDED.verified,
    resolved = EXCLUDED.resolved, code_sent_at = EXCLUDED.code_sent_at,
    code_checks = EXCLUDED.code_checks, recent_sends = EXCLUDED.recent_sends,
    device_id = EXCLUDED.device_id),
m AS (SELECT * FROM unnest($37::text[], $38::text[], $39::text[], $40::bigint[], $41::bigint[],
        $42::text[]) AS m(device_id, client_id, user_id, id, sent_at, data)),
put_messages AS (
  INSERT INTO messages (device_id, id, sent_at, data)
  SELECT m.device_id, m.id, m.sent_at, m.data FROM m JOIN bumped b USING (client_id, user_id)
  ON CONFLICT (device_id, id) DO UPDATE SET sent_at = EXCLUDED.sent_at, data = EXCLUDED.data),
tr AS (SELECT * FROM unnest($43::text[], $44::text[], $45::text[], $46::bigint[], $47::bigint[])
         AS tr(device_id, client_id, user_id, through, before)),
trimmed AS (
  DELETE FROM messages t USING tr JOIN bumped b USING (client_id, user_id)
  WHERE t.device_id = tr.device_id AND (t.id <= tr.through OR t.sent_at < tr.before)),
dd AS (SELECT * FROM unnest($48::text[], $49::text[], $50::text[], $51::text[], $52::bigint[],
         $53::bigint[]) AS dd(id, client_id, user_id, accesses, logout_id, detached_at)),
put_detached AS (
  INSERT INTO detached_devices AS t (id, client_id, accesses, logout_id, detached_at)
  SELECT dd.id, dd.client_id, dd.accesses, dd.logout_id, dd.detached_at
    FROM dd JOIN bumped b USING (client_id, user_id)
  ON CONFLICT (id) DO UPDATE SET client_id = EXCLUDED.client_id, accesses = EXCLUDED.accesses,
    logout_id = EXCLUDED.logout_id, detached_at = EXCLUDED.detached_at),
ob AS (SELECT * FROM unnest($54::text[], $55::text[], $56::text[], $57::text[], $58::bigint[],
         $59::bigint[], $60::bigint[], $61::text[], $62::text[], $63::text[], $64::text[])
         AS ob(id, kind, client_id, payload, attempts, created_at, next_attempt_at, last_error,
               state, gate_client, gate_user)),
put_outbox AS (
  INSERT INTO outbox AS t (id, kind, client_id, payload, attempts, created_at, next_attempt_at,
                           last_error, state)
  SELECT id, kind, client_id, payload, attempts, created_at, next_attempt_at, last_error, state
    FROM ob WHERE gate_client = '' OR EXISTS (
      SELECT 1 FROM bumped b WHERE b.client_id = ob.gate_client AND b.user_id = ob.gate_user)
  ON CONFLICT (id) DO NOTHING),
au AS (SELECT * FROM unnest($65::bigint[], $66::text[], $67::text[], $68::text[], $69::text[],
         $70::text[], $71::text[]) WITH ORDINALITY
         AS au(at, client_id, kind, subject, detail, gate_client, gate_user, n)),
put_audit AS (
  INSERT INTO audit (at, client_id, kind, subject, detail)
  SELECT at, client_id, kind, subject, detail FROM au WHERE at >= $73 AND (gate_client = ''
      OR EXISTS (SELECT 1 FROM bumped b WHERE b.client_id = au.gate_client
                                         AND b.user_id = au.gate_user))
  ORDER BY n),
trim_audit AS (
  DELETE FROM audit WHERE cardinality($65::bigint[]) > 0 AND (
    seq <= (SELECT coalesce(max(seq), 0) FROM audit)
           + (SELECT count(*) FROM au WHERE au.at >= $73) - $72
    OR at < $73))
SELECT client_id, user_id FROM bumped)sql";

// Notices of what a commit wrote; a transaction that writes nothing, which commits at once.
// Every instance announces on the channel "zelk" and listens to it.
constexpr const char* kNotify = "SELECT pg_notify('zelk', p) FROM unnest($1::text[]) AS p";

// A project's settings, set by an operator (or, with "DO NOTHING", a project that comes into
// being with its first request, unless it exists).
constexpr const char* kPutProject = R"sql(
WITH put AS (
  INSERT INTO projects (client_id, configured, name, overall_limit, mobile_limit, tablet_limit,
                        computer_limit, logo, primary_color, require_verification,
                        block_over_usage, limit_policy, show_contacts, liveness_grace,
                        webhook_url, webhook_secret, user_secret, require_signed_users,
                        new_device_notices, trusted_device_days, device_changes_limit,
                        device_changes_days)
  VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16, $17, $18, $20,
          $21, $22, $23)
  ON CONFLICT (client_id) DO UPDATE SET configured = $2, name = $3, overall_limit = $4,
    mobile_limit = $5, tablet_limit = $6, computer_limit = $7, logo = $8, primary_color = $9,
    require_verification = $10, block_over_usage = $11, limit_policy = $12, show_contacts = $13,
    liveness_grace = $14, webhook_url = $15, webhook_secret = $16, user_secret = $17,
    require_signed_users = $18, new_device_notices = $20, trusted_device_days = $21,
    device_changes_limit = $22, device_changes_days = $23
  RETURNING client_id)
SELECT pg_notify('zelk', $19) FROM put)sql";

constexpr const char* kNewProject = R"sql(
WITH put AS (
  INSERT INTO projects (client_id, configured, name, overall_limit, mobile_limit, tablet_limit,
                        computer_limit, logo, primary_color, require_verification,
                        block_over_usage, limit_policy, show_contacts, liveness_grace,
                        webhook_url, webhook_secret, user_secret, require_signed_users,
                        new_device_notices, trusted_device_days, device_changes_limit,
                        device_changes_days)
  VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16, $17, $18, $20,
          $21, $22, $23)
  ON CONFLICT (client_id) DO NOTHING
  RETURNING client_id)
SELECT pg_notify('zelk', $19) FROM put)sql";

// An identify call: the identity named, when it is one of the project's, or the vendor's.
constexpr const char* kIdentify = R"sql(
WITH known AS (
  UPDATE identities SET last_seen_at = $5 WHERE $1 <> '' AND id = $1 AND client_id = $2
  RETURNING id),
fresh AS (
  INSERT INTO identities AS t (id, client_id, vendor_id, device_info, created_at, last_seen_at)
  SELECT $3, $2, $4, $6, $5, $5 WHERE NOT EXISTS (SELECT 1 FROM known)
  ON CONFLICT (client_id, vendor_id) DO UPDATE SET device_info = EXCLUDED.device_info,
    last_seen_at = EXCLUDED.last_seen_at
  RETURNING id)
SELECT id, true FROM known UNION ALL SELECT id, false FROM fresh)sql";

// What one instance writes of its streams: the devices whose stream opened and ended there.
constexpr const char* kWriteStreams = R"sql(
WITH
opened AS (SELECT unnest($1::text[]) AS device_id),
ended AS (SELECT * FROM unnest($2::text[], $3::bigint[]) AS e(device_id, at)),
hosted AS (
  INSERT INTO stream_hosts (device_id, instance_id)
  SELECT device_id, $4 FROM opened ORDER BY device_id ON CONFLICT DO NOTHING),
streaming AS (
  UPDATE devices SET ended_at = $5 WHERE id IN (SELECT device_id FROM opened)),
unhosted AS (
  DELETE FROM stream_hosts WHERE instance_id = $4 AND device_id IN (SELECT device_id FROM ended)),
marked AS (
  UPDATE devices t SET ended_at = greatest(e.at, CASE WHEN t.ended_at = $5 THEN 0
                                                  ELSE t.ended_at END)
  FROM ended e WHERE t.id = e.device_id AND NOT EXISTS (
    SELECT 1 FROM stream_hosts h WHERE h.device_id = t.id AND h.instance_id <> $4)
  RETURNING t.id)
SELECT count(*) FROM marked)sql";

// A notice, as JSON on one line: its kind ("k") and what it tells.
std::string notice(const char* kind, json body) {
  body["k"] = kind;
  return dumpJSON(body);
}

// The payloads of notifications that carry `notices` in order: each the sender's id, then
// notices a line each, as many as fit. One notification for many notices spares the database
// and every listener the work of one per notice, and a listener skips its own instance's unread.
std::vector<std::string> packNotices(const std::string& sender,
                                     const std::vector<std::string>& notices) {
  std::vector<std::string> payloads;
  for (const std::string& line : notices) {
    if (payloads.empty() || payloads.back().size() + 1 + line.size() > kPayloadBytes)
      payloads.push_back(sender);
    payloads.back() += '\n';
    payloads.back() += line;
  }
  return payloads;
}

// The column arrays of a commit's statement, filled unit by unit.
struct CommitRows {
  std::vector<std::string> userClients, userNames, emails, phones, deviceChanges, knownDevices,
      limitOverrides;
  std::vector<std::int64_t> bases;
  struct Devices {
    std::vector<std::string> id, client, user, vendor, type, library, version, identity, accesses,
        info, metadata, city, country;
    std::vector<std::int64_t> attachedAt, lastSeenAt, lastEventId;
  } devices;
  std::vector<std::string> removedIds, removedClients, removedUsers;
  struct Challenges {
    std::vector<std::string> id, client, user, reason, codeHash, channel, recentSends, device;
    std::vector<std::int64_t> createdAt, codesSent, checks, codeSentAt, codeChecks;
    std::vector<bool> verified, resolved;
  } challenges;
  struct Messages {
    std::vector<std::string> device, client, user, data;
    std::vector<std::int64_t> id, sentAt;
  } messages;
  struct Trims {
    std::vector<std::string> device, client, user;
    std::vector<std::int64_t> through, before;
  } trims;
  struct Detached {
    std::vector<std::string> id, client, user, accesses;
    std::vector<std::int64_t> logoutId, detachedAt;
  } detached;
  struct Outbox {
    std::vector<std::string> id, kind, client, payload, lastError, state, gateClient, gateUser;
    std::vector<std::int64_t> attempts, createdAt, nextAttemptAt;
  } outbox;
  struct Audit {
    std::vector<std::string> client, kind, subject, detail, gateClient, gateUser;
    std::vector<std::int64_t> at;
  } audit;
  std::vector<std::string> noticeClients, noticeUsers, payloads;
  bool any = false;

  // The payloads of the notices of what was written: of the users in `written`, and of no user.
  std::vector<std::string> notices(
      const std::set<std::pair<std::string, std::string>>& written) const {
    std::vector<std::string> told;
    for (std::size_t i = 0; i < payloads.size(); ++i) {
      if (noticeClients[i].empty() || written.contains({noticeClients[i], noticeUsers[i]}))
        told.push_back(payloads[i]);
    }
    return told;
  }

  void notify(const std::string& client, const std::string& user, std::string payload) {
    noticeClients.push_back(client);
    noticeUsers.push_back(user);
    payloads.push_back(std::move(payload));
  }

  // The messages of a unit, announced in notices of at most kNoticeBytes: each carries the
  // messages' data when it is short, else only the devices and ids, to be read.
  void announce(const std::string& client, const std::string& user, const Changes& changes,
                std::int64_t now) {
    std::map<std::string, std::vector<std::pair<std::string, std::uint64_t>>> byData;
    for (const auto& row : changes.messages)
      byData[row.message.data].emplace_back(row.deviceId, row.message.id);
    for (const DetachedDevice& device : changes.detached)
      byData["\"logout\""].emplace_back(device.id, device.logoutId);
    for (const auto& entry : byData) {
      // Named, not bound: a lambda below uses them, which clang 14 allows of variables only.
      const std::string& data = entry.first;
      const auto& targets = entry.second;
      const bool carried = data.size() < kNoticeBytes / 2;
      json list = json::array();
      std::size_t size = data.size() + 128;
      const auto flush = [&] {
        if (list.empty()) return;
        json body = {{"t", now}, {"m", std::move(list)}};
        if (carried) body["d"] = data;
        notify(client, user, notice("m", std::move(body)));
        list = json::array();
        size = data.size() + 128;
      };
      for (const auto& [device, id] : targets) {
        size += device.size() + 24;
        if (size > kNoticeBytes) flush();
        list.push_back({device, id});
      }
      flush();
    }
  }

  void add(const Unit& unit, std::int64_t now) {
    const Changes& c = unit.changes;
    const std::string gateClient = unit.user ? unit.user->project : "";
    const std::string gateUser = unit.user ? unit.user->user : "";
    if (unit.user) {
      any = true;
      userClients.push_back(gateClient);
      userNames.push_back(gateUser);
      bases.push_back(static_cast<std::int64_t>(unit.baseVersion));
      emails.push_back(c.profile.email);
      phones.push_back(c.profile.phone);
      deviceChanges.push_back(timesJSON(c.deviceChanges));
      knownDevices.push_back(knownDevicesJSON(c.knownDevices));
      limitOverrides.push_back(limitOverrideJSON(c.limitOverride));
      for (const Changes::DeviceRow& d : c.devices) {
        devices.id.push_back(d.id);
        devices.client.push_back(gateClient);
        devices.user.push_back(gateUser);
        devices.vendor.push_back(d.vendorId);
        devices.type.emplace_back(deviceTypeName(d.type));
        devices.library.push_back(d.library);
        devices.version.push_back(d.version);
        devices.identity.push_back(d.identity);
        devices.accesses.push_back(d.accesses);
        devices.info.push_back(d.deviceInfo.text());
        devices.metadata.push_back(d.metadata.text());
        devices.attachedAt.push_back(toMillis(d.attachedAt));
        devices.lastSeenAt.push_back(toMillis(d.lastSeenAt));
        devices.lastEventId.push_back(static_cast<std::int64_t>(d.lastEventId));
        devices.city.push_back(d.location.city);
        devices.country.push_back(d.location.country);
      }
      for (const std::string& id : c.removedDevices) {
        removedIds.push_back(id);
        removedClients.push_back(gateClient);
        removedUsers.push_back(gateUser);
      }
      for (const Challenge& ch : c.challenges) {
        challenges.id.push_back(ch.id);
        challenges.client.push_back(gateClient);
        challenges.user.push_back(gateUser);
        challenges.reason.push_back(ch.reason);
        challenges.createdAt.push_back(toMillis(ch.createdAt));
        challenges.codeHash.push_back(ch.codeHash);
        challenges.channel.push_back(ch.channel);
        challenges.codesSent.push_back(ch.codesSent);
        challenges.checks.push_back(ch.checks);
        challenges.verified.push_back(ch.verified);
        challenges.resolved.push_back(ch.resolved);
        challenges.codeSentAt.push_back(toMillis(ch.codeSentAt));
        challenges.codeChecks.push_back(ch.codeChecks);
        challenges.recentSends.push_back(sendTimesJSON(ch));
        challenges.device.push_back(ch.device);
      }
      for (const auto& row : c.messages) {
        messages.device.push_back(row.deviceId);
        messages.client.push_back(gateClient);
        messages.user.push_back(gateUser);
        messages.id.push_back(static_cast<std::int64_t>(row.message.id));
        messages.sentAt.push_back(toMillis(row.message.sentAt));
        messages.data.push_back(row.message.data);
      }
      for (const auto& trim : c.trims) {
        trims.device.push_back(trim.deviceId);
        trims.client.push_back(gateClient);
        trims.user.push_back(gateUser);
        trims.through.push_back(static_cast<std::int64_t>(trim.throughId));
        trims.before.push_back(toMillis(trim.before));
      }
      for (const DetachedDevice& dd : c.detached) {
        detached.id.push_back(dd.id);
        detached.client.push_back(dd.project);
        detached.user.push_back(gateUser);
        detached.accesses.push_back(dumpJSON(dd.accesses));
        detached.logoutId.push_back(static_cast<std::int64_t>(dd.logoutId));
        detached.detachedAt.push_back(toMillis(dd.detachedAt));
      }
      // The user's version first: a copy elsewhere goes before what is delivered from it.
      notify(gateClient, gateUser,
             notice("u", {{"p", gateClient},
                          {"u", gateUser},
                          {"v", static_cast<std::int64_t>(unit.baseVersion + 1)}}));
      announce(gateClient, gateUser, c, now);
    }
    for (const OutboxMessage& o : c.outbox) {
      any = true;
      outbox.id.push_back(o.id);
      outbox.kind.push_back(o.kind);
      outbox.client.push_back(o.project);
      outbox.payload.push_back(o.payload);
      outbox.attempts.push_back(o.attempts);
      outbox.createdAt.push_back(toMillis(o.createdAt));
      outbox.nextAttemptAt.push_back(toMillis(o.nextAttemptAt));
      outbox.lastError.push_back(o.lastError);
      outbox.state.emplace_back(outboxStateName(o.state));
      outbox.gateClient.push_back(gateClient);
      outbox.gateUser.push_back(gateUser);
    }
    for (const AuditEntry& e : c.audit) {
      any = true;
      audit.at.push_back(toMillis(e.at));
      audit.client.push_back(e.project);
      audit.kind.push_back(e.kind);
      audit.subject.push_back(e.subject);
      audit.detail.push_back(dumpJSON(e.detail));
      audit.gateClient.push_back(gateClient);
      audit.gateUser.push_back(gateUser);
    }
  }

  Params params(const AuditRetention& retention) const {
    Params p;
    p.addArray(userClients).addArray(userNames).addNumbers(bases).addArray(emails).addArray(phones);
    p.addArray(devices.id)
        .addArray(devices.client)
        .addArray(devices.user)
        .addArray(devices.vendor)
        .addArray(devices.type)
        .addArray(devices.library)
        .addArray(devices.version)
        .addArray(devices.identity)
        .addArray(devices.accesses)
        .addArray(devices.info)
        .addArray(devices.metadata)
        .addNumbers(devices.attachedAt)
        .addNumbers(devices.lastSeenAt)
        .addNumbers(devices.lastEventId);
    p.addArray(removedIds).addArray(removedClients).addArray(removedUsers);
    p.addArray(challenges.id)
        .addArray(challenges.client)
        .addArray(challenges.user)
        .addArray(challenges.reason)
        .addNumbers(challenges.createdAt)
        .addArray(challenges.codeHash)
        .addArray(challenges.channel)
        .addNumbers(challenges.codesSent)
        .addNumbers(challenges.checks)
        .addBooleans(challenges.verified)
        .addBooleans(challenges.resolved)
        .addNumbers(challenges.codeSentAt)
        .addNumbers(challenges.codeChecks)
        .addArray(challenges.recentSends);
    p.addArray(messages.device)
        .addArray(messages.client)
        .addArray(messages.user)
        .addNumbers(messages.id)
        .addNumbers(messages.sentAt)
        .addArray(messages.data);
    p.addArray(trims.device)
        .addArray(trims.client)
        .addArray(trims.user)
        .addNumbers(trims.through)
        .addNumbers(trims.before);
    p.addArray(detached.id)
        .addArray(detached.client)
        .addArray(detached.user)
        .addArray(detached.accesses)
        .addNumbers(detached.logoutId)
        .addNumbers(detached.detachedAt);
    p.addArray(outbox.id)
        .addArray(outbox.kind)
        .addArray(outbox.client)
        .addArray(outbox.payload)
        .addNumbers(outbox.attempts)
        .addNumbers(outbox.createdAt)
        .addNumbers(outbox.nextAttemptAt)
        .addArray(outbox.lastError)
        .addArray(outbox.state)
        .addArray(outbox.gateClient)
        .addArray(outbox.gateUser);
    p.addNumbers(audit.at)
        .addArray(audit.client)
        .addArray(audit.kind)
        .addArray(audit.subject)
        .addArray(audit.detail)
        .addArray(audit.gateClient)
        .addArray(audit.gateUser);
    p.add(static_cast<std::uint64_t>(retention.keep))
        .add(toMillis(Clock::now() - retention.maxAge));
    // The devices' places came with a later schema: their arrays follow the rest.
    p.addArray(devices.city).addArray(devices.country);
    // And the changes of devices owners make, later still.
    p.addArray(deviceChanges).addArray(knownDevices).addArray(challenges.device);
    p.addArray(limitOverrides);
    return p;
  }
};

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

  void setInstance(const std::string& id) override { instance_ = id; }

  bool ready() override {
    try {
      withConnection([](Connection& conn) { conn.execute("SELECT 1"); });
      return true;
    } catch (const StoreError&) {
      return false;
    }
  }

  // --- reads ---

  std::vector<Project> readProjects() override {
    std::vector<Project> projects;
    withConnection([&](Connection& conn) {
      Result r = conn.query(sql({"SELECT ", kProjectColumns, " FROM projects"}).c_str());
      for (int i = 0; i < r.rows(); ++i) projects.push_back(readProjectRow(r, i));
    });
    return projects;
  }

  std::optional<Project> readProject(const std::string& clientId) override {
    static const std::string query =
        sql({"SELECT ", kProjectColumns, " FROM projects WHERE client_id = $1"});
    std::optional<Project> found;
    withConnection([&](Connection& conn) {
      Result r = conn.run({"zelk_project", query.c_str(), Params().add(clientId)});
      if (r.rows() > 0) found = readProjectRow(r, 0);
    });
    return found;
  }

  std::optional<StoredUser> readUser(const UserKey& key) override {
    std::optional<StoredUser> found;
    withConnection([&](Connection& conn) {
      Result r =
          conn.run({"zelk_user", kReadUser.c_str(), Params().add(key.project).add(key.user)});
      found = userFromRows(r, key);
    });
    return found;
  }

  DeviceLookup readDevice(const std::string& deviceId) override {
    DeviceLookup found;
    withConnection([&](Connection& conn) {
      Result r = conn.run({"zelk_device", kReadDevice.c_str(),
                           Params().add(deviceId).add(toMillis(Clock::now() - kKeptMessagesFor))});
      found = {};
      for (int i = 0; i < r.rows(); ++i) {
        const std::string kind = r.text(i, 0);
        if (kind == "o") {
          const UserKey key{r.text(i, 1), r.text(i, 2)};
          found.user = userFromRows(r, key);
        } else if (kind == "x") {
          found.detached = readDetachedRow(r, i, 1);
        }
      }
    });
    return found;
  }

  std::optional<DetachedDevice> readDetached(const std::string& deviceId) override {
    static const std::string query =
        sql({"SELECT ", kDetachedColumns,
             " FROM detached_devices WHERE id = $1 AND detached_at >= $2"});
    std::optional<DetachedDevice> found;
    withConnection([&](Connection& conn) {
      Result r = conn.run({"zelk_detached", query.c_str(),
                           Params().add(deviceId).add(toMillis(Clock::now() - kKeptMessagesFor))});
      if (r.rows() > 0) found = readDetachedRow(r, 0);
    });
    return found;
  }

  std::optional<UserKey> challengeOwner(const std::string& challengeId) override {
    std::optional<UserKey> found;
    withConnection([&](Connection& conn) {
      Result r = conn.run({"zelk_challenge_owner",
                           "SELECT client_id, user_id FROM challenges WHERE id = $1",
                           Params().add(challengeId)});
      if (r.rows() > 0) found = UserKey{r.text(0, 0), r.text(0, 1)};
    });
    return found;
  }

  std::vector<KeptMessage> messagesAfter(const std::string& deviceId,
                                         std::uint64_t after) override {
    std::vector<KeptMessage> found;
    withConnection([&](Connection& conn) {
      Result r = conn.run(
          {"zelk_messages_after",
           "SELECT id, sent_at, data FROM messages WHERE device_id = $1 AND id > $2 ORDER BY id",
           Params().add(deviceId).add(after)});
      for (int i = 0; i < r.rows(); ++i) {
        found.push_back({static_cast<std::uint64_t>(r.integer(i, 0)), fromMillis(r.integer(i, 1)),
                         r.text(i, 2)});
      }
    });
    return found;
  }

  std::vector<UserKey> quietUsers(const std::string& project, Clock::time_point before,
                                  std::size_t max) override {
    std::vector<UserKey> found;
    withConnection([&](Connection& conn) {
      Result r = conn.run(
          {"zelk_quiet",
           "SELECT DISTINCT user_id FROM (SELECT user_id FROM devices WHERE client_id = $1 AND "
           "last_seen_at >= 0 AND greatest(last_seen_at, ended_at) <= $2 ORDER BY "
           "greatest(last_seen_at, ended_at) LIMIT $3) quiet",
           Params().add(project).add(toMillis(before)).add(static_cast<std::uint64_t>(max))});
      for (int i = 0; i < r.rows(); ++i) found.push_back({project, r.text(i, 0)});
    });
    return found;
  }

  std::size_t countDevices() override {
    std::size_t count = 0;
    withConnection([&](Connection& conn) {
      Result r = conn.query("SELECT coalesce(sum(devices), 0)::bigint FROM device_counts");
      count = static_cast<std::size_t>(r.integer(0, 0));
    });
    return count;
  }

  // --- writes ---

  void commit(std::vector<Unit>& units) override {
    CommitRows rows;
    std::vector<Unit*> identifies;
    std::vector<Prepared> statements;
    const std::int64_t now = toMillis(Clock::now());
    for (Unit& unit : units) {
      unit.conflict = false;
      rows.add(unit, now);
      if (unit.identify) identifies.push_back(&unit);
    }
    AuditRetention retention;
    {
      std::lock_guard lock(poolMutex_);
      retention = retention_;
    }
    if (rows.any) statements.push_back({"zelk_commit", kCommit, rows.params(retention)});
    for (const Unit& unit : units) {
      for (const auto& row : unit.changes.projects) {
        const ProjectSettings& s = row.settings;
        const std::string told =
            packNotices(instance_, {notice("p", {{"p", row.clientId}})}).front();
        statements.push_back({row.onlyIfNew ? "zelk_new_project" : "zelk_put_project",
                              row.onlyIfNew ? kNewProject : kPutProject,
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
                                  .add(s.webhookSecret)
                                  .add(s.userSecret)
                                  .add(s.requireSignedUsers)
                                  .add(told)
                                  .add(s.newDeviceNotices)
                                  .add(s.trustedDeviceDays)
                                  .add(s.deviceChangesLimit)
                                  .add(s.deviceChangesDays)});
      }
    }
    const std::size_t identifyAt = statements.size();
    for (Unit* unit : identifies) {
      const IdentifyRequest& request = *unit->identify;
      statements.push_back({"zelk_identify", kIdentify,
                            Params()
                                .add(request.identityId)
                                .add(request.project)
                                .add(request.newId)
                                .add(request.vendorId)
                                .add(toMillis(request.at))
                                .add(dumpJSON(request.deviceInfo))});
    }
    if (statements.empty()) return;
    // A deadlock with another instance's writes (of the same rows in another order) is broken
    // by the database failing one side: that side tries once more.
    for (int attempt = 0;; ++attempt) {
      try {
        std::vector<Result> results = write(statements);
        if (rows.any) {
          std::set<std::pair<std::string, std::string>> written;
          const Result& bumped = results[0];
          for (int i = 0; i < bumped.rows(); ++i) {
            if (!bumped.null(i, 0)) written.emplace(bumped.text(i, 0), bumped.text(i, 1));
          }
          for (Unit& unit : units) {
            if (unit.user) unit.conflict = !written.contains({unit.user->project, unit.user->user});
          }
          tell(rows.notices(written));
        }
        for (std::size_t i = 0; i < identifies.size(); ++i) {
          const Result& r = results[identifyAt + i];
          if (r.rows() > 0) identifies[i]->identified = {r.text(0, 0), r.boolean(0, 1)};
        }
        return;
      } catch (const pg::QueryError& error) {
        if (!error.transient() || attempt > 0) throw;
      }
    }
  }

  std::vector<InstanceBeat> beat(Clock::time_point startedAt, Clock::time_point now) override {
    std::vector<InstanceBeat> beats;
    withConnection([&](Connection& conn) {
      Result r = conn.run({"zelk_beat",
                           "WITH beat AS (INSERT INTO instances (id, started_at, beat_at) VALUES "
                           "($1, $2, $3) ON CONFLICT (id) DO UPDATE SET beat_at = $3) SELECT id, "
                           "started_at, beat_at FROM instances",
                           Params().add(instance_).add(toMillis(startedAt)).add(toMillis(now))});
      for (int i = 0; i < r.rows(); ++i)
        beats.push_back({r.text(i, 0), fromMillis(r.integer(i, 1)), fromMillis(r.integer(i, 2))});
    });
    // The statement's own row is not in what it read.
    const auto self = std::find_if(beats.begin(), beats.end(),
                                   [&](const InstanceBeat& beat) { return beat.id == instance_; });
    if (self == beats.end()) {
      beats.push_back({instance_, startedAt, now});
    } else {
      self->beatAt = now;
    }
    return beats;
  }

  void writeStreams(const StreamChanges& changes) override {
    if (changes.empty()) return;
    std::vector<std::string> opened = changes.opened, endedIds;
    std::vector<std::int64_t> endedAt;
    std::sort(opened.begin(), opened.end());
    auto ended = changes.ended;
    std::sort(ended.begin(), ended.end());
    for (const auto& [device, at] : ended) {
      endedIds.push_back(device);
      endedAt.push_back(toMillis(at));
    }
    // Told to the others in notices of a bounded size.
    std::vector<std::string> notices;
    json open = json::array(), closed = json::array();
    std::size_t size = 64;
    const auto flush = [&] {
      if (open.empty() && closed.empty()) return;
      notices.push_back(notice("s", {{"o", std::move(open)}, {"e", std::move(closed)}}));
      open = json::array();
      closed = json::array();
      size = 64;
    };
    for (const std::string& device : opened) {
      if ((size += device.size() + 4) > kNoticeBytes) flush();
      open.push_back(device);
    }
    for (std::size_t i = 0; i < endedIds.size(); ++i) {
      if ((size += endedIds[i].size() + 24) > kNoticeBytes) flush();
      closed.push_back({endedIds[i], endedAt[i]});
    }
    flush();
    Params params;
    params.addArray(opened).addArray(endedIds).addNumbers(endedAt).add(instance_).add(kStreaming);
    for (int attempt = 0;; ++attempt) {
      try {
        withConnection([&](Connection& conn) {
          conn.run({"zelk_streams", kWriteStreams, params});
        });
        break;
      } catch (const pg::QueryError& error) {
        if (!error.transient() || attempt > 0) throw;
      }
    }
    tell(notices);
  }

  void endStreamsOfSilentInstances(Clock::time_point deadBefore) override {
    const std::int64_t dead = toMillis(deadBefore);
    withTransaction("BEGIN", [&](Connection& conn) {
      conn.query(
          "UPDATE devices t SET ended_at = (SELECT max(i.beat_at) FROM stream_hosts h JOIN "
          "instances i ON i.id = h.instance_id WHERE h.device_id = t.id) WHERE t.id IN (SELECT "
          "h.device_id FROM stream_hosts h LEFT JOIN instances i ON i.id = h.instance_id WHERE "
          "i.id IS NULL OR i.beat_at < $1) AND NOT EXISTS (SELECT 1 FROM stream_hosts h JOIN "
          "instances i ON i.id = h.instance_id WHERE h.device_id = t.id AND i.beat_at >= $1)",
          Params().add(dead));
      conn.query(
          "DELETE FROM stream_hosts WHERE instance_id NOT IN (SELECT id FROM instances WHERE "
          "beat_at >= $1)",
          Params().add(dead));
      conn.query("DELETE FROM instances WHERE beat_at < $1",
                 Params().add(dead - std::int64_t{24} * 3600 * 1000));
    });
  }

  void setAuditRetention(AuditRetention retention) override {
    std::lock_guard lock(poolMutex_);
    retention_ = retention;
  }

  void prune(Clock::time_point detachedBefore, const AuditRetention& audit) override {
    withConnection([&](Connection& conn) {
      conn.query("DELETE FROM detached_devices WHERE detached_at < $1",
                 Params().add(toMillis(detachedBefore)));
      conn.query("DELETE FROM audit WHERE seq <= (SELECT max(seq) FROM audit) - $1 OR at < $2",
                 Params()
                     .add(static_cast<std::uint64_t>(audit.keep))
                     .add(toMillis(Clock::now() - audit.maxAge)));
      conn.query(
          "DELETE FROM stream_hosts h WHERE NOT EXISTS (SELECT 1 FROM devices d WHERE d.id = "
          "h.device_id)");
      conn.query("DELETE FROM operator_sessions WHERE seen_at < $1",
                 Params().add(toMillis(Clock::now() - kSessionsKeptFor)));
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
    gauge("zelk_db_notices_total", "Notices of other instances heard on the listening connection.",
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

  bool retryWebhook(const std::string& id, Clock::time_point now) override {
    bool retried = false;
    withConnection([&](Connection& conn) {
      retried = conn.query(
                        "UPDATE outbox SET state = 'pending', next_attempt_at = $2 WHERE id = $1 "
                        "AND state = 'failed' AND kind = 'webhook' RETURNING 1",
                        Params().add(id).add(toMillis(now)))
                    .rows() > 0;
    });
    return retried;
  }

  void purgeMessages(Clock::time_point doneBefore, Clock::time_point failedBefore) override {
    withConnection([&](Connection& conn) {
      conn.query(
          "DELETE FROM outbox WHERE (state = 'done' AND next_attempt_at < $1) OR "
          "(state = 'failed' AND next_attempt_at < $2)",
          Params().add(toMillis(doneBefore)).add(toMillis(failedBefore)));
    });
  }

  std::vector<AuditEntry> auditEntries(const std::string& project, std::uint64_t before,
                                       std::size_t max) override {
    std::vector<AuditEntry> found;
    withConnection([&](Connection& conn) {
      found = auditOf(conn.query(
          "SELECT seq, at, client_id, kind, subject, detail FROM audit WHERE "
          "($1 = '' OR client_id = $1) AND ($2 = 0 OR seq < $2) ORDER BY seq DESC LIMIT $3",
          Params().add(project).add(before).add(static_cast<std::uint64_t>(max))));
    });
    return found;
  }

  std::vector<AuditEntry> auditEntriesAbout(const std::string& project, const std::string& subject,
                                            std::size_t max) override {
    std::vector<AuditEntry> found;
    withConnection([&](Connection& conn) {
      found = auditOf(conn.query(
          "SELECT seq, at, client_id, kind, subject, detail FROM audit WHERE client_id = $1 AND "
          "subject = $2 ORDER BY seq DESC LIMIT $3",
          Params().add(project).add(subject).add(static_cast<std::uint64_t>(max))));
    });
    return found;
  }

  std::vector<UserSummary> searchUsers(const std::string& project, const std::string& query,
                                       const std::string& after, std::size_t max) override {
    std::vector<UserSummary> found;
    withConnection([&](Connection& conn) {
      // Each of the three ways a user is found goes by an index of its own, the prefix stopping
      // at a page, so that a search reads a few pages of index whatever the number of users (a
      // whole address or number matches few); ids in byte order.
      const Result r = conn.query(
          "SELECT u.user_id, u.email, u.phone, (SELECT count(*) FROM devices d WHERE "
          "d.client_id = u.client_id AND d.user_id = u.user_id) FROM ((SELECT user_id FROM "
          "users WHERE client_id = $1 AND user_id COLLATE \"C\" > $3 AND user_id COLLATE \"C\" "
          ">= $2 AND user_id COLLATE \"C\" < $2 || chr(1114111) ORDER BY user_id COLLATE "
          "\"C\" LIMIT $4) UNION SELECT user_id FROM users WHERE client_id = $1 AND $2 <> '' AND "
          "lower(email) = lower($2) UNION SELECT user_id FROM users WHERE client_id = $1 AND $2 "
          "<> '' AND phone = $2) f JOIN users u ON u.client_id = $1 AND u.user_id = f.user_id "
          "WHERE f.user_id COLLATE \"C\" > $3 ORDER BY u.user_id COLLATE \"C\" LIMIT $4",
          Params().add(project).add(query).add(after).add(static_cast<std::uint64_t>(max)));
      for (int i = 0; i < r.rows(); ++i)
        found.push_back(
            {r.text(i, 0), r.text(i, 1), r.text(i, 2), static_cast<std::size_t>(r.integer(i, 3))});
    });
    return found;
  }

  bool eraseUser(const UserKey& key, const std::string& pseudonym) override {
    bool erased = false;
    std::int64_t version = 0;
    withTransaction("BEGIN", [&](Connection& conn) {
      const Params who = Params().add(key.project).add(key.user);
      const Result held = conn.query(
          "SELECT version FROM users WHERE client_id = $1 AND user_id = $2 FOR UPDATE", who);
      if (held.rows() > 0) version = held.integer(0, 0);
      conn.query(
          "DELETE FROM messages WHERE device_id IN (SELECT id FROM devices WHERE client_id = $1 "
          "AND user_id = $2)",
          who);
      conn.query(
          "DELETE FROM stream_hosts WHERE device_id IN (SELECT id FROM devices WHERE client_id = "
          "$1 AND user_id = $2)",
          who);
      const Result gone = conn.query(
          "WITH d AS (DELETE FROM devices WHERE client_id = $1 AND user_id = $2 RETURNING 1), "
          "c AS (DELETE FROM challenges WHERE client_id = $1 AND user_id = $2 RETURNING 1), "
          "u AS (DELETE FROM users WHERE client_id = $1 AND user_id = $2 RETURNING 1) "
          "SELECT (SELECT count(*) FROM d) + (SELECT count(*) FROM c) + (SELECT count(*) FROM u)",
          who);
      erased = gone.rows() > 0 && gone.integer(0, 0) > 0;
      conn.query(
          "DELETE FROM outbox WHERE client_id = $1 AND kind <> 'webhook' AND payload LIKE '{%' "
          "AND payload::jsonb ->> 'user' = $2",
          who);
      // The trail keeps what happened, no longer to whom: the id as subject and as a JSON string
      // in the details.
      conn.query("UPDATE audit SET subject = $3 WHERE client_id = $1 AND subject = $2",
                 Params().add(key.project).add(key.user).add(pseudonym));
      conn.query(
          "UPDATE audit SET detail = replace(detail, $2, $3) WHERE client_id = $1 AND "
          "strpos(detail, $2) > 0",
          Params().add(key.project).add(dumpJSON(json(key.user))).add(dumpJSON(json(pseudonym))));
    });
    // Other instances drop what they hold of the user.
    tell({notice("u", {{"p", key.project}, {"u", key.user}, {"v", version + 1}})});
    return erased;
  }

  std::vector<SuspectCounts> suspects(const std::string& project, Clock::time_point since,
                                      std::size_t max) override {
    std::vector<SuspectCounts> found;
    withConnection([&](Connection& conn) {
      const Result r = conn.query(
          "SELECT user_id, sum(c), sum(n), sum(r) FROM (SELECT user_id, 1 AS c, 0 AS n, 0 AS r "
          "FROM challenges WHERE client_id = $1 AND created_at >= $2 UNION ALL SELECT "
          "u.user_id, 0, 1, 0 FROM users u, jsonb_array_elements(CASE WHEN u.known_devices LIKE "
          "'[%' THEN u.known_devices::jsonb ELSE '[]'::jsonb END) j WHERE u.client_id = $1 AND "
          "(j ->> 'seen')::bigint >= $2 UNION ALL SELECT subject, 0, 0, 1 FROM audit WHERE "
          "client_id = $1 AND kind = 'device.change_refused' AND at >= $2) s GROUP BY user_id "
          "ORDER BY sum(r) DESC, sum(c) + sum(n) DESC, user_id COLLATE \"C\" LIMIT $3",
          Params().add(project).add(toMillis(since)).add(static_cast<std::uint64_t>(max)));
      for (int i = 0; i < r.rows(); ++i)
        found.push_back({r.text(i, 0), static_cast<std::size_t>(r.integer(i, 1)),
                         static_cast<std::size_t>(r.integer(i, 2)),
                         static_cast<std::size_t>(r.integer(i, 3))});
    });
    return found;
  }

  std::vector<ProjectKey> projectKeys(const std::string& project) override {
    std::vector<ProjectKey> keys;
    withConnection([&](Connection& conn) {
      const Result r = conn.query(
          "SELECT id, client_id, hash, created_at, last_used_at FROM project_keys WHERE "
          "client_id = $1 ORDER BY created_at, id",
          Params().add(project));
      for (int i = 0; i < r.rows(); ++i) keys.push_back(keyOf(r, i));
    });
    return keys;
  }

  bool addProjectKey(const ProjectKey& key, std::size_t max) override {
    bool added = false;
    withTransaction("BEGIN", [&](Connection& conn) {
      // One project's keys are counted and added one caller at a time.
      conn.query("SELECT pg_advisory_xact_lock(hashtext($1))", Params().add(key.project));
      added = conn.query(
                      "INSERT INTO project_keys (id, client_id, hash, created_at, last_used_at) "
                      "SELECT $1, $2, $3, $4, $5 WHERE (SELECT count(*) FROM project_keys WHERE "
                      "client_id = $2) < $6 RETURNING 1",
                      Params()
                          .add(key.id)
                          .add(key.project)
                          .add(key.hash)
                          .add(toMillis(key.createdAt))
                          .add(toMillis(key.lastUsedAt))
                          .add(static_cast<std::uint64_t>(max)))
                  .rows() > 0;
    });
    return added;
  }

  bool removeProjectKey(const std::string& project, const std::string& id) override {
    bool removed = false;
    withConnection([&](Connection& conn) {
      removed = conn.query("DELETE FROM project_keys WHERE client_id = $1 AND id = $2 RETURNING 1",
                           Params().add(project).add(id))
                    .rows() > 0;
    });
    return removed;
  }

  std::optional<ProjectKey> useProjectKey(const std::string& hash, Clock::time_point now) override {
    std::optional<ProjectKey> key;
    withConnection([&](Connection& conn) {
      const Result r = conn.query(
          "SELECT id, client_id, hash, created_at, last_used_at FROM project_keys WHERE hash = $1",
          Params().add(hash));
      if (r.rows() == 0) return;
      key = keyOf(r, 0);
      if (now - key->lastUsedAt > std::chrono::minutes(1)) {
        conn.query("UPDATE project_keys SET last_used_at = $2 WHERE id = $1",
                   Params().add(key->id).add(toMillis(now)));
        key->lastUsedAt = now;
      }
    });
    return key;
  }

  std::optional<OperatorAccount> readOperator(const std::string& name) override {
    static const std::string query =
        sql({"SELECT ", kOperatorColumns, " FROM operators WHERE name = $1"});
    std::optional<OperatorAccount> account;
    withConnection([&](Connection& conn) {
      const Result r = conn.query(query.c_str(), Params().add(name));
      if (r.rows() > 0) account = operatorOf(r, 0);
    });
    return account;
  }

  std::vector<OperatorAccount> readOperators() override {
    static const std::string query =
        sql({"SELECT ", kOperatorColumns, " FROM operators ORDER BY name COLLATE \"C\""});
    std::vector<OperatorAccount> accounts;
    withConnection([&](Connection& conn) {
      accounts.clear();
      const Result r = conn.query(query.c_str());
      for (int i = 0; i < r.rows(); ++i) accounts.push_back(operatorOf(r, i));
    });
    return accounts;
  }

  void putOperator(const OperatorAccount& account) override {
    withConnection([&](Connection& conn) {
      conn.query(
          "INSERT INTO operators (name, role, password_hash, setup_hash, setup_until, created_at) "
          "VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (name) DO UPDATE SET role = $2, "
          "password_hash = $3, setup_hash = $4, setup_until = $5, created_at = $6",
          Params()
              .add(account.name)
              .add(account.role)
              .add(account.passwordHash)
              .add(account.setupHash)
              .add(toMillis(account.setupUntil))
              .add(toMillis(account.createdAt)));
    });
  }

  // Read on every request of the console: prepared once per connection.
  std::optional<OperatorSession> readSession(const std::string& hash) override {
    std::optional<OperatorSession> session;
    withConnection([&](Connection& conn) {
      const Result r = conn.run({"zelk_session",
                                 "SELECT hash, name, csrf, created_at, seen_at FROM "
                                 "operator_sessions WHERE hash = $1",
                                 Params().add(hash)});
      if (r.rows() > 0)
        session = OperatorSession{r.text(0, 0), r.text(0, 1), r.text(0, 2),
                                  fromMillis(r.integer(0, 3)), fromMillis(r.integer(0, 4))};
    });
    return session;
  }

  void putSession(const OperatorSession& session) override {
    withConnection([&](Connection& conn) {
      conn.run({"zelk_put_session",
                "INSERT INTO operator_sessions (hash, name, csrf, created_at, seen_at) VALUES ($1, "
                "$2, $3, $4, $5) ON CONFLICT (hash) DO UPDATE SET name = $2, csrf = $3, "
                "created_at = $4, seen_at = $5",
                Params()
                    .add(session.hash)
                    .add(session.name)
                    .add(session.csrf)
                    .add(toMillis(session.createdAt))
                    .add(toMillis(session.seenAt))});
    });
  }

  void dropSession(const std::string& hash) override {
    withConnection([&](Connection& conn) {
      conn.query("DELETE FROM operator_sessions WHERE hash = $1", Params().add(hash));
    });
  }

  void dropSessionsOf(const std::string& name) override {
    withConnection([&](Connection& conn) {
      conn.query("DELETE FROM operator_sessions WHERE name = $1", Params().add(name));
    });
  }

  OverviewFigures overview(Clock::time_point now, Clock::time_point since, int minutes,
                           Clock::time_point aliveSince) override {
    minutes = std::max(minutes, 0);
    const std::int64_t end = toMillis(now);
    const std::int64_t first = end - std::int64_t{minutes} * 60'000;
    OverviewFigures figures;
    withConnection([&](Connection& conn) {
      const Result r =
          conn.run({"zelk_overview", kOverview,
                    Params().add(end).add(toMillis(since)).add(toMillis(aliveSince)).add(first)});
      figures = {};
      figures.attachesByMinute.assign(static_cast<std::size_t>(minutes), 0);
      const auto count = [&](int row, int column) {
        return static_cast<std::size_t>(r.integer(row, column));
      };
      for (int i = 0; i < r.rows(); ++i) {
        const std::string kind = r.text(i, 0);
        if (kind == "f") {
          figures.devices = count(i, 2);
          figures.streams = count(i, 3);
          figures.challengesRaised = count(i, 4);
          figures.challengesVerified = count(i, 5);
          figures.codesSent = count(i, 6);
          figures.outboxPending = count(i, 7);
          figures.outboxFailed = count(i, 8);
        } else if (kind == "m") {
          const std::int64_t minute = r.integer(i, 2);
          if (minute >= 0 && minute < minutes)
            figures.attachesByMinute[static_cast<std::size_t>(minute)] = count(i, 3);
        } else if (kind == "i") {
          figures.instances.push_back(
              {r.text(i, 1), fromMillis(r.integer(i, 2)), fromMillis(r.integer(i, 3))});
        }
      }
    });
    std::sort(figures.instances.begin(), figures.instances.end(),
              [](const auto& a, const auto& b) { return a.id < b.id; });
    return figures;
  }

  bool deleteProject(const std::string& clientId) override {
    bool found = false;
    withTransaction("BEGIN", [&](Connection& conn) {
      const Params which = Params().add(clientId);
      conn.query(
          "DELETE FROM messages WHERE device_id IN (SELECT id FROM devices WHERE client_id = $1)",
          which);
      conn.query(
          "DELETE FROM stream_hosts WHERE device_id IN (SELECT id FROM devices WHERE client_id = "
          "$1)",
          which);
      for (const char* table : {"devices", "challenges", "users", "identities", "detached_devices",
                                "outbox", "audit", "project_keys"})
        conn.query((std::string("DELETE FROM ") + table + " WHERE client_id = $1").c_str(), which);
      found = conn.query("DELETE FROM projects WHERE client_id = $1 RETURNING 1", which).rows() > 0;
    });
    tell({notice("p", {{"p", clientId}})});
    return found;
  }

 private:
  // Every connection is busy (as opposed to the database being unreachable).
  struct PoolBusy : StoreError {
    using StoreError::StoreError;
  };

  // --- writes ---

  // Announces what was just written. The changes are in the database already: a notice that
  // cannot go is said in the log, and the others read afresh what they hold once they miss a
  // change (a conflict) or do not find what they look for.
  void tell(const std::vector<std::string>& notices) {
    if (notices.empty()) return;
    try {
      withConnection([&](Connection& conn) {
        conn.run({"zelk_notify", kNotify, Params().addArray(packNotices(instance_, notices))});
      });
    } catch (const StoreError& error) {
      std::fprintf(stderr, "zelk-server: notices of a commit were not sent: %s\n", error.what());
    }
  }

  // Runs the statements, in one transaction and one round trip when there are several.
  std::vector<Result> write(const std::vector<Prepared>& statements) {
    std::vector<Result> results;
    withConnection([&](Connection& conn) {
      results.clear();
      if (statements.size() == 1) {
        results.push_back(conn.run(statements[0]));
        return;
      }
      std::vector<Prepared> all;
      all.push_back({nullptr, "BEGIN", Params()});
      all.insert(all.end(), statements.begin(), statements.end());
      all.push_back({nullptr, "COMMIT", Params()});
      std::vector<Result> got = conn.pipeline(all);
      for (std::size_t i = 1; i + 1 < got.size(); ++i) results.push_back(std::move(got[i]));
    });
    return results;
  }

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

  // Runs `body` on a pooled connection (in autocommit). What runs here reads, or writes what it
  // decided before it was given the connection: a connection found lost (the server restarted
  // since it was last used) is replaced and the body run once more.
  template <typename Body>
  void withConnection(Body&& body) {
    for (int attempt = 0;; ++attempt) {
      auto conn = acquire(kPoolWait);
      try {
        body(*conn);
      } catch (const StoreError&) {
        const bool lost = conn->broken();
        abandon(std::move(conn));
        if (lost && attempt == 0) continue;
        throw;
      } catch (...) {
        abandon(std::move(conn));
        throw;
      }
      release(std::move(conn));
      return;
    }
  }

  // Runs `body` in a transaction of its own on a pooled connection.
  template <typename Body>
  void withTransaction(const char* begin, Body&& body) {
    withConnection([&](Connection& conn) {
      conn.execute(begin);
      body(conn);
      conn.execute("COMMIT");
    });
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
          onNotice(StoreNotice{});
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
        const std::string_view payload = notify->extra ? notify->extra : "";
        const std::size_t end = payload.find('\n');
        const std::string_view sender = payload.substr(0, end);
        // This instance acted on its own changes when it made them.
        if (end == std::string_view::npos || sender == instance_) {
          PQfreemem(notify);
          continue;
        }
        std::vector<StoreNotice> heard;
        for (std::size_t at = end + 1; at <= payload.size();) {
          const std::size_t next = std::min(payload.find('\n', at), payload.size());
          if (std::optional<StoreNotice> one = parseNotice(payload.substr(at, next - at))) {
            one->sender = sender;
            heard.push_back(std::move(*one));
          }
          at = next + 1;
        }
        PQfreemem(notify);
        notices_.fetch_add(heard.size(), std::memory_order_relaxed);
        try {
          for (const StoreNotice& one : heard) onNotice(one);
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

  // A notice as commit() and writeStreams() write it; nullopt for one of another form.
  static std::optional<StoreNotice> parseNotice(std::string_view line) {
    const json body = json::parse(line, nullptr, false);
    if (!body.is_object()) return std::nullopt;
    StoreNotice notice;
    const std::string kind = body.value("k", "");
    try {
      if (kind == "u") {
        notice.kind = StoreNotice::Kind::user;
        notice.user = {body.at("p").get<std::string>(), body.at("u").get<std::string>()};
        notice.version = body.at("v").get<std::uint64_t>();
      } else if (kind == "m") {
        notice.kind = StoreNotice::Kind::messages;
        notice.sentAt = fromMillis(body.value("t", std::int64_t{0}));
        std::optional<std::string> data;
        if (const auto d = body.find("d"); d != body.end()) data = d->get<std::string>();
        for (const json& target : body.at("m"))
          notice.deliveries.push_back(
              {target.at(0).get<std::string>(), target.at(1).get<std::uint64_t>(), data});
      } else if (kind == "p") {
        notice.kind = StoreNotice::Kind::project;
        notice.key = body.at("p").get<std::string>();
      } else if (kind == "s") {
        notice.kind = StoreNotice::Kind::streams;
        for (const json& device : body.at("o"))
          notice.streams.opened.push_back(device.get<std::string>());
        for (const json& ended : body.at("e"))
          notice.streams.ended.emplace_back(ended.at(0).get<std::string>(),
                                            fromMillis(ended.at(1).get<std::int64_t>()));
      } else {
        return std::nullopt;
      }
    } catch (const json::exception&) {
      return std::nullopt;
    }
    return notice;
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
  std::string instance_;

  std::mutex poolMutex_;
  std::condition_variable available_;
  std::vector<std::unique_ptr<Connection>> idle_;
  std::size_t open_ = 0;  // idle, in use, or being opened
  std::uint64_t waits_ = 0, broken_ = 0;
  AuditRetention retention_;

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
