// SPDX-License-Identifier: Apache-2.0
// Where the service keeps its records, and the one source of their truth. The rules read one
// user's records at a time (readUser()), decide, and hand what they changed to commit(), which
// writes it only if nobody changed that user meanwhile; nothing is answered before it is stored.
// Backends: in memory (nothing outlives the process), SQLite, and PostgreSQL, which several
// instances share. Every member is safe to call from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "storage/json_columns.hpp"
#include "storage/records.hpp"

namespace zelk::server {

// A storage failure: the change it was part of is not made, and the request fails with a 5xx.
// `unreachable`: the store could not be reached at all (as opposed to refusing what it was
// given), so that trying again at once is no use.
class StoreError : public std::runtime_error {
 public:
  explicit StoreError(const std::string& what, bool unreachable = false)
      : std::runtime_error(what), unreachable_(unreachable) {}
  bool unreachable() const { return unreachable_; }

 private:
  bool unreachable_ = false;
};

// The changes of one user (or of no user: a project's settings, an audit entry), written
// together or not at all.
struct Changes {
  struct ProjectRow {
    std::string clientId;
    bool configured = false;
    ProjectSettings settings;
    // A project that comes into being with its first request: written only when the store has
    // none of that id, so that it never overwrites one an operator set up meanwhile.
    bool onlyIfNew = false;
  };
  // A device as stored: all of it but its kept messages, see `messages`. Its reported facts are
  // shared with the device, not copied.
  struct DeviceRow {
    DeviceRow() = default;
    explicit DeviceRow(const Device& device)
        : id(device.id),
          vendorId(device.vendorId),
          type(device.type),
          library(device.library),
          version(device.version),
          identity(device.identity),
          accesses(columns::stringsJSON(device.accesses)),
          deviceInfo(device.deviceInfo),
          metadata(device.metadata),
          attachedAt(device.attachedAt),
          lastSeenAt(device.lastSeenAt),
          lastEventId(device.lastEventId),
          location(device.location) {}

    std::string id, vendorId;
    DeviceType type = DeviceType::mobile;
    std::string library, version, identity;
    std::string accesses;  // the access tokens still good, as a JSON array of strings
    SharedJSON deviceInfo, metadata;
    Clock::time_point attachedAt, lastSeenAt;
    std::uint64_t lastEventId = 0;
    Location location;
  };
  struct MessageRow {
    std::string deviceId;
    KeptMessage message;
  };
  // Messages of a device with an id up to `throughId` or sent before `before` are dropped.
  struct MessageTrim {
    std::string deviceId;
    std::uint64_t throughId = 0;
    Clock::time_point before;
  };

  std::vector<ProjectRow> projects;
  // The user's contact details, the times of their device changes and the devices they were
  // seen with, as they are after the change (a user's changes only).
  UserProfile profile;
  std::vector<Clock::time_point> deviceChanges;
  std::vector<KnownDevice> knownDevices;
  std::optional<LimitOverride> limitOverride;
  std::vector<DeviceRow> devices;           // added or changed, as they are after the change
  std::vector<std::string> removedDevices;  // with their kept messages
  std::vector<Challenge> challenges;        // added or changed
  std::vector<MessageRow> messages;         // new messages still kept after the change
  std::vector<MessageTrim> trims;
  // Devices removed, remembered for their streams that come back (their logout orders go to the
  // other instances with the messages, when the store is shared).
  std::vector<DetachedDevice> detached;
  // Messages to send once these changes are stored, and security events to record.
  std::vector<OutboxMessage> outbox;
  std::vector<AuditEntry> audit;

  bool empty() const {
    return projects.empty() && devices.empty() && removedDevices.empty() && challenges.empty() &&
           messages.empty() && trims.empty() && detached.empty() && outbox.empty() && audit.empty();
  }
};

// An identify call: the identity it names when it is one of the project's, else the one of its
// vendor identifier, made with `newId` when there is none.
struct IdentifyRequest {
  std::string project;
  std::string vendorId;
  std::string identityId;  // "" when the caller sent none
  std::string newId;
  nlohmann::json deviceInfo = nlohmann::json::object();
  Clock::time_point at;
};

struct IdentifyOutcome {
  std::string identity;
  bool known = false;  // the identity named was found: nothing but its last sight changed
};

// What one commit writes of one caller: a user's changes, decided on the user's records of
// `baseVersion`, or changes of no user, or an identify call.
struct Unit {
  std::optional<UserKey> user;
  std::uint64_t baseVersion = 0;
  Changes changes;
  std::optional<IdentifyRequest> identify;
  // Set by Store::commit(): the user's records were changed since `baseVersion`, by another
  // instance, and nothing of this unit was written; the caller reads them again and decides anew.
  bool conflict = false;
  IdentifyOutcome identified;  // with `identify`
};

// Where a device's streams are, as stored: the instances holding one open, and when the last one
// that was open on some instance ended.
struct StreamFacts {
  std::vector<std::string> hosts;
  Clock::time_point endedAt;
};

struct StoredUser {
  UserRecord record;
  std::unordered_map<std::string, StreamFacts> streams;  // by device; devices without any left out
};

// What the store holds of a device id: its user's records, or, for a device detached lately,
// the record of that.
struct DeviceLookup {
  std::optional<StoredUser> user;
  std::optional<DetachedDevice> detached;
};

// A user as an operator's search lists them.
struct UserSummary {
  std::string user, email, phone;
  std::size_t devices = 0;  // attached now
};

// What makes a user worth an operator's look, over a window: challenges raised, devices never
// seen before, and device changes refused by the project's cap.
struct SuspectCounts {
  std::string user;
  std::size_t challenges = 0, newDevices = 0, refusedChanges = 0;
};

// An instance serving from the store, and when it last said it was alive.
struct InstanceBeat {
  std::string id;
  Clock::time_point startedAt, beatAt;
};

// The streams of this instance that opened or ended since it last said so.
struct StreamChanges {
  std::vector<std::string> opened;  // devices that had no stream open here before
  std::vector<std::pair<std::string, Clock::time_point>> ended;  // and their last one here ended

  bool empty() const { return opened.empty() && ended.empty(); }
};

// A notice from another instance sharing the store.
struct StoreNotice {
  enum class Kind {
    user,      // a user's records were changed: `user` and `version`
    messages,  // messages for devices: `deliveries` (each without data when too long to carry)
    project,   // a project's settings changed: `key`
    streams,   // streams opened or ended on `sender`: `streams`
    resync,    // notices may have been missed: everything held must be read afresh
  };
  Kind kind = Kind::resync;
  std::string sender;  // the instance that sent it
  UserKey user;
  std::uint64_t version = 0;
  std::string key;
  struct Message {
    std::string device;
    std::uint64_t id = 0;
    std::optional<std::string> data;
  };
  std::vector<Message> deliveries;
  Clock::time_point sentAt;  // when the messages were committed
  StreamChanges streams;
};

class Store {
 public:
  virtual ~Store() = default;

  // "memory", "sqlite <path>", or "postgres <host:port/database>" (never a password).
  virtual std::string describe() const = 0;
  // Whether other processes write to this store too (several instances on one database): what
  // an instance holds of a user is then only a copy, which notices (listen()) keep fresh.
  virtual bool shared() const { return false; }
  // Whether the store can take writes now.
  virtual bool ready() { return true; }
  // Names this instance in the streams and notices it writes; called once, before anything.
  virtual void setInstance(const std::string& id) = 0;

  // Every project, and one project; nullopt when there is no such project.
  virtual std::vector<Project> readProjects() = 0;
  virtual std::optional<Project> readProject(const std::string& clientId) = 0;
  // A user's records with the facts of their devices' streams; nullopt when nothing of the user
  // is stored.
  virtual std::optional<StoredUser> readUser(const UserKey& key) = 0;
  // The records of the user a device belongs to, or the device's detach of the last day.
  virtual DeviceLookup readDevice(const std::string& deviceId) = 0;
  // The detach of the last day of a device, if any (without reading its user's records).
  virtual std::optional<DetachedDevice> readDetached(const std::string& deviceId) = 0;
  // The user a challenge was raised for.
  virtual std::optional<UserKey> challengeOwner(const std::string& challengeId) = 0;
  // The kept messages of `deviceId` with an id above `after`, oldest first.
  virtual std::vector<KeptMessage> messagesAfter(const std::string& deviceId,
                                                 std::uint64_t after) = 0;

  // Writes the units, in one transaction where the backend has them: each user's changes only
  // if the user's records are still of the unit's base version (otherwise the unit is marked a
  // conflict and nothing of it written), every other unit always. Throws StoreError, and then
  // nothing of any unit is written.
  virtual void commit(std::vector<Unit>& units) = 0;

  // Liveness. beat() records that this instance is alive and returns every instance's last
  // beat; writeStreams() what opened and ended since the last call.
  virtual std::vector<InstanceBeat> beat(Clock::time_point startedAt, Clock::time_point now) = 0;
  virtual void writeStreams(const StreamChanges& changes) = 0;
  // The streams held by instances that stopped beating before `deadBefore` count as ended at
  // their instance's last beat, and instances silent for a day are forgotten.
  virtual void endStreamsOfSilentInstances(Clock::time_point deadBefore) = 0;

  // The users of `project` with a device neither seen nor streaming after `before` (a device
  // last active at `before` itself is past a grace that ends now): the ones an idle sweep looks
  // at. At most `max`.
  virtual std::vector<UserKey> quietUsers(const std::string& project, Clock::time_point before,
                                          std::size_t max) = 0;
  // Forgets detaches older than `detachedBefore`, audit entries beyond `audit`, and console
  // sessions not seen for kSessionsKeptFor.
  virtual void prune(Clock::time_point detachedBefore, const AuditRetention& audit) = 0;
  // Devices attached, over every project.
  virtual std::size_t countDevices() = 0;

  // Calls `onNotice` on a thread of the store's own for every notice committed by another
  // instance (never this one's own), and `resync` when notices may have been missed (the listening
  // connection was lost and is back). Call once, before serving; stopListening() ends it and
  // returns once `onNotice` runs no more. A store that is not shared sends none.
  virtual void listen(std::function<void(const StoreNotice&)> /*onNotice*/) {}
  virtual void stopListening() {}
  // Appends the store's own figures to a /metrics page, in the Prometheus text format.
  virtual void appendMetrics(std::string& /*page*/) {}

  // The outbox. Messages are added by commit(); the delivery worker takes the pending ones that
  // are due, oldest due first, at most `max`, and writes each back after an attempt.
  virtual std::vector<OutboxMessage> dueMessages(Clock::time_point now, std::size_t max) = 0;
  // When the next pending message is due; nullopt when none is pending.
  virtual std::optional<Clock::time_point> nextDue() = 0;
  // Writes back a message's attempts, state, next attempt, last error and payload.
  virtual void updateMessage(const OutboxMessage& message) = 0;
  // Messages in `state` (any state with nullopt), newest first, at most `max`.
  virtual std::vector<OutboxMessage> messages(std::optional<OutboxState> state,
                                              std::size_t max) = 0;
  // Forgets the messages done before `doneBefore` and those failed before `failedBefore`.
  virtual void purgeMessages(Clock::time_point doneBefore, Clock::time_point failedBefore) = 0;
  // Makes the failed webhook event `id` due again at `now`, its attempts kept; false when there
  // is no failed webhook event of that id. Failed codes are never sent again: theirs are wiped.
  virtual bool retryWebhook(const std::string& id, Clock::time_point now) = 0;

  // The audit trail. Entries are added by commit(), each given the next `seq`; entries beyond the
  // retention are dropped as new ones come (and by prune()).
  virtual void setAuditRetention(AuditRetention retention) = 0;
  // Entries of
  // `project` ("" : of every project) with a seq below `before` (0 : any), newest first, at most
  // `max`.
  virtual std::vector<AuditEntry> auditEntries(const std::string& project, std::uint64_t before,
                                               std::size_t max) = 0;
  // The entries of `project` about `subject` (a user), newest first, at most `max`.
  virtual std::vector<AuditEntry> auditEntriesAbout(const std::string& project,
                                                    const std::string& subject,
                                                    std::size_t max) = 0;

  // What operators look up and remove.
  // The users of `project` whose id begins with `query`, or whose e-mail address (in any case)
  // or phone number is `query` ("" : every user), in the order of their ids, after `after`, at
  // most `max`.
  virtual std::vector<UserSummary> searchUsers(const std::string& project, const std::string& query,
                                               const std::string& after, std::size_t max) = 0;
  // Removes everything stored of a user: contact details, devices with their messages,
  // challenges, the limits and devices remembered, and the outbox's messages for them. Their
  // audit entries stay, with `pseudonym` in place of their id. False when nothing was stored.
  virtual bool eraseUser(const UserKey& key, const std::string& pseudonym) = 0;
  // Removes a project with its users and everything stored of them, its identities, keys, outbox
  // and audit entries. False when there was no such project.
  virtual bool deleteProject(const std::string& clientId) = 0;
  // The users of `project` with the most device changes refused, then the most challenges and
  // new devices together, since `since`; at most `max`, none with nothing to count.
  virtual std::vector<SuspectCounts> suspects(const std::string& project, Clock::time_point since,
                                              std::size_t max) = 0;

  // Project keys. The keys of a project, oldest first; `key` added unless its project has `max`
  // already (false then); one removed (false when there is none of that id); and the key of a
  // hash, its last use moved to `now` when that was over a minute before.
  virtual std::vector<ProjectKey> projectKeys(const std::string& project) = 0;
  virtual bool addProjectKey(const ProjectKey& key, std::size_t max) = 0;
  virtual bool removeProjectKey(const std::string& project, const std::string& id) = 0;
  virtual std::optional<ProjectKey> useProjectKey(const std::string& hash,
                                                  Clock::time_point now) = 0;

  // Console operators, by name: one read, every one by name, and one written whole (added or
  // replaced).
  virtual std::optional<OperatorAccount> readOperator(const std::string& name) = 0;
  virtual std::vector<OperatorAccount> readOperators() = 0;
  virtual void putOperator(const OperatorAccount& account) = 0;
  // Console sessions, by the hash of their cookie: one read, one written whole, one removed;
  // and every session of an operator removed (when their password or role changes).
  virtual std::optional<OperatorSession> readSession(const std::string& hash) = 0;
  virtual void putSession(const OperatorSession& session) = 0;
  virtual void dropSession(const std::string& hash) = 0;
  virtual void dropSessionsOf(const std::string& name) = 0;

  // The console's overview: challenges and codes counted since `since`, attaches counted by
  // minute over the `minutes` minutes up to `now`, instances that beat since `aliveSince`.
  virtual OverviewFigures overview(Clock::time_point now, Clock::time_point since, int minutes,
                                   Clock::time_point aliveSince) = 0;
};

// Keeps everything in the process, under one lock, as long as it lives: the store of the
// sandbox and of tests.
std::unique_ptr<Store> makeMemoryStore();

// How a SQLite store keeps its write-ahead log, in pages: a thread of the store's own copies it
// into the database once `copyAt` pages wait, and has it start over once it holds `restartAt`
// (holding commits back for the last few pages and two fsyncs); the committing thread copies it
// itself past `copyHereAt`, which bounds the log should that thread fall behind or fail.
struct SQLiteLog {
  int copyAt = 1000;
  int restartAt = 16384;  // 64 MiB of 4 KiB pages
  int copyHereAt = 65536;
};

// A SQLite database at `path`, created when missing; its schema is brought up to date first.
// Throws StoreError when the file cannot be opened or migrated.
std::unique_ptr<Store> makeSQLiteStore(const std::string& path, SQLiteLog log = {});

// A PostgreSQL database, shared by every instance given the same `url` (a libpq connection URI,
// "postgres://..."), through a pool of `connections` connections; its schema is brought up to
// date first, by one instance when several start at once. Throws StoreError when the database
// cannot be reached or migrated.
std::unique_ptr<Store> makePostgresStore(const std::string& url, int connections);

}  // namespace zelk::server
