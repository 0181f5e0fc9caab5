// SPDX-License-Identifier: Apache-2.0
// The store of the sandbox and of tests: the records in the process, under one lock, written and
// read as the SQL stores write and read them, so that the rules above cannot tell them apart.
#include <algorithm>
#include <cctype>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "storage/store.hpp"

namespace zelk::server {
namespace {

class MemoryStore final : public Store {
 public:
  std::string describe() const override { return "memory"; }
  void setInstance(const std::string& id) override {
    std::lock_guard lock(mutex_);
    instance_ = id;
  }

  std::vector<Project> readProjects() override {
    std::lock_guard lock(mutex_);
    std::vector<Project> all;
    for (const auto& [id, project] : projects_) all.push_back(project);
    return all;
  }

  std::optional<Project> readProject(const std::string& clientId) override {
    std::lock_guard lock(mutex_);
    const auto found = projects_.find(clientId);
    if (found == projects_.end()) return std::nullopt;
    return found->second;
  }

  std::optional<StoredUser> readUser(const UserKey& key) override {
    std::lock_guard lock(mutex_);
    return userLocked(key);
  }

  DeviceLookup readDevice(const std::string& deviceId) override {
    std::lock_guard lock(mutex_);
    DeviceLookup found;
    if (const auto owner = deviceOwners_.find(deviceId); owner != deviceOwners_.end()) {
      found.user = userLocked(owner->second);
    } else if (const auto detached = detached_.find(deviceId); detached != detached_.end()) {
      found.detached = detached->second;
    }
    return found;
  }

  std::optional<DetachedDevice> readDetached(const std::string& deviceId) override {
    std::lock_guard lock(mutex_);
    const auto detached = detached_.find(deviceId);
    if (detached == detached_.end()) return std::nullopt;
    return detached->second;
  }

  std::optional<UserKey> challengeOwner(const std::string& challengeId) override {
    std::lock_guard lock(mutex_);
    const auto owner = challengeOwners_.find(challengeId);
    if (owner == challengeOwners_.end()) return std::nullopt;
    return owner->second;
  }

  std::vector<KeptMessage> messagesAfter(const std::string& deviceId,
                                         std::uint64_t after) override {
    std::lock_guard lock(mutex_);
    std::vector<KeptMessage> found;
    const auto owner = deviceOwners_.find(deviceId);
    if (owner == deviceOwners_.end()) return found;
    const Device* device = users_.at(owner->second).device(deviceId);
    for (const KeptMessage& message : device->messages) {
      if (message.id > after) found.push_back(message);
    }
    return found;
  }

  void commit(std::vector<Unit>& units) override {
    std::lock_guard lock(mutex_);
    for (Unit& unit : units) {
      if (unit.user) {
        const auto stored = users_.find(*unit.user);
        const std::uint64_t version = stored == users_.end() ? 0 : stored->second.version;
        unit.conflict = version != unit.baseVersion;
        if (unit.conflict) continue;
        writeUserLocked(*unit.user, unit.changes);
      }
      if (unit.identify) unit.identified = identifyLocked(*unit.identify);
      writeCommonLocked(unit.changes);
    }
  }

  std::vector<InstanceBeat> beat(Clock::time_point startedAt, Clock::time_point now) override {
    std::lock_guard lock(mutex_);
    // One process: its own beat is all there is. Earlier runs of it left none behind.
    beat_ = {instance_, startedAt, now};
    return {beat_};
  }

  void writeStreams(const StreamChanges& changes) override {
    std::lock_guard lock(mutex_);
    for (const std::string& device : changes.opened) streaming_.insert(device);
    for (const auto& [device, at] : changes.ended) {
      streaming_.erase(device);
      ended_[device] = std::max(ended_[device], at);
    }
  }

  void endStreamsOfSilentInstances(Clock::time_point) override {}

  std::vector<UserKey> quietUsers(const std::string& project, Clock::time_point before,
                                  std::size_t max) override {
    std::lock_guard lock(mutex_);
    std::vector<UserKey> found;
    for (const auto& [key, user] : users_) {
      if (found.size() >= max) break;
      if (key.project != project) continue;
      for (const Device& device : user.devices) {
        if (streaming_.contains(device.id)) continue;
        const auto ended = ended_.find(device.id);
        const auto last = std::max(device.lastSeenAt,
                                   ended == ended_.end() ? Clock::time_point() : ended->second);
        if (last <= before) {
          found.push_back(key);
          break;
        }
      }
    }
    return found;
  }

  void prune(Clock::time_point detachedBefore, const AuditRetention& audit) override {
    std::lock_guard lock(mutex_);
    std::erase_if(detached_,
                  [&](const auto& entry) { return entry.second.detachedAt < detachedBefore; });
    retention_ = audit;
    trimAuditLocked();
    const auto unseen = Clock::now() - kSessionsKeptFor;
    std::erase_if(sessions_, [&](const auto& entry) { return entry.second.seenAt < unseen; });
  }

  void setAuditRetention(AuditRetention retention) override {
    std::lock_guard lock(mutex_);
    retention_ = retention;
  }

  std::size_t countDevices() override {
    std::lock_guard lock(mutex_);
    return deviceOwners_.size();
  }

  std::vector<OutboxMessage> dueMessages(Clock::time_point now, std::size_t max) override {
    std::lock_guard lock(mutex_);
    std::vector<OutboxMessage> due;
    for (const OutboxMessage& message : outbox_) {
      if (message.state == OutboxState::pending && message.nextAttemptAt <= now)
        due.push_back(message);
    }
    std::stable_sort(due.begin(), due.end(), [](const auto& a, const auto& b) {
      return a.nextAttemptAt < b.nextAttemptAt;
    });
    if (due.size() > max) due.resize(max);
    return due;
  }

  std::optional<Clock::time_point> nextDue() override {
    std::lock_guard lock(mutex_);
    std::optional<Clock::time_point> next;
    for (const OutboxMessage& message : outbox_) {
      if (message.state == OutboxState::pending && (!next || message.nextAttemptAt < *next))
        next = message.nextAttemptAt;
    }
    return next;
  }

  void updateMessage(const OutboxMessage& message) override {
    std::lock_guard lock(mutex_);
    for (OutboxMessage& kept : outbox_) {
      if (kept.id == message.id) kept = message;
    }
  }

  std::vector<OutboxMessage> messages(std::optional<OutboxState> state, std::size_t max) override {
    std::lock_guard lock(mutex_);
    std::vector<OutboxMessage> found;
    for (auto it = outbox_.rbegin(); it != outbox_.rend() && found.size() < max; ++it) {
      if (!state || it->state == *state) found.push_back(*it);
    }
    return found;
  }

  bool retryWebhook(const std::string& id, Clock::time_point now) override {
    std::lock_guard lock(mutex_);
    for (OutboxMessage& m : outbox_) {
      if (m.id != id || m.state != OutboxState::failed || m.kind != "webhook") continue;
      m.state = OutboxState::pending;
      m.nextAttemptAt = now;
      return true;
    }
    return false;
  }

  void purgeMessages(Clock::time_point doneBefore, Clock::time_point failedBefore) override {
    std::lock_guard lock(mutex_);
    std::erase_if(outbox_, [&](const OutboxMessage& m) {
      return (m.state == OutboxState::done && m.nextAttemptAt < doneBefore) ||
             (m.state == OutboxState::failed && m.nextAttemptAt < failedBefore);
    });
  }

  std::vector<AuditEntry> auditEntries(const std::string& project, std::uint64_t before,
                                       std::size_t max) override {
    std::lock_guard lock(mutex_);
    std::vector<AuditEntry> found;
    for (auto it = audit_.rbegin(); it != audit_.rend() && found.size() < max; ++it) {
      if ((before == 0 || it->seq < before) && (project.empty() || it->project == project))
        found.push_back(*it);
    }
    return found;
  }

  std::vector<AuditEntry> auditEntriesAbout(const std::string& project, const std::string& subject,
                                            std::size_t max) override {
    std::lock_guard lock(mutex_);
    std::vector<AuditEntry> found;
    for (auto it = audit_.rbegin(); it != audit_.rend() && found.size() < max; ++it) {
      if (it->project == project && it->subject == subject) found.push_back(*it);
    }
    return found;
  }

  std::vector<UserSummary> searchUsers(const std::string& project, const std::string& query,
                                       const std::string& after, std::size_t max) override {
    const auto lower = [](std::string text) {
      for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return text;
    };
    std::lock_guard lock(mutex_);
    std::vector<UserSummary> found;
    for (const auto& [key, user] : users_) {
      if (key.project != project || key.user <= after) continue;
      const bool matches = key.user.starts_with(query) ||
                           (!query.empty() && (lower(user.profile.email) == lower(query) ||
                                               user.profile.phone == query));
      if (matches)
        found.push_back({key.user, user.profile.email, user.profile.phone, user.devices.size()});
    }
    std::sort(found.begin(), found.end(),
              [](const UserSummary& a, const UserSummary& b) { return a.user < b.user; });
    if (found.size() > max) found.resize(max);
    return found;
  }

  bool eraseUser(const UserKey& key, const std::string& pseudonym) override {
    std::lock_guard lock(mutex_);
    const auto user = users_.find(key);
    const bool found = user != users_.end();
    if (found) {
      forgetLocked(user->second);
      users_.erase(user);
    }
    std::erase_if(outbox_, [&](const OutboxMessage& message) {
      if (message.project != key.project || message.kind == "webhook") return false;
      const auto payload = nlohmann::json::parse(message.payload, nullptr, false);
      return payload.is_object() && payload.value("user", "") == key.user;
    });
    const std::string quoted = columns::dumpJSON(nlohmann::json(key.user));
    const std::string replaced = columns::dumpJSON(nlohmann::json(pseudonym));
    for (AuditEntry& entry : audit_) {
      if (entry.project != key.project) continue;
      if (entry.subject == key.user) entry.subject = pseudonym;
      std::string detail = columns::dumpJSON(entry.detail);
      bool changed = false;
      for (auto at = detail.find(quoted); at != std::string::npos;
           at = detail.find(quoted, at + replaced.size())) {
        detail.replace(at, quoted.size(), replaced);
        changed = true;
      }
      if (changed) entry.detail = columns::parseJSON(detail, nlohmann::json::object());
    }
    return found;
  }

  bool deleteProject(const std::string& clientId) override {
    std::lock_guard lock(mutex_);
    for (auto it = users_.begin(); it != users_.end();) {
      if (it->first.project != clientId) {
        ++it;
        continue;
      }
      forgetLocked(it->second);
      it = users_.erase(it);
    }
    std::erase_if(detached_, [&](const auto& entry) { return entry.second.project == clientId; });
    std::erase_if(identities_, [&](const auto& entry) { return entry.second.project == clientId; });
    std::erase_if(identityByVendor_,
                  [&](const auto& entry) { return entry.first.first == clientId; });
    std::erase_if(outbox_, [&](const OutboxMessage& m) { return m.project == clientId; });
    std::erase_if(audit_, [&](const AuditEntry& e) { return e.project == clientId; });
    std::erase_if(keys_, [&](const ProjectKey& key) { return key.project == clientId; });
    return projects_.erase(clientId) > 0;
  }

  std::vector<SuspectCounts> suspects(const std::string& project, Clock::time_point since,
                                      std::size_t max) override {
    std::lock_guard lock(mutex_);
    std::map<std::string, SuspectCounts> counted;
    const auto of = [&](const std::string& user) -> SuspectCounts& {
      SuspectCounts& counts = counted[user];
      counts.user = user;
      return counts;
    };
    for (const auto& [key, user] : users_) {
      if (key.project != project) continue;
      for (const Challenge& challenge : user.challenges) {
        if (challenge.createdAt >= since) ++of(key.user).challenges;
      }
      for (const KnownDevice& device : user.knownDevices) {
        if (device.firstSeenAt >= since) ++of(key.user).newDevices;
      }
    }
    for (const AuditEntry& entry : audit_) {
      if (entry.project == project && entry.kind == "device.change_refused" && entry.at >= since)
        ++of(entry.subject).refusedChanges;
    }
    std::vector<SuspectCounts> found;
    for (auto& [user, counts] : counted) found.push_back(std::move(counts));
    std::stable_sort(found.begin(), found.end(),
                     [](const SuspectCounts& a, const SuspectCounts& b) {
                       if (a.refusedChanges != b.refusedChanges)
                         return a.refusedChanges > b.refusedChanges;
                       return a.challenges + a.newDevices > b.challenges + b.newDevices;
                     });
    if (found.size() > max) found.resize(max);
    return found;
  }

  std::vector<ProjectKey> projectKeys(const std::string& project) override {
    std::lock_guard lock(mutex_);
    std::vector<ProjectKey> found;
    for (const ProjectKey& key : keys_) {
      if (key.project == project) found.push_back(key);
    }
    return found;
  }

  bool addProjectKey(const ProjectKey& key, std::size_t max) override {
    std::lock_guard lock(mutex_);
    const auto held = std::count_if(keys_.begin(), keys_.end(), [&](const ProjectKey& each) {
      return each.project == key.project;
    });
    if (static_cast<std::size_t>(held) >= max) return false;
    keys_.push_back(key);
    return true;
  }

  bool removeProjectKey(const std::string& project, const std::string& id) override {
    std::lock_guard lock(mutex_);
    return std::erase_if(keys_, [&](const ProjectKey& key) {
             return key.project == project && key.id == id;
           }) > 0;
  }

  std::optional<ProjectKey> useProjectKey(const std::string& hash, Clock::time_point now) override {
    std::lock_guard lock(mutex_);
    for (ProjectKey& key : keys_) {
      if (key.hash != hash) continue;
      if (now - key.lastUsedAt > std::chrono::minutes(1)) key.lastUsedAt = now;
      return key;
    }
    return std::nullopt;
  }

  std::optional<OperatorAccount> readOperator(const std::string& name) override {
    std::lock_guard lock(mutex_);
    const auto found = operators_.find(name);
    if (found == operators_.end()) return std::nullopt;
    return found->second;
  }

  std::vector<OperatorAccount> readOperators() override {
    std::lock_guard lock(mutex_);
    std::vector<OperatorAccount> all;
    for (const auto& [name, account] : operators_) all.push_back(account);
    return all;
  }

  void putOperator(const OperatorAccount& account) override {
    std::lock_guard lock(mutex_);
    operators_[account.name] = account;
  }

  std::optional<OperatorSession> readSession(const std::string& hash) override {
    std::lock_guard lock(mutex_);
    const auto found = sessions_.find(hash);
    if (found == sessions_.end()) return std::nullopt;
    return found->second;
  }

  void putSession(const OperatorSession& session) override {
    std::lock_guard lock(mutex_);
    sessions_[session.hash] = session;
  }

  void dropSession(const std::string& hash) override {
    std::lock_guard lock(mutex_);
    sessions_.erase(hash);
  }

  void dropSessionsOf(const std::string& name) override {
    std::lock_guard lock(mutex_);
    std::erase_if(sessions_, [&](const auto& entry) { return entry.second.name == name; });
  }

  OverviewFigures overview(Clock::time_point now, Clock::time_point since, int minutes,
                           Clock::time_point aliveSince) override {
    std::lock_guard lock(mutex_);
    OverviewFigures figures;
    figures.devices = deviceOwners_.size();
    // The streams are this instance's own, counted while it says it is alive.
    const bool alive = !beat_.id.empty() && beat_.beatAt >= aliveSince;
    if (alive) {
      figures.streams = streaming_.size();
      figures.instances.push_back({beat_.id, beat_.startedAt, beat_.beatAt});
    }
    figures.attachesByMinute.assign(static_cast<std::size_t>(std::max(minutes, 0)), 0);
    const auto first = now - std::chrono::minutes(std::max(minutes, 0));
    for (const auto& [key, user] : users_) {
      for (const Challenge& challenge : user.challenges) {
        if (challenge.createdAt < since) continue;
        ++figures.challengesRaised;
        if (challenge.verified) ++figures.challengesVerified;
      }
      for (const Device& device : user.devices) {
        if (device.attachedAt < first || device.attachedAt >= now) continue;
        const auto minute =
            std::chrono::duration_cast<std::chrono::minutes>(device.attachedAt - first);
        ++figures.attachesByMinute[static_cast<std::size_t>(minute.count())];
      }
    }
    for (const AuditEntry& entry : audit_) {
      if (entry.kind == "code.sent" && entry.at >= since) ++figures.codesSent;
    }
    for (const OutboxMessage& message : outbox_) {
      if (message.state == OutboxState::pending) ++figures.outboxPending;
      if (message.state == OutboxState::failed) ++figures.outboxFailed;
    }
    return figures;
  }

 private:
  // Forgets what points at the records of `user`, which are about to go.
  void forgetLocked(const UserRecord& user) {
    for (const Device& device : user.devices) {
      deviceOwners_.erase(device.id);
      ended_.erase(device.id);
      streaming_.erase(device.id);
    }
    for (const Challenge& challenge : user.challenges) challengeOwners_.erase(challenge.id);
  }

  std::optional<StoredUser> userLocked(const UserKey& key) const {
    const auto user = users_.find(key);
    if (user == users_.end()) return std::nullopt;
    StoredUser found;
    found.record = user->second;
    for (const Device& device : user->second.devices) {
      if (const auto ended = ended_.find(device.id); ended != ended_.end())
        found.streams[device.id].endedAt = ended->second;
      if (streaming_.contains(device.id)) found.streams[device.id].hosts.push_back(instance_);
    }
    return found;
  }

  void writeUserLocked(const UserKey& key, const Changes& changes) {
    UserRecord& user = users_[key];
    user.key = key;
    ++user.version;
    user.profile = changes.profile;
    user.deviceChanges = changes.deviceChanges;
    user.knownDevices = changes.knownDevices;
    user.limitOverride = changes.limitOverride;
    for (const std::string& id : changes.removedDevices) {
      std::erase_if(user.devices, [&](const Device& device) { return device.id == id; });
      deviceOwners_.erase(id);
      ended_.erase(id);
      streaming_.erase(id);
    }
    for (const Changes::DeviceRow& row : changes.devices) {
      Device* device = user.device(row.id);
      if (!device) {
        device = &user.devices.emplace_back();
        device->id = row.id;
        device->attachedAt = row.attachedAt;
        deviceOwners_[row.id] = key;
      }
      device->vendorId = row.vendorId;
      device->type = row.type;
      device->library = row.library;
      device->version = row.version;
      device->identity = row.identity;
      device->accesses = columns::stringsOf(row.accesses);
      device->deviceInfo = row.deviceInfo;
      device->metadata = row.metadata;
      device->lastSeenAt = row.lastSeenAt;
      device->lastEventId = row.lastEventId;
      device->location = row.location;
    }
    for (const Changes::MessageTrim& trim : changes.trims) {
      if (Device* device = user.device(trim.deviceId)) {
        std::erase_if(device->messages, [&](const KeptMessage& message) {
          return message.id <= trim.throughId || message.sentAt < trim.before;
        });
      }
    }
    for (const Changes::MessageRow& row : changes.messages) {
      if (Device* device = user.device(row.deviceId)) device->messages.push_back(row.message);
    }
    for (const Challenge& challenge : changes.challenges) {
      if (Challenge* kept = user.challenge(challenge.id)) {
        *kept = challenge;
      } else {
        user.challenges.push_back(challenge);
        challengeOwners_[challenge.id] = key;
      }
    }
    for (const DetachedDevice& device : changes.detached) detached_[device.id] = device;
  }

  void writeCommonLocked(const Changes& changes) {
    for (const Changes::ProjectRow& row : changes.projects) {
      if (row.onlyIfNew && projects_.contains(row.clientId)) continue;
      projects_[row.clientId] = {row.clientId, row.configured, row.settings};
    }
    outbox_.insert(outbox_.end(), changes.outbox.begin(), changes.outbox.end());
    for (AuditEntry entry : changes.audit) {
      entry.seq = ++lastSeq_;
      audit_.push_back(std::move(entry));
    }
    if (!changes.audit.empty()) trimAuditLocked();
  }

  void trimAuditLocked() {
    const auto oldest = Clock::now() - retention_.maxAge;
    std::erase_if(audit_, [&](const AuditEntry& entry) { return entry.at < oldest; });
    while (audit_.size() > retention_.keep) audit_.pop_front();
  }

  IdentifyOutcome identifyLocked(const IdentifyRequest& request) {
    if (!request.identityId.empty()) {
      const auto known = identities_.find(request.identityId);
      if (known != identities_.end() && known->second.project == request.project) {
        known->second.lastSeenAt = request.at;
        return {known->first, true};
      }
    }
    auto& id = identityByVendor_[{request.project, request.vendorId}];
    if (id.empty()) {
      id = request.newId;
      identities_[id] = {request.project, request.vendorId, request.at, request.at};
    }
    identities_.at(id).lastSeenAt = request.at;
    return {id, false};
  }

  struct StoredIdentity {
    std::string project, vendorId;
    Clock::time_point createdAt, lastSeenAt;
  };

  std::mutex mutex_;
  std::string instance_;
  std::map<std::string, Project> projects_;
  std::unordered_map<UserKey, UserRecord, UserKeyHash> users_;
  std::unordered_map<std::string, UserKey> deviceOwners_, challengeOwners_;
  std::unordered_map<std::string, Clock::time_point> ended_;  // by device
  std::unordered_set<std::string> streaming_;                 // devices with a stream open
  std::unordered_map<std::string, DetachedDevice> detached_;
  std::unordered_map<std::string, StoredIdentity> identities_;
  std::map<std::pair<std::string, std::string>, std::string> identityByVendor_;
  std::vector<OutboxMessage> outbox_;
  std::deque<AuditEntry> audit_;
  std::vector<ProjectKey> keys_;
  std::map<std::string, OperatorAccount> operators_;
  std::unordered_map<std::string, OperatorSession> sessions_;  // by hash
  InstanceBeat beat_;                                          // this instance's last
  std::uint64_t lastSeq_ = 0;
  AuditRetention retention_;
};

}  // namespace

std::unique_ptr<Store> makeMemoryStore() {
  return std::make_unique<MemoryStore>();
}

}  // namespace zelk::server
