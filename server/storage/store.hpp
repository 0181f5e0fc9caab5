// SPDX-License-Identifier: Apache-2.0
// Where the service keeps its records. The rules work on the records in memory and hand every
// change to a Store before they answer, so an answered change outlives the process; the Store
// gives them all back at start. Backends: in memory (nothing outlives the process) and SQLite.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "service/records.hpp"

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
  struct DeviceRow {
    std::string clientId, user;
    Device device;  // its kept messages are not part of the row, see `messages`
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
      deviceRowAt_.emplace(devices[indexedDevices_].device.id, indexedDevices_);
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

class Store {
 public:
  virtual ~Store() = default;

  // "memory", or "sqlite <path>".
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

// A SQLite database at `path`, created when missing; its schema is brought up to date first.
// Throws StoreError when the file cannot be opened or migrated.
std::unique_ptr<Store> makeSQLiteStore(const std::string& path);

}  // namespace zelk::server
