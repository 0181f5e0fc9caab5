// SPDX-License-Identifier: Apache-2.0
// Where the service keeps its records. The rules work on the records in memory and hand every
// change to a Store before they answer, so an answered change outlives the process; the Store
// gives them all back at start. Backends: in memory (nothing outlives the process), SQLite, and
// PostgreSQL, which several instances share.
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
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The changes one request makes, written together or not at all.
struct Changes {
  struct ProjectRow {
    std::string clientId;
    bool configured = false;
    ProjectSettings settings;
  };
  struct UserRow {
    std::string clientId, user;
    UserProfile profile;
  };
  // A device as stored: all of it but its kept messages, see `messages`. Its reported facts are
  // shared with the device, not copied.
  struct DeviceRow {
    DeviceRow() = default;
    DeviceRow(std::string clientId, std::string user, const Device& device)
        : clientId(std::move(clientId)),
          user(std::move(user)),
          id(device.id),
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
          activeAt(device.activeAt),
          lastEventId(device.lastEventId) {}

    std::string clientId, user;
    std::string id, vendorId;
    DeviceType type = DeviceType::mobile;
    std::string library, version, identity;
    std::string accesses;  // the access tokens still good, as a JSON array of strings
    SharedJSON deviceInfo, metadata;
    Clock::time_point attachedAt, lastSeenAt, activeAt;
    std::uint64_t lastEventId = 0;
  };
  struct IdentityRow {
    std::string clientId;
    Identity identity;
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
  std::vector<UserRow> users;
  std::vector<DeviceRow> devices;
  std::vector<std::string> removedDevices;  // with their kept messages
  std::vector<IdentityRow> identities;
  std::vector<Challenge> challenges;
  std::vector<MessageRow> messages;
  std::vector<MessageTrim> trims;
  // A device whose only change is the id of its last message.
  struct EventIdRow {
    std::string deviceId;
    std::uint64_t lastEventId = 0;
  };
  std::vector<EventIdRow> eventIds;
  std::vector<DetachedDevice> detached;
  std::vector<std::string> forgottenDetached;  // ids of detached devices no longer remembered
  // Messages to send once these changes are stored, and security events to record.
  std::vector<OutboxMessage> outbox;
  std::vector<AuditEntry> audit;

  // The row of device `id` in `devices`, the first one if there are several; nullptr when there
  // is none. Looks up an index, so a request that touches many devices stays linear.
  DeviceRow* findDevice(const std::string& id) {
    for (; indexedDevices_ < devices.size(); ++indexedDevices_)
      deviceRowAt_.emplace(devices[indexedDevices_].id, indexedDevices_);
    auto at = deviceRowAt_.find(id);
    return at == deviceRowAt_.end() ? nullptr : &devices[at->second];
  }

  bool empty() const {
    return projects.empty() && users.empty() && devices.empty() && removedDevices.empty() &&
           identities.empty() && challenges.empty() && messages.empty() && trims.empty() &&
           eventIds.empty() && detached.empty() && forgottenDetached.empty() && outbox.empty() &&
           audit.empty();
  }

 private:
  // Rows of `devices` are only ever added, so the index catches up with the ones added since.
  std::unordered_map<std::string, std::size_t> deviceRowAt_;
  std::size_t indexedDevices_ = 0;
};

// What a shared store says of a user it locked: the project and the user as stored, and the
// user's challenges (User::challenges lists their ids).
struct SharedUser {
  Project project;  // its settings and `configured`; `users` left empty
  bool projectExists = false;
  User user;  // its devices with their kept messages
  std::vector<Challenge> challenges;
};

// The project and user a device or a challenge belongs to.
struct Owner {
  std::string project, user;
};

// A notice from another instance (or this one) through a shared store.
struct StoreNotice {
  enum class Kind { messages, project, resync };
  Kind kind = Kind::messages;
  std::string key;  // the device (messages) or the client id (project); "" with resync
};

class Store {
 public:
  virtual ~Store() = default;

  // "memory", "sqlite <path>", or "postgres <host:port/database>" (never a password).
  virtual std::string describe() const = 0;
  // Everything stored, as it was after the last commit.
  virtual Dataset load() = 0;
  // Writes `changes` at once; throws StoreError, and then nothing of them is written.
  virtual void commit(const Changes& changes) = 0;
  // Writes the changes of several requests, in order, at once: all of them or none (throws
  // StoreError then). A backend that can should write them in one transaction.
  virtual void commitAll(const std::vector<Changes>& batch) {
    for (const Changes& changes : batch) commit(changes);
  }
  // Whether the store can take writes now.
  virtual bool ready() { return true; }

  // Whether other processes write to this store too (several instances on one database). The
  // rules then read what they act on from the store, under the store's lock, instead of trusting
  // what they hold in memory; the members below serve them. A store that is not shared keeps the
  // defaults, which are never called.
  virtual bool shared() const { return false; }

  // Starts the calling thread's unit of work and locks `user` of `project` against every other
  // instance until this thread's next commit() (which writes and ends it) or rollback(). Returns
  // the project and the user as stored; the user is created (empty) when it is new. Throws
  // StoreError when the store cannot be reached, and then no unit of work is open. Called again
  // before the unit ends, it locks one more user in the same unit (lock users in a fixed order,
  // or the database may break a deadlock by failing one of the units with StoreError). While a
  // unit is open, the calling thread's other calls to the store read within it.
  virtual SharedUser lockUser(const std::string& /*project*/, const std::string& /*user*/) {
    throw StoreError("not a shared store");
  }
  // Ends the calling thread's unit of work, if any, without writing.
  virtual void rollback() {}
  // Reads without locking: a project (its users left out), the owner of a device or of a
  // challenge, a detached device. nullopt when there is none; StoreError when unreachable.
  virtual std::optional<Project> readProject(const std::string& /*clientId*/) {
    return std::nullopt;
  }
  virtual std::optional<Owner> deviceOwner(const std::string& /*deviceId*/) { return std::nullopt; }
  virtual std::optional<Owner> challengeOwner(const std::string& /*challengeId*/) {
    return std::nullopt;
  }
  virtual std::optional<DetachedDevice> readDetached(const std::string& /*deviceId*/) {
    return std::nullopt;
  }
  // The kept messages of `deviceId` with an id above `after`, oldest first.
  virtual std::vector<KeptMessage> messagesAfter(const std::string& /*deviceId*/,
                                                 std::uint64_t /*after*/) {
    return {};
  }
  // Records that the devices had a stream open on this instance at `at` (Device::activeAt), so
  // that other instances do not take them for idle.
  virtual void markActive(const std::vector<std::string>& /*deviceIds*/, Clock::time_point /*at*/) {
  }
  // Calls `onNotice` on a thread of the store's own for every notice committed by any instance
  // (this one included): new messages of a device, a project's settings changed, or `resync`
  // when notices may have been missed (the listening connection was lost and is back), after
  // which everything held must be read afresh. Call once, before serving; stopListening() ends
  // it and returns once `onNotice` runs no more.
  virtual void listen(std::function<void(const StoreNotice&)> /*onNotice*/) {}
  virtual void stopListening() {}
  // Appends the store's own figures to a /metrics page, in the Prometheus text format (a
  // database's pool: its size, connections in use, waits for one); nothing by default.
  virtual void appendMetrics(std::string& /*page*/) {}

  // The outbox. Messages are added by commit(); the delivery worker takes the pending ones that
  // are due, oldest due first, at most `max`, and writes each back after an attempt. The
  // defaults are those of a store that keeps none (a test's store).
  virtual std::vector<OutboxMessage> dueMessages(Clock::time_point, std::size_t) { return {}; }
  // When the next pending message is due; nullopt when none is pending.
  virtual std::optional<Clock::time_point> nextDue() { return std::nullopt; }
  // Writes back a message's attempts, state, next attempt, last error and payload.
  virtual void updateMessage(const OutboxMessage&) {}
  // Messages in `state` (any state with nullopt), newest first, at most `max`.
  virtual std::vector<OutboxMessage> messages(std::optional<OutboxState>, std::size_t) {
    return {};
  }
  // Forgets the messages done before `doneBefore` and those failed before `failedBefore`.
  virtual void purgeMessages(Clock::time_point /*doneBefore*/, Clock::time_point /*failedBefore*/) {
  }

  // The audit trail. Entries are added by commit(), each given the next `seq`; entries beyond the
  // retention are dropped as new ones come.
  virtual void setAuditRetention(AuditRetention) {}
  // Entries of `project` ("" : of every project) with a seq below `before` (0 : any), newest
  // first, at most `max`.
  virtual std::vector<AuditEntry> auditEntries(const std::string& /*project*/,
                                               std::uint64_t /*before*/, std::size_t /*max*/) {
    return {};
  }
};

// Keeps nothing of the records, which the rules hold in memory anyway; the outbox and the audit
// trail are kept in memory as long as the process lives.
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
