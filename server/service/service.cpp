// SPDX-License-Identifier: Apache-2.0
#include "service/service.hpp"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <iterator>
#include <stdexcept>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "service/ids.hpp"

namespace zelk::server {
namespace {

using nlohmann::json;

// How many devices of each type a user has.
struct Counts {
  int mobiles = 0, tablets = 0, computers = 0;

  explicit Counts(const User& user) {
    for (const Device& device : user.devices) ++of(device.type);
  }
  int& of(DeviceType type) {
    switch (type) {
      case DeviceType::tablet:
        return tablets;
      case DeviceType::computer:
        return computers;
      case DeviceType::mobile:
        break;
    }
    return mobiles;
  }
};

int typeLimit(const ProjectSettings& settings, DeviceType type) {
  switch (type) {
    case DeviceType::tablet:
      return settings.tabletLimit;
    case DeviceType::computer:
      return settings.computerLimit;
    case DeviceType::mobile:
      break;
  }
  return settings.mobileLimit;
}

// The limit a user's devices break, if any: "overall", or the type of `attached` when there are
// more devices of that type than its limit.
std::optional<std::string> brokenLimit(const ProjectSettings& settings, const User& user,
                                       DeviceType attached) {
  if (static_cast<long long>(user.devices.size()) > settings.overallLimit) return "overall";
  const int limit = typeLimit(settings, attached);
  if (limit > 0 && Counts(user).of(attached) > limit) return std::string(deviceTypeName(attached));
  return std::nullopt;
}

// Whether one more device of `type` would take `user` over a limit.
bool oneMoreBreaksALimit(const ProjectSettings& settings, const User& user, DeviceType type) {
  if (static_cast<long long>(user.devices.size()) + 1 > settings.overallLimit) return true;
  const int limit = typeLimit(settings, type);
  return limit > 0 && Counts(user).of(type) + 1 > limit;
}

bool withinLimits(const ProjectSettings& settings, const User& user) {
  for (DeviceType type : {DeviceType::mobile, DeviceType::tablet, DeviceType::computer}) {
    if (brokenLimit(settings, user, type)) return false;
  }
  return true;
}

const std::string& projectName(const std::string& clientId, const Project& project) {
  return project.settings.name.empty() ? clientId : project.settings.name;
}

// The reported device facts as the device list shows them: only text members of the known keys,
// with the type the service counted the device as.
json deviceInfoOf(const Device& device) {
  const auto pick = [](const json& from, const char* object,
                       std::initializer_list<const char*> keys) {
    json picked = json::object();
    auto it = from.find(object);
    if (it == from.end() || !it->is_object()) return picked;
    for (const char* key : keys) {
      auto value = it->find(key);
      if (value != it->end() && value->is_string()) picked[key] = *value;
    }
    return picked;
  };
  json info = json::object();
  info["os"] = pick(device.deviceInfo.value(), "os", {"name", "version"});
  json details = pick(device.deviceInfo.value(), "device", {"vendor", "model"});
  details["type"] = deviceTypeName(device.type);
  info["device"] = std::move(details);
  return info;
}

json deviceJSON(const Device& d) {
  return {{"device_id", d.id},
          {"vendor_identifier", d.vendorId},
          {"type", deviceTypeName(d.type)},
          {"library", d.library},
          {"version", d.version},
          {"identity", d.identity},
          {"last_access", d.lastAccess()},
          {"device_info", d.deviceInfo.value()},
          {"metadata", d.metadata.value()},
          {"attached_at", isoTimeMillis(d.attachedAt)},
          {"last_seen_at", isoTimeMillis(d.lastSeenAt)},
          {"last_event_id", d.lastEventId}};
}

}  // namespace

std::string challengeNoticeData(const std::string& challengeId) {
  return json{{"action", "challenge"}, {"challenge", {{"_id", challengeId}}}}.dump(
      -1, ' ', false, json::error_handler_t::replace);
}

std::string logoutData() {
  return "\"logout\"";
}

namespace {
thread_local std::uint64_t lastChangeHere = 0;
}  // namespace

class Service::UnitOfWork {
 public:
  explicit UnitOfWork(Service& service) : service_(service) {}
  UnitOfWork(const UnitOfWork&) = delete;
  UnitOfWork& operator=(const UnitOfWork&) = delete;
  ~UnitOfWork() {
    if (!service_.shared_) return;
    service_.unwrittenProject_.clear();
    try {
      // Nothing once the changes were committed; otherwise the lock on the user goes.
      service_.store_->rollback();
    } catch (...) {
      // The store drops a connection it cannot roll back on; nothing is left to undo here.
    }
  }

 private:
  Service& service_;
};

Service::Service(std::unique_ptr<Store> store, Config config)
    : store_(std::move(store)),
      shared_(store_->shared()),
      config_(std::move(config)),
      data_(store_->load()) {
  if (config_.codeKey.empty()) config_.codeKey = newSecret();
  // Each change is written in its user's unit of work, on the calling thread.
  if (shared_) config_.groupCommit = false;
  store_->setAuditRetention(config_.audit);
  startedAt_ = clockNow();
  indexDevicesLocked();
  if (config_.groupCommit) committer_ = std::thread([this] { commitInOrder(); });
}

Service::~Service() {
  if (!committer_.joinable()) return;
  {
    std::lock_guard lock(commitMutex_);
    stopping_ = true;
  }
  commitWake_.notify_all();
  committer_.join();
}

std::uint64_t Service::lastChangeOfThisThread() {
  return lastChangeHere;
}

void Service::whenStored(std::uint64_t change, std::function<void(bool)> done) {
  bool stored = true;
  {
    std::lock_guard lock(commitMutex_);
    if (change > lastFinished_) {
      waiters_.push_back({change, std::move(done)});
      return;
    }
    for (const auto& [first, last] : failed_) {
      if (change >= first && change <= last) stored = false;
    }
  }
  done(stored);
}

bool Service::flush() {
  std::unique_lock lock(commitMutex_);
  const std::uint64_t change = lastQueued_;
  // Waits for the waiters to be told as well: a waiter's callback may hold what the caller is
  // about to tear down once this returns.
  commitDone_.wait(lock, [&] { return lastTold_ >= change; });
  for (const auto& [first, last] : failed_) {
    if (last >= change && first <= change) return false;
  }
  return true;
}

// The committer: writes what was queued meanwhile in one transaction, then tells the waiters.
void Service::commitInOrder() {
  std::vector<Changes> batch;
  std::unique_lock lock(commitMutex_);
  for (;;) {
    committerWaiting_ = true;
    commitWake_.wait(lock, [&] { return !queued_.empty() || stopping_; });
    committerWaiting_ = false;
    if (queued_.empty()) return;
    batch.swap(queued_);
    std::uint64_t first = lastFinished_ + 1, last = lastQueued_;
    lock.unlock();
    bool stored = true;
    const bool outbox =
        std::any_of(batch.begin(), batch.end(), [](const Changes& c) { return !c.outbox.empty(); });
    try {
      store_->commitAll(batch);
      if (outbox && config_.onOutbox) config_.onOutbox();
    } catch (const StoreError& error) {
      stored = false;
      std::fprintf(stderr, "zelk-server: storage failure: %s\n", error.what());
      // What is in memory went ahead of the store, by this batch and by what was queued since:
      // go back to what the store holds, and fail them all.
      std::lock_guard rules(mutex_);
      reloadLocked();
      std::lock_guard again(commitMutex_);
      queued_.clear();
      last = lastQueued_;
    }
    batch.clear();
    lock.lock();
    lastFinished_ = last;
    if (!stored) {
      failed_.emplace_back(first, last);
      if (failed_.size() > 16) failed_.pop_front();
    }
    std::vector<Waiter> ready;
    auto keep = std::partition(waiters_.begin(), waiters_.end(),
                               [&](const Waiter& w) { return w.change > last; });
    std::move(keep, waiters_.end(), std::back_inserter(ready));
    waiters_.erase(keep, waiters_.end());
    lock.unlock();
    for (Waiter& waiter : ready) {
      // A waiter for a change before this batch was told already, when its own batch ended.
      waiter.done(stored);
    }
    ready.clear();
    lock.lock();
    lastTold_ = last;
    commitDone_.notify_all();
  }
}

void Service::reloadLocked() {
  try {
    data_ = store_->load();
  } catch (const StoreError&) {
    // Keeps what is in memory: the next write tells again.
  }
  indexDevicesLocked();
}

std::string Service::storeDescription() const {
  return store_->describe();
}

bool Service::storeReady() {
  return store_->ready();
}

void Service::setRepeatOpenChallenges(bool repeat) {
  std::lock_guard lock(mutex_);
  config_.repeatOpenChallenges = repeat;
}

bool Service::repeatOpenChallenges() const {
  std::lock_guard lock(mutex_);
  return config_.repeatOpenChallenges;
}

void Service::commitLocked(Changes& changes) {
  if (shared_) {
    if (changes.empty()) {
      store_->rollback();
      return;
    }
    try {
      store_->commit(changes);
    } catch (const StoreError&) {
      // Nothing was written. What is held here of the user went ahead of the store, but every
      // operation on the user reads it afresh first.
      try {
        store_->rollback();
      } catch (const StoreError&) {
      }
      throw;
    }
    if (!changes.outbox.empty() && config_.onOutbox) config_.onOutbox();
    return;
  }
  if (changes.empty()) return;
  if (config_.groupCommit) {
    bool wake = false;
    {
      std::lock_guard lock(commitMutex_);
      queued_.push_back(std::move(changes));
      lastChangeHere = ++lastQueued_;
      // A committer at work takes what was queued when it is done; only an idle one needs
      // waking, and once.
      std::swap(wake, committerWaiting_);
    }
    if (wake) commitWake_.notify_one();
    return;
  }
  try {
    store_->commit(changes);
  } catch (const StoreError&) {
    // What is in memory went ahead of the store: go back to what the store holds.
    reloadLocked();
    throw;
  }
  if (!changes.outbox.empty() && config_.onOutbox) config_.onOutbox();
}

void Service::lockUserLocked(const std::string& clientId, const std::string& userName) {
  const std::uint64_t drops = dropsSoFar();
  adoptLocked(clientId, userName, store_->lockUser(clientId, userName), drops);
}

std::uint64_t Service::dropsSoFar() {
  std::lock_guard dropped(droppedMutex_);
  return drops_;
}

void Service::projectReadLocked(const std::string& clientId, std::uint64_t dropsBefore) {
  std::lock_guard dropped(droppedMutex_);
  // A notice heard since the read began may be of a change the read did not see.
  if (drops_ == dropsBefore) droppedProjects_.erase(clientId);
}

void Service::adoptLocked(const std::string& clientId, const std::string& userName,
                          SharedUser stored, std::uint64_t dropsBefore) {
  Project& project = data_.projects[clientId];
  if (stored.projectExists) {
    project.settings = std::move(stored.project.settings);
    project.configured = stored.project.configured;
    projectReadLocked(clientId, dropsBefore);
  } else {
    unwrittenProject_ = clientId;
  }
  User& user = project.users[userName];
  for (const Device& device : user.devices) {
    const auto place = deviceIndex_.find(device.id);
    if (place != deviceIndex_.end() && place->second.project == clientId &&
        place->second.user == userName)
      deviceIndex_.erase(place);
  }
  for (const std::string& id : user.challenges) data_.challenges.erase(id);
  user = std::move(stored.user);
  for (Challenge& challenge : stored.challenges) {
    std::string id = challenge.id;
    data_.challenges.insert_or_assign(std::move(id), std::move(challenge));
  }
  // The rules look up every challenge a user lists.
  std::erase_if(user.challenges,
                [&](const std::string& id) { return !data_.challenges.contains(id); });
  for (std::size_t position = 0; position < user.devices.size(); ++position)
    deviceIndex_.insert_or_assign(user.devices[position].id,
                                  DevicePlace{clientId, userName, position});
}

bool Service::lockChallengeLocked(const std::string& clientId, const std::string& challengeId) {
  const std::optional<Owner> owner = store_->challengeOwner(challengeId);
  if (!owner || owner->project != clientId) return false;
  lockUserLocked(owner->project, owner->user);
  return true;
}

void Service::refreshProjectLocked(const std::string& clientId) {
  auto held = data_.projects.find(clientId);
  {
    std::lock_guard dropped(droppedMutex_);
    if (allDropped_) {
      // Every project held goes stale; each is read afresh once.
      for (const auto& [id, project] : data_.projects) droppedProjects_.insert(id);
      allDropped_ = false;
    }
    if (held != data_.projects.end() && !droppedProjects_.contains(clientId)) return;
  }
  const std::uint64_t drops = dropsSoFar();
  std::optional<Project> stored = store_->readProject(clientId);
  if (!stored) return;
  if (held == data_.projects.end()) held = data_.projects.try_emplace(clientId).first;
  held->second.settings = std::move(stored->settings);
  held->second.configured = stored->configured;
  projectReadLocked(clientId, drops);
}

void Service::dropProject(const std::string& clientId) {
  if (!shared_) return;
  std::lock_guard dropped(droppedMutex_);
  ++drops_;
  if (clientId.empty()) {
    allDropped_ = true;
    droppedProjects_.clear();
    return;
  }
  if (!allDropped_) droppedProjects_.insert(clientId);
}

void Service::eventLocked(const std::string& projectId, const char* type, json subject,
                          Changes& changes) {
  const auto project = data_.projects.find(projectId);
  if (project == data_.projects.end() || project->second.settings.webhookUrl.empty()) return;
  // The outbox goes by the wall clock, as its worker does.
  const auto now = Clock::now();
  OutboxMessage message;
  message.id = newId("evt_");
  message.kind = "webhook";
  message.project = projectId;
  json body = {{"id", message.id},
               {"type", type},
               {"created_at", isoTimeMillis(now)},
               {"project", projectId}};
  body.update(subject);
  message.payload = body.dump(-1, ' ', false, json::error_handler_t::replace);
  message.createdAt = message.nextAttemptAt = now;
  changes.outbox.push_back(std::move(message));
}

void Service::auditLocked(const std::string& projectId, std::string kind, std::string subject,
                          json detail, Changes& changes) {
  // Audit entries are facts of the wall clock, whatever time the rules go by.
  changes.audit.push_back(
      {0, Clock::now(), projectId, std::move(kind), std::move(subject), std::move(detail)});
}

void Service::recordAudit(const std::string& project, std::string kind, std::string subject,
                          json detail) {
  std::lock_guard lock(mutex_);
  Changes changes;
  auditLocked(project, std::move(kind), std::move(subject), std::move(detail), changes);
  commitLocked(changes);
}

bool Service::knowsProject(const std::string& clientId) {
  std::lock_guard lock(mutex_);
  if (config_.openProjects) return true;
  if (shared_) refreshProjectLocked(clientId);
  auto project = data_.projects.find(clientId);
  return project != data_.projects.end() && project->second.configured;
}

Project& Service::projectLocked(const std::string& clientId, Changes& changes) {
  auto [project, added] = data_.projects.try_emplace(clientId);
  // A project comes into being with its first request.
  if (added || (!unwrittenProject_.empty() && unwrittenProject_ == clientId)) {
    changes.projects.push_back({clientId, project->second.configured, project->second.settings});
    unwrittenProject_.clear();
  }
  return project->second;
}

void Service::configureProject(const std::string& projectId, ProjectSettings settings) {
  std::lock_guard lock(mutex_);
  Changes changes;
  Project& project = projectLocked(projectId, changes);
  project.settings = std::move(settings);
  project.configured = true;
  changes.projects = {{projectId, true, project.settings}};
  commitLocked(changes);
}

ProjectSettings Service::projectSettings(const std::string& projectId) {
  std::lock_guard lock(mutex_);
  if (shared_) refreshProjectLocked(projectId);
  ProjectSettings settings;
  if (auto project = data_.projects.find(projectId); project != data_.projects.end())
    settings = project->second.settings;
  if (settings.name.empty()) settings.name = projectId;
  return settings;
}

bool Service::projectConfigured(const std::string& projectId) {
  std::lock_guard lock(mutex_);
  if (shared_) refreshProjectLocked(projectId);
  auto project = data_.projects.find(projectId);
  return project != data_.projects.end() && project->second.configured;
}

void Service::configureUser(const std::string& projectId, const std::string& userName,
                            UserProfile profile) {
  std::lock_guard lock(mutex_);
  UnitOfWork work(*this);
  if (shared_) lockUserLocked(projectId, userName);
  Changes changes;
  projectLocked(projectId, changes).users[userName].profile = profile;
  changes.users.push_back({projectId, userName, std::move(profile)});
  commitLocked(changes);
}

UserProfile Service::userProfile(const std::string& projectId, const std::string& userName) {
  std::lock_guard lock(mutex_);
  UnitOfWork work(*this);
  if (shared_) lockUserLocked(projectId, userName);
  auto project = data_.projects.find(projectId);
  if (project == data_.projects.end()) return {};
  auto user = project->second.users.find(userName);
  if (user == project->second.users.end()) return {};
  return user->second.profile;
}

Delivery Service::sendLocked(Device& device, const std::string& data, Changes& changes) {
  const auto now = Clock::now();
  KeptMessage message{++device.lastEventId, now, data};
  device.messages.push_back(message);
  while (device.messages.size() > kMaxKeptMessages) device.messages.pop_front();
  while (!device.messages.empty() && device.messages.front().sentAt < now - kKeptMessagesFor)
    device.messages.pop_front();
  changes.messages.push_back({device.id, message});
  changes.trims.push_back(
      {device.id, device.lastEventId > kMaxKeptMessages ? device.lastEventId - kMaxKeptMessages : 0,
       now - kKeptMessagesFor});
  // The device's row carries its last event id.
  Changes::DeviceRow* row = changes.findDevice(device.id);
  if (!row) {
    changes.eventIds.push_back({device.id, device.lastEventId});
  } else {
    row->lastEventId = device.lastEventId;
  }
  return {device.id, message.id, data};
}

RaisedChallenge Service::raiseLocked(const std::string& projectId, User& user,
                                     const std::string& userName, std::string reason,
                                     Changes& changes) {
  Challenge challenge;
  challenge.id = newId("ch_");
  challenge.project = projectId;
  challenge.user = userName;
  challenge.reason = std::move(reason);
  challenge.createdAt = Clock::now();
  user.challenges.push_back(challenge.id);
  changes.challenges.push_back(challenge);
  eventLocked(
      projectId, "challenge.raised",
      {{"user", userName}, {"challenge", {{"id", challenge.id}, {"reason", challenge.reason}}}},
      changes);

  RaisedChallenge raised;
  raised.id = challenge.id;
  const std::string notice = challengeNoticeData(challenge.id);
  for (Device& device : user.devices)
    raised.deliveries.push_back(sendLocked(device, notice, changes));
  data_.challenges.emplace(challenge.id, std::move(challenge));
  return raised;
}

RaisedChallenge Service::raiseChallenge(const std::string& projectId, const std::string& userName,
                                        std::string reason) {
  std::lock_guard lock(mutex_);
  UnitOfWork work(*this);
  if (shared_) lockUserLocked(projectId, userName);
  Changes changes;
  User& user = projectLocked(projectId, changes).users[userName];
  RaisedChallenge raised = raiseLocked(projectId, user, userName, std::move(reason), changes);
  commitLocked(changes);
  return raised;
}

std::vector<std::string> Service::challenges(const std::string& projectId,
                                             const std::string& userName) {
  std::lock_guard lock(mutex_);
  UnitOfWork work(*this);
  if (shared_) lockUserLocked(projectId, userName);
  auto project = data_.projects.find(projectId);
  if (project == data_.projects.end()) return {};
  auto user = project->second.users.find(userName);
  if (user == project->second.users.end()) return {};
  return user->second.challenges;
}

bool Service::resolveChallenge(const std::string& projectId, const std::string& challengeId) {
  std::lock_guard lock(mutex_);
  UnitOfWork work(*this);
  if (shared_ && !lockChallengeLocked(projectId, challengeId)) return false;
  if (!findLocked(projectId, challengeId).challenge) return false;
  Challenge& challenge = data_.challenges.at(challengeId);
  challenge.resolved = true;
  Changes changes;
  changes.challenges.push_back(challenge);
  commitLocked(changes);
  return true;
}

Service::Found Service::findLocked(const std::string& projectId,
                                   const std::string& challengeId) const {
  auto challenge = data_.challenges.find(challengeId);
  if (challenge == data_.challenges.end() || challenge->second.project != projectId) return {};
  auto project = data_.projects.find(projectId);
  if (project == data_.projects.end()) return {};
  auto user = project->second.users.find(challenge->second.user);
  if (user == project->second.users.end()) return {};
  return {&challenge->second, &project->second, &user->second};
}

std::optional<json> Service::challengeDetails(const std::string& projectId,
                                              const std::string& challengeId) {
  std::lock_guard lock(mutex_);
  UnitOfWork work(*this);
  if (shared_ && !lockChallengeLocked(projectId, challengeId)) return std::nullopt;
  const Found found = findLocked(projectId, challengeId);
  if (!found.challenge) return std::nullopt;
  const ProjectSettings& settings = found.project->settings;
  json brand = {{"require_verification", settings.requireVerification}};
  if (!settings.logo.empty()) brand["logo"] = settings.logo;
  if (!settings.primaryColor.empty()) brand["primary_color"] = settings.primaryColor;
  json user = {{"_id", found.challenge->user}};
  const UserProfile& profile = found.user->profile;
  if (!profile.email.empty())
    user["email"] = settings.showContacts ? profile.email : maskEmail(profile.email);
  if (!profile.phone.empty())
    user["phone"] = settings.showContacts ? profile.phone : maskPhone(profile.phone);
  return json{{"_id", found.challenge->id},
              {"project", {{"_id", projectId}, {"name", projectName(projectId, *found.project)}}},
              {"brand", std::move(brand)},
              {"user", std::move(user)},
              {"channels", {"email", "text"}},
              {"status", found.challenge->verified ? "verified" : "open"}};
}

std::optional<json> Service::challengeDevices(const std::string& projectId,
                                              const std::string& challengeId) {
  std::lock_guard lock(mutex_);
  UnitOfWork work(*this);
  if (shared_ && !lockChallengeLocked(projectId, challengeId)) return std::nullopt;
  const Found found = findLocked(projectId, challengeId);
  if (!found.challenge) return std::nullopt;
  json devices = json::array();
  const auto now = clockNow();
  for (const Device& device : found.user->devices) {
    if (!liveLocked(device, found.project->settings, now)) continue;
    devices.push_back({{"_id", device.id},
                       {"info", deviceInfoOf(device)},
                       {"createdAt", isoTimeMillis(device.attachedAt)},
                       {"updatedAt", isoTimeMillis(device.lastSeenAt)},
                       {"last_access", {{"geolocation", {{"city", "Lyon"}, {"country", "FR"}}}}}});
  }
  return devices;
}

std::optional<json> Service::deviceLimit(const std::string& projectId,
                                         const std::string& challengeId) {
  std::lock_guard lock(mutex_);
  UnitOfWork work(*this);
  if (shared_ && !lockChallengeLocked(projectId, challengeId)) return std::nullopt;
  const Found found = findLocked(projectId, challengeId);
  if (!found.challenge) return std::nullopt;
  const ProjectSettings& settings = found.project->settings;
  // Only the devices still live count.
  User live;
  const auto now = clockNow();
  for (const Device& device : found.user->devices) {
    if (liveLocked(device, settings, now)) live.devices.push_back(device);
  }
  const Counts counts(live);
  return json{{"attached_devices",
               {{"total", live.devices.size()},
                {"devices",
                 {{"computers", counts.computers},
                  {"tablets", counts.tablets},
                  {"mobiles", counts.mobiles}}}}},
              {"default_overall_limit", settings.overallLimit},
              {"computer_device_limit", settings.computerLimit},
              {"tablet_device_limit", settings.tabletLimit},
              {"mobile_device_limit", settings.mobileLimit}};
}

std::optional<std::string> Service::challengeProject(const std::string& challengeId) {
  if (shared_) {
    const std::optional<Owner> owner = store_->challengeOwner(challengeId);
    if (!owner) return std::nullopt;
    return owner->project;
  }
  std::lock_guard lock(mutex_);
  const auto challenge = data_.challenges.find(challengeId);
  if (challenge == data_.challenges.end()) return std::nullopt;
  return challenge->second.project;
}

std::string Service::codeHashLocked(const std::string& challengeId, const std::string& code) const {
  // Bound to the challenge, so that one code's HMAC says nothing of another challenge's.
  const std::string message = challengeId + ":" + code;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!HMAC(EVP_sha256(), config_.codeKey.data(), static_cast<int>(config_.codeKey.size()),
            reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest,
            &length))
    throw std::runtime_error("cannot compute an HMAC");
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 0xf];
  }
  return hex;
}

SendCodeResult Service::sendCode(const std::string& projectId, const std::string& challengeId,
                                 const std::string& channel) {
  std::lock_guard lock(mutex_);
  SendCodeResult result;
  UnitOfWork work(*this);
  if (shared_ && !lockChallengeLocked(projectId, challengeId)) return result;
  const Found found = findLocked(projectId, challengeId);
  if (!found.challenge) return result;
  Challenge& challenge = data_.challenges.at(challengeId);
  const auto at = clockNow();
  const CodePolicy& policy = config_.codes;
  std::erase_if(challenge.recentSends,
                [&](Clock::time_point sent) { return sent <= at - std::chrono::hours(1); });
  std::optional<Clock::time_point> allowedFrom;
  if (!challenge.recentSends.empty() && at < challenge.recentSends.back() + policy.resendInterval)
    allowedFrom = challenge.recentSends.back() + policy.resendInterval;
  if (static_cast<int>(challenge.recentSends.size()) >= policy.maxSendsPerHour) {
    const auto hourOver =
        challenge.recentSends[challenge.recentSends.size() -
                              static_cast<std::size_t>(std::max(policy.maxSendsPerHour, 1))] +
        std::chrono::hours(1);
    allowedFrom = std::max(allowedFrom.value_or(hourOver), hourOver);
  }
  if (allowedFrom) {
    result.status = CodeSend::tooSoon;
    result.retryAfter = std::max(std::chrono::seconds(1),
                                 std::chrono::ceil<std::chrono::seconds>(*allowedFrom - at));
    return result;
  }

  std::string code, hash;
  do {
    code = newCode({});
    hash = codeHashLocked(challengeId, code);
  } while (hash == challenge.codeHash);
  challenge.codeHash = hash;
  challenge.codeSentAt = at;
  challenge.codeChecks = 0;
  challenge.recentSends.push_back(at);
  if (!channel.empty()) {
    challenge.channel = channel;
  } else if (challenge.channel.empty()) {
    challenge.channel = "email";
  }
  ++challenge.codesSent;
  Changes changes;
  changes.challenges.push_back(challenge);
  auditLocked(projectId, "code.sent", challenge.user,
              {{"challenge", challengeId}, {"channel", challenge.channel}}, changes);
  if (config_.deliverCodes) {
    // The code waits in the outbox only until it is sent or its lifetime is over; then the
    // delivery worker wipes it from the payload.
    OutboxMessage message;
    message.id = newId("msg_");
    message.kind = challenge.channel;
    message.project = projectId;
    const UserProfile& contact = found.user->profile;
    message.payload = json{
        {"challenge", challengeId},
        {"user", challenge.user},
        {"to", challenge.channel == "text" ? contact.phone : contact.email},
        {"code", code}}.dump(-1, ' ', false, json::error_handler_t::replace);
    message.createdAt = message.nextAttemptAt = Clock::now();
    changes.outbox.push_back(std::move(message));
  }
  commitLocked(changes);
  result.status = CodeSend::sent;
  result.sent = SentCode{projectId,         challengeId,     challenge.user,
                         challenge.channel, std::move(code), found.user->profile};
  return result;
}

std::optional<bool> Service::checkCode(const std::string& projectId, const std::string& challengeId,
                                       const std::string& code) {
  std::lock_guard lock(mutex_);
  UnitOfWork work(*this);
  if (shared_ && !lockChallengeLocked(projectId, challengeId)) return std::nullopt;
  if (!findLocked(projectId, challengeId).challenge) return std::nullopt;
  Challenge& challenge = data_.challenges.at(challengeId);
  ++challenge.checks;
  bool right = false;
  const char* why = "no code sent";
  if (challenge.codeHash.empty()) {
  } else if (challenge.codeChecks >= config_.codes.maxChecks) {
    why = "code void";
  } else if (clockNow() >= challenge.codeSentAt + config_.codes.lifetime) {
    why = "code expired";
  } else {
    ++challenge.codeChecks;
    // Both sides are hex of one length: the comparison takes the same time wherever they differ.
    const std::string given = codeHashLocked(challengeId, code);
    right = given.size() == challenge.codeHash.size() &&
            CRYPTO_memcmp(given.data(), challenge.codeHash.data(), given.size()) == 0;
    why = "wrong code";
  }
  if (right) challenge.verified = true;
  Changes changes;
  changes.challenges.push_back(challenge);
  if (right) {
    auditLocked(projectId, "code.accepted", challenge.user, {{"challenge", challengeId}}, changes);
    eventLocked(projectId, "challenge.verified",
                {{"user", challenge.user}, {"challenge", {{"id", challengeId}}}}, changes);
  } else {
    auditLocked(projectId, "code.rejected", challenge.user,
                {{"challenge", challengeId}, {"reason", why}}, changes);
    // The check that used the last one the code takes voids it.
    if (std::string_view(why) == "wrong code" && challenge.codeChecks >= config_.codes.maxChecks)
      auditLocked(projectId, "code.voided", challenge.user,
                  {{"challenge", challengeId}, {"checks", challenge.codeChecks}}, changes);
  }
  commitLocked(changes);
  return right;
}

json Service::challengeStateLocked(const Challenge& challenge) const {
  return {
      {"challenge", challenge.id},
      {"client_id", challenge.project},
      {"user", challenge.user},
      {"reason", challenge.reason},
      {"created_at", isoTimeMillis(challenge.createdAt)},
      {"channel", challenge.channel.empty() ? json(nullptr) : json(challenge.channel)},
      {"code_sent_at",
       challenge.codeHash.empty() ? json(nullptr) : json(isoTimeMillis(challenge.codeSentAt))},
      {"code_expires_at", challenge.codeHash.empty()
                              ? json(nullptr)
                              : json(isoTimeMillis(challenge.codeSentAt + config_.codes.lifetime))},
      {"code_checks", challenge.codeChecks},
      {"codes_sent", challenge.codesSent},
      {"checks", challenge.checks},
      {"verified", challenge.verified},
      {"open", challenge.open()}};
}

std::optional<json> Service::challengeState(const std::string& challengeId) {
  std::lock_guard lock(mutex_);
  UnitOfWork work(*this);
  if (shared_) {
    const std::optional<Owner> owner = store_->challengeOwner(challengeId);
    if (!owner) return std::nullopt;
    lockUserLocked(owner->project, owner->user);
  }
  auto challenge = data_.challenges.find(challengeId);
  if (challenge == data_.challenges.end()) return std::nullopt;
  return challengeStateLocked(challenge->second);
}

AttachResult Service::attach(AttachInput input) {
  std::lock_guard lock(mutex_);
  UnitOfWork work(*this);
  if (shared_) lockUserLocked(input.project, input.user);
  Changes changes;
  Project& project = projectLocked(input.project, changes);
  auto [userEntry, newUser] = project.users.try_emplace(input.user);
  User& user = userEntry->second;
  if (newUser) changes.users.push_back({input.project, input.user, user.profile});
  const auto now = clockNow();

  const LimitPolicy policy = project.settings.limitPolicy;
  const DeviceType reportedType = deviceTypeOf(input.deviceInfo);
  // Devices gone quiet past their grace go first: they hold no slot.
  std::vector<Delivery> expired = expireLocked(input.project, input.user, user, now, changes);
  auto device = std::find_if(user.devices.begin(), user.devices.end(),
                             [&](const Device& d) { return d.vendorId == input.vendorId; });
  if (device == user.devices.end() && policy == LimitPolicy::block &&
      oneMoreBreaksALimit(project.settings, user, reportedType)) {
    // Nothing is attached: the host hears of it and decides.
    AttachResult refused;
    refused.blocked = true;
    refused.attachedDevices = user.devices.size();
    refused.blockOverUsage = true;
    refused.defaultDeviceLimit = project.settings.overallLimit;
    refused.expired = std::move(expired);
    commitLocked(changes);
    return refused;
  }
  const bool added = device == user.devices.end();
  if (added) {
    Device fresh;
    fresh.id = newId("dev_");
    fresh.vendorId = input.vendorId;
    fresh.attachedAt = now;
    user.devices.push_back(std::move(fresh));
    device = std::prev(user.devices.end());
    deviceIndex_[device->id] = {input.project, input.user, user.devices.size() - 1};
  }
  device->library = std::move(input.library);
  device->version = std::move(input.version);
  device->identity = std::move(input.identity);
  // An app back in the foreground mostly reports what it did last time: the device keeps the
  // documents it has then, and its row shares them.
  if (device->deviceInfo != input.deviceInfo)
    device->deviceInfo = SharedJSON(std::move(input.deviceInfo));
  device->type = reportedType;
  if (device->metadata != input.metadata) device->metadata = SharedJSON(std::move(input.metadata));
  device->lastSeenAt = now;
  device->accesses.push_back(newId("acc_"));
  if (device->accesses.size() > kMaxAccesses)
    device->accesses.erase(device->accesses.begin(),
                           device->accesses.end() - static_cast<std::ptrdiff_t>(kMaxAccesses));
  changes.devices.emplace_back(input.project, input.user, *device);
  if (added)
    eventLocked(input.project, "device.attached",
                {{"user", input.user},
                 {"device", {{"id", device->id}, {"type", deviceTypeName(device->type)}}}},
                changes);

  liveness_[device->id].idleSince = now;
  AttachResult result;
  result.expired = std::move(expired);
  result.deviceId = device->id;
  result.access = device->lastAccess();
  result.attachedDevices = user.devices.size();
  result.blockOverUsage = project.settings.blockOverUsage;
  result.defaultDeviceLimit = project.settings.overallLimit;
  const std::string attachedId = device->id;
  const DeviceType type = device->type;
  if (policy == LimitPolicy::evictOldest) {
    // The least recently active devices in the way go, never the one attaching.
    while (auto reason = brokenLimit(project.settings, user, type)) {
      const Device* victim = nullptr;
      for (const Device& other : user.devices) {
        if (other.id == attachedId || (*reason != "overall" && other.type != type)) continue;
        // Ties (streams open on both) go by the last attach.
        if (!victim || std::pair(lastActiveLocked(other, now), other.lastSeenAt) <
                           std::pair(lastActiveLocked(*victim, now), victim->lastSeenAt))
          victim = &other;
      }
      if (!victim) break;
      result.evicted.push_back(
          removeDeviceLocked(input.project, user, victim->id, changes, "evicted"));
    }
    result.attachedDevices = user.devices.size();
    resolveWithinLimitsLocked(input.project, input.user, user, changes);
  } else if (auto reason = brokenLimit(project.settings, user, type)) {
    if (policy == LimitPolicy::challenge) {
      result.challenge = raiseLocked(input.project, user, input.user, std::move(*reason), changes);
    } else {
      result.blockOverUsage = true;  // a device already known, over limits lowered since
    }
  }
  commitLocked(changes);
  return result;
}

Delivery Service::removeDeviceLocked(const std::string& projectId, User& user,
                                     const std::string& deviceId, Changes& changes,
                                     const char* why) {
  auto& devices = user.devices;
  auto device = std::find_if(devices.begin(), devices.end(),
                             [&](const Device& d) { return d.id == deviceId; });
  const std::string userName = deviceIndex_.at(deviceId).user;
  const json subject = {{"user", userName},
                        {"device", {{"id", deviceId}, {"type", deviceTypeName(device->type)}}}};
  if (std::string_view(why) == "evicted") {
    // An eviction is a detach the device did not ask for: told as its own event.
    auditLocked(projectId, "device.evicted", userName, {{"device", deviceId}}, changes);
    eventLocked(projectId, "device.evicted", subject, changes);
  } else {
    json detached = subject;
    detached["reason"] = why;
    eventLocked(projectId, "device.detached", std::move(detached), changes);
  }
  Delivery logout{deviceId, device->lastEventId + 1, logoutData()};
  // A stream of the device that is down now hears the logout when it comes back.
  rememberDetachedLocked({deviceId, projectId, device->accesses, logout.id, clockNow()}, changes);
  // The devices after it move up one place.
  for (auto later = std::next(device); later != devices.end(); ++later)
    --deviceIndex_.at(later->id).position;
  // `deviceId` may be the id of the very device erased below (an eviction names its victim so):
  // everything that needs it goes first.
  changes.removedDevices.push_back(deviceId);
  deviceIndex_.erase(deviceId);
  liveness_.erase(deviceId);
  devices.erase(device);
  return logout;
}

Clock::time_point Service::lastActiveLocked(const Device& device, Clock::time_point now) const {
  // activeAt: when another instance sharing the store last saw a stream of it open.
  const Clock::time_point seen = std::max(device.lastSeenAt, device.activeAt);
  const auto found = liveness_.find(device.id);
  if (found == liveness_.end()) return seen;
  if (found->second.openStreams > 0) return now;
  return std::max(seen, found->second.idleSince);
}

bool Service::liveLocked(const Device& device, const ProjectSettings& settings,
                         Clock::time_point now) const {
  if (settings.livenessGraceSeconds <= 0) return true;
  const std::chrono::seconds grace(settings.livenessGraceSeconds);
  // activeAt: when another instance sharing the store last saw a stream of it open. That
  // instance says so again every kActiveMarkPeriod while the stream stays open, so a mark holds
  // for two of those at least, whatever the grace.
  if (device.activeAt != Clock::time_point() &&
      now < device.activeAt + std::max<std::chrono::seconds>(grace, 2 * kActiveMarkPeriod))
    return true;
  Clock::time_point idleSince = std::max(startedAt_, device.lastSeenAt);
  // What the streams say can only make it later: a device seen lately needs no look at them.
  if (now < idleSince + grace) return true;
  if (const auto found = liveness_.find(device.id); found != liveness_.end()) {
    if (found->second.openStreams > 0) return true;
    idleSince = std::max(idleSince, found->second.idleSince);
  }
  return now < idleSince + grace;
}

std::vector<Delivery> Service::expireLocked(const std::string& projectId,
                                            const std::string& userName, User& user,
                                            Clock::time_point now, Changes& changes) {
  const ProjectSettings& settings = data_.projects.at(projectId).settings;
  std::vector<std::string> quiet;
  for (const Device& device : user.devices) {
    if (!liveLocked(device, settings, now)) quiet.push_back(device.id);
  }
  std::vector<Delivery> logouts;
  for (const std::string& id : quiet)
    logouts.push_back(removeDeviceLocked(projectId, user, id, changes, "idle"));
  if (!logouts.empty()) resolveWithinLimitsLocked(projectId, userName, user, changes);
  return logouts;
}

void Service::streamOpened(const std::string& deviceId) {
  std::lock_guard lock(mutex_);
  if (!deviceIndex_.contains(deviceId)) return;
  ++liveness_[deviceId].openStreams;
}

void Service::streamClosed(const std::string& deviceId) {
  std::lock_guard lock(mutex_);
  const auto found = liveness_.find(deviceId);
  if (found == liveness_.end() || found->second.openStreams == 0) return;
  if (--found->second.openStreams == 0) found->second.idleSince = clockNow();
}

std::vector<Delivery> Service::expireIdleDevices() {
  std::lock_guard lock(mutex_);
  const auto now = clockNow();
  if (shared_) {
    // The users held here with a device that looks idle, each looked at again under its lock:
    // a stream may be open on another instance, or the device gone already.
    std::vector<std::pair<std::string, std::string>> suspects;
    for (const auto& [clientId, project] : data_.projects) {
      const ProjectSettings& settings = project.settings;
      if (settings.livenessGraceSeconds <= 0) continue;
      for (const auto& [name, user] : project.users) {
        if (std::any_of(user.devices.begin(), user.devices.end(),
                        [&](const Device& device) { return !liveLocked(device, settings, now); }))
          suspects.emplace_back(clientId, name);
      }
    }
    std::vector<Delivery> logouts;
    for (const auto& [clientId, name] : suspects) {
      UnitOfWork work(*this);
      lockUserLocked(clientId, name);
      Changes changes;
      auto gone =
          expireLocked(clientId, name, data_.projects.at(clientId).users.at(name), now, changes);
      commitLocked(changes);
      logouts.insert(logouts.end(), gone.begin(), gone.end());
    }
    return logouts;
  }
  Changes changes;
  std::vector<Delivery> logouts;
  for (auto& [clientId, project] : data_.projects) {
    if (project.settings.livenessGraceSeconds <= 0) continue;
    for (auto& [name, user] : project.users) {
      auto gone = expireLocked(clientId, name, user, now, changes);
      logouts.insert(logouts.end(), gone.begin(), gone.end());
    }
  }
  commitLocked(changes);
  return logouts;
}

void Service::resolveWithinLimitsLocked(const std::string& projectId, const std::string& userName,
                                        const User& user, Changes& changes) {
  (void)userName;
  const Project& project = data_.projects.at(projectId);
  if (!withinLimits(project.settings, user)) return;
  for (const std::string& id : user.challenges) {
    Challenge& challenge = data_.challenges.at(id);
    if (!challenge.open() || challenge.reason == "manual") continue;
    challenge.resolved = true;
    changes.challenges.push_back(challenge);
  }
}

DetachResult Service::detach(const std::string& projectId, const std::string& userName,
                             const std::string& deviceId) {
  std::lock_guard lock(mutex_);
  DetachResult result;
  UnitOfWork work(*this);
  if (shared_) lockUserLocked(projectId, userName);
  auto project = data_.projects.find(projectId);
  if (project == data_.projects.end()) return result;
  auto user = project->second.users.find(userName);
  if (user == project->second.users.end()) return result;
  auto& devices = user->second.devices;
  auto device = std::find_if(devices.begin(), devices.end(),
                             [&](const Device& d) { return d.id == deviceId; });
  if (device == devices.end()) return result;
  Changes changes;
  result.logout = removeDeviceLocked(projectId, user->second, deviceId, changes);
  resolveWithinLimitsLocked(projectId, userName, user->second, changes);
  commitLocked(changes);
  result.found = true;
  result.deviceId = deviceId;
  result.attachedDevices = devices.size();
  return result;
}

IdentifyResult Service::identify(const IdentifyInput& input) {
  std::lock_guard lock(mutex_);
  Changes changes;
  Project& project = projectLocked(input.project, changes);
  const auto now = Clock::now();

  if (!input.identityId.empty()) {
    auto known = project.identities.find(input.identityId);
    if (known != project.identities.end()) {
      known->second.lastSeenAt = now;
      changes.identities.push_back({input.project, known->second});
      commitLocked(changes);
      return {known->first, 1.0};
    }
  }

  auto byVendor = project.identityByVendorId.find(input.vendorId);
  if (byVendor == project.identityByVendorId.end()) {
    Identity fresh;
    fresh.id = newId("id_");
    fresh.vendorId = input.vendorId;
    fresh.createdAt = now;
    byVendor = project.identityByVendorId.emplace(input.vendorId, fresh.id).first;
    project.identities.emplace(fresh.id, std::move(fresh));
  }
  Identity& identity = project.identities.at(byVendor->second);
  identity.deviceInfo = input.deviceInfo;
  identity.lastSeenAt = now;
  changes.identities.push_back({input.project, identity});
  commitLocked(changes);
  return {identity.id, 0.9};
}

void Service::rememberDetachedLocked(DetachedDevice detached, Changes& changes) {
  const auto tooOld = detached.detachedAt - kKeptMessagesFor;
  while (!detachedOrder_.empty()) {
    const auto oldest = data_.detached.find(detachedOrder_.front());
    if (oldest != data_.detached.end() && oldest->second.detachedAt >= tooOld &&
        detachedOrder_.size() < kMaxDetachedDevices)
      break;
    if (oldest != data_.detached.end()) {
      changes.forgottenDetached.push_back(oldest->first);
      data_.detached.erase(oldest);
    }
    detachedOrder_.pop_front();
  }
  detachedOrder_.push_back(detached.id);
  changes.detached.push_back(detached);
  data_.detached.insert_or_assign(detached.id, std::move(detached));
}

void Service::indexDevicesLocked() {
  detachedOrder_.clear();
  std::vector<const DetachedDevice*> byTime;
  for (const auto& [id, detached] : data_.detached) byTime.push_back(&detached);
  std::stable_sort(byTime.begin(), byTime.end(),
                   [](const auto* a, const auto* b) { return a->detachedAt < b->detachedAt; });
  for (const DetachedDevice* detached : byTime) detachedOrder_.push_back(detached->id);
  deviceIndex_.clear();
  for (const auto& [clientId, project] : data_.projects) {
    for (const auto& [name, user] : project.users) {
      for (std::size_t position = 0; position < user.devices.size(); ++position)
        deviceIndex_.try_emplace(user.devices[position].id, DevicePlace{clientId, name, position});
    }
  }
}

Device* Service::deviceLocked(const std::string& projectId, const std::string& deviceId,
                              std::string* userName, std::string* clientId) {
  const auto place = deviceIndex_.find(deviceId);
  if (place == deviceIndex_.end()) return nullptr;
  if (!projectId.empty() && place->second.project != projectId) return nullptr;
  const auto project = data_.projects.find(place->second.project);
  if (project == data_.projects.end()) return nullptr;
  const auto user = project->second.users.find(place->second.user);
  if (user == project->second.users.end() || place->second.position >= user->second.devices.size())
    return nullptr;
  Device& device = user->second.devices[place->second.position];
  if (device.id != deviceId) return nullptr;
  if (userName) *userName = place->second.user;
  if (clientId) *clientId = place->second.project;
  return &device;
}

ListenStart Service::startListen(const std::string& projectId, const std::string& deviceId,
                                 const std::string& access,
                                 std::optional<std::uint64_t> resumeAfter,
                                 const std::function<void(const ListenStart&)>& opened) {
  std::lock_guard lock(mutex_);
  ListenStart start;
  std::string userName, clientId;
  UnitOfWork work(*this);
  // With a shared store the attach that made the device, or its newest access, or the detach
  // that removed it, may have been answered by another instance: the store says.
  std::optional<DetachedDevice> storedDetached;
  bool attached = true;
  if (shared_) {
    const std::optional<Owner> owner = store_->deviceOwner(deviceId);
    attached = owner && owner->project == projectId;
    if (attached) {
      lockUserLocked(owner->project, owner->user);
    } else {
      storedDetached = store_->readDetached(deviceId);
    }
  }
  const Device* device =
      attached ? deviceLocked(projectId, deviceId, &userName, &clientId) : nullptr;
  if (!device) {
    const DetachedDevice* detached = nullptr;
    if (shared_) {
      if (storedDetached) detached = &*storedDetached;
    } else if (const auto found = data_.detached.find(deviceId); found != data_.detached.end()) {
      detached = &found->second;
    }
    if (!detached || detached->project != projectId || projectId.empty()) return start;
    const auto& accesses = detached->accesses;
    if (std::find(accesses.begin(), accesses.end(), access) == accesses.end()) return start;
    start.check = ListenCheck::loggedOut;
    start.upTo = detached->logoutId;
    if (!resumeAfter || *resumeAfter < detached->logoutId)
      start.catchUp.push_back({deviceId, detached->logoutId, logoutData()});
    opened(start);
    return start;
  }
  // A stream names its project: "" is not any project here.
  if (clientId != projectId) return start;
  const User* owner = &data_.projects.at(projectId).users.at(userName);
  if (!device->hasAccess(access)) {
    start.check = ListenCheck::unknownAccess;
    return start;
  }
  start.check = ListenCheck::ok;
  start.upTo = device->lastEventId;
  if (resumeAfter && *resumeAfter <= device->lastEventId) {
    for (const KeptMessage& message : device->messages) {
      if (message.id > *resumeAfter) start.catchUp.push_back({deviceId, message.id, message.data});
    }
  } else if (config_.repeatOpenChallenges) {
    // The newest open challenge stands for the older ones: a device shows one at a time.
    const auto newest =
        std::find_if(owner->challenges.rbegin(), owner->challenges.rend(),
                     [&](const std::string& id) { return data_.challenges.at(id).open(); });
    if (newest != owner->challenges.rend())
      start.catchUp.push_back({deviceId, device->lastEventId, challengeNoticeData(*newest)});
    // The stream learns where the device's messages stand, so that after a drop it resumes
    // from there and misses nothing sent meanwhile.
    if (start.catchUp.empty() && device->lastEventId > 0)
      start.catchUp.push_back({deviceId, device->lastEventId, {}});
  }
  opened(start);
  return start;
}

std::optional<Delivery> Service::logout(const std::string& projectId, const std::string& deviceId) {
  std::lock_guard lock(mutex_);
  UnitOfWork work(*this);
  if (shared_) {
    const std::optional<Owner> owner = store_->deviceOwner(deviceId);
    if (!owner || (!projectId.empty() && owner->project != projectId)) return std::nullopt;
    lockUserLocked(owner->project, owner->user);
  }
  std::string userName, clientId;
  Device* device = deviceLocked(projectId, deviceId, &userName, &clientId);
  if (!device) return std::nullopt;
  Changes changes;
  Delivery delivery = sendLocked(*device, logoutData(), changes);
  commitLocked(changes);
  return delivery;
}

std::optional<std::string> Service::ownerOf(const std::string& projectId,
                                            const std::string& deviceId) {
  if (shared_) {
    const std::optional<Owner> owner = store_->deviceOwner(deviceId);
    if (!owner || owner->project != projectId) return std::nullopt;
    return owner->user;
  }
  std::lock_guard lock(mutex_);
  const auto place = deviceIndex_.find(deviceId);
  if (place == deviceIndex_.end() || place->second.project != projectId) return std::nullopt;
  return place->second.user;
}

json Service::projectsJSON() const {
  std::lock_guard lock(mutex_);
  json projects = json::array();
  for (const auto& [clientId, project] : data_.projects) {
    if (!project.configured) continue;
    json entry = settingsJSON(project.settings);
    entry["client_id"] = clientId;
    projects.push_back(std::move(entry));
  }
  return projects;
}

std::vector<std::string> Service::users(const std::string& projectId) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  auto project = data_.projects.find(projectId);
  if (project == data_.projects.end()) return names;
  for (const auto& [name, user] : project->second.users) names.push_back(name);
  return names;
}

std::optional<json> Service::userJSON(const std::string& projectId, const std::string& userName) {
  std::lock_guard lock(mutex_);
  UnitOfWork work(*this);
  if (shared_) {
    refreshProjectLocked(projectId);
    const auto held = data_.projects.find(projectId);
    if (held == data_.projects.end()) return std::nullopt;
    const bool known = held->second.users.contains(userName);
    lockUserLocked(projectId, userName);
    // The store makes a user it is asked to lock; one with nothing to it is one never seen.
    const User& stored = held->second.users.at(userName);
    if (!known && stored.devices.empty() && stored.challenges.empty() &&
        stored.profile.email.empty() && stored.profile.phone.empty()) {
      held->second.users.erase(userName);
      return std::nullopt;
    }
  }
  auto project = data_.projects.find(projectId);
  if (project == data_.projects.end()) return std::nullopt;
  auto user = project->second.users.find(userName);
  if (user == project->second.users.end()) return std::nullopt;
  json devices = json::array();
  for (const Device& d : user->second.devices) devices.push_back(deviceJSON(d));
  json challenges = json::array();
  for (const std::string& id : user->second.challenges)
    challenges.push_back(challengeStateLocked(data_.challenges.at(id)));
  return json{{"client_id", projectId},
              {"user", userName},
              {"email", user->second.profile.email},
              {"phone", user->second.profile.phone},
              {"devices", std::move(devices)},
              {"challenges", std::move(challenges)}};
}

std::size_t Service::deviceCount() const {
  std::lock_guard lock(mutex_);
  std::size_t count = 0;
  for (const auto& [clientId, project] : data_.projects) {
    for (const auto& [name, user] : project.users) count += user.devices.size();
  }
  return count;
}

json Service::dump() const {
  std::lock_guard lock(mutex_);
  json projects = json::object();
  for (const auto& [clientId, project] : data_.projects) {
    json users = json::object();
    for (const auto& [name, user] : project.users) {
      json devices = json::array();
      for (const Device& d : user.devices) devices.push_back(deviceJSON(d));
      users[name] = {{"email", user.profile.email},
                     {"phone", user.profile.phone},
                     {"devices", std::move(devices)},
                     {"challenges", user.challenges}};
    }
    json identities = json::array();
    for (const auto& [id, identity] : project.identities) {
      identities.push_back({{"identity", id},
                            {"vendor_identifier", identity.vendorId},
                            {"device_info", identity.deviceInfo},
                            {"created_at", isoTimeMillis(identity.createdAt)},
                            {"last_seen_at", isoTimeMillis(identity.lastSeenAt)}});
    }
    json entry = settingsJSON(project.settings);
    entry["name"] = projectName(clientId, project);
    entry["default_device_limit"] = project.settings.overallLimit;
    entry["users"] = std::move(users);
    entry["identities"] = std::move(identities);
    projects[clientId] = std::move(entry);
  }
  json challenges = json::object();
  for (const auto& [id, challenge] : data_.challenges)
    challenges[id] = challengeStateLocked(challenge);
  return {{"projects", std::move(projects)}, {"challenges", std::move(challenges)}};
}

}  // namespace zelk::server
