// SPDX-License-Identifier: Apache-2.0
#include "service/service.hpp"

#include <cstdio>
#include <future>

#include "service/committer.hpp"
#include "service/ids.hpp"
#include "service/liveness.hpp"
#include "service/projects.hpp"
#include "service/user_cache.hpp"
#include "service/workers.hpp"

namespace zelk::server {
namespace {

using nlohmann::json;

// Reads waiting for a reader at most before a request that needs one more is refused.
constexpr std::size_t kMaxReadBacklog = 10'000;

const ProjectSettings& defaultSettings() {
  static const ProjectSettings settings;
  return settings;
}

json deviceJSON(const Device& d) {
  return {{"device_id", d.id},
          {"vendor_identifier", d.vendorId},
          {"type", deviceTypeName(d.type)},
          {"library", d.library},
          {"version", d.version},
          {"identity", d.identity},
          {"device_info", d.deviceInfo.value()},
          {"metadata", d.metadata.value()},
          {"attached_at", isoTimeMillis(d.attachedAt)},
          {"last_seen_at", isoTimeMillis(d.lastSeenAt)},
          {"last_event_id", d.lastEventId}};
}

// Waits for an asynchronous call; throws StoreError when it failed for want of the store.
template <class T>
Outcome<T> await(const std::function<void(Done<T>)>& start) {
  auto promise = std::make_shared<std::promise<Outcome<T>>>();
  std::future<Outcome<T>> future = promise->get_future();
  start([promise](Outcome<T> outcome) { promise->set_value(std::move(outcome)); });
  Outcome<T> outcome = future.get();
  if (outcome.failure == Failure::unavailable)
    throw StoreError("the records could not be read or written now");
  return outcome;
}

// A call whose decision gives a result of type T, reported through `done`.
template <class T>
std::shared_ptr<UserCall> makeCall(std::function<bool(UserEdit&, const CallContext&, T&)> decide,
                                   Done<T> done) {
  auto result = std::make_shared<T>();
  auto call = std::make_shared<UserCall>();
  call->decide = [decide = std::move(decide), result](UserEdit& edit, const CallContext& context) {
    *result = T();
    return decide(edit, context, *result);
  };
  call->finish = [done = std::move(done), result](Failure failure) {
    if (failure != Failure::none) return done({std::nullopt, failure});
    done({std::move(*result), Failure::none});
  };
  return call;
}

}  // namespace

// What the cache needs of the service: reads on the readers, writes through the committer, the
// context of the rules.
class Service::Backend final : public UserCache::Backend {
 public:
  explicit Backend(Service& service) : service_(service) {}

  void read(const UserKey& key, std::chrono::milliseconds delay,
            std::function<void(std::optional<StoredUser>, bool)> done) override {
    service_.readers_->post([this, key, delay, done = std::move(done)] {
      // Only after a conflict, and never more than a few milliseconds.
      if (delay.count() > 0) std::this_thread::sleep_for(delay);
      std::optional<StoredUser> user;
      try {
        user = service_.store_->readUser(key);
      } catch (const StoreError& error) {
        std::fprintf(stderr, "zelk-server: storage failure: %s\n", error.what());
        return done(std::nullopt, true);
      }
      done(std::move(user), false);
    });
  }

  void store(Unit unit, std::function<void(Unit&, bool)> done) override {
    service_.committer_->submit(std::move(unit), std::move(done));
  }

  std::unique_ptr<CallContext> context(const UserRecord& user) override {
    std::shared_ptr<const Project> project = service_.heldProject(user.key.project);
    const ProjectSettings& settings = project ? project->settings : defaultSettings();
    const Liveness& liveness = *service_.liveness_;
    const auto now = service_.clockNow();
    return std::make_unique<CallContext>(
        project, userLimits(settings, user, now),
        RuleContext{settings, now, liveness.floor(),
                    [&liveness](const Device& device) { return liveness.activity(device.id); }},
        CodeContext{settings, service_.config_.codes, service_.config_.codeKey, now,
                    service_.config_.codeChannels, &service_.destinations_});
  }

  void learned(const std::vector<std::string>& devices,
               const std::unordered_map<std::string, StreamFacts>& streams) override {
    service_.liveness_->learn(devices, streams);
  }

  void forgot(const std::vector<std::string>& devices) override {
    service_.liveness_->forget(devices);
  }

  void attached(const std::vector<std::string>& devices) override {
    service_.liveness_->hold(devices);
  }

 private:
  Service& service_;
};

Service::Service(std::unique_ptr<Store> store, Config config)
    : config_(std::move(config)),
      store_(std::move(store)),
      shared_(store_->shared()),
      instance_(newId("in_")),
      startedAt_(clockNow()),
      repeatOpenChallenges_(config_.repeatOpenChallenges) {
  if (config_.codeKey.empty()) config_.codeKey = newSecret();
  store_->setInstance(instance_);
  store_->setAuditRetention(config_.audit);
  projects_ = std::make_unique<ProjectCache>(!shared_);
  projects_->putAll(store_->readProjects(), projects_->generation());
  liveness_ = std::make_unique<Liveness>(instance_, startedAt_, silentAfter());
  liveness_->beats(store_->beat(Clock::now(), Clock::now()));
  committer_ = std::make_unique<Committer>(*store_, config_.committers, config_.onOutbox);
  backend_ = std::make_unique<Backend>(*this);
  users_ = std::make_unique<UserCache>(*backend_, config_.cacheUsers, shared_);
  readers_ = std::make_unique<Workers>(config_.readers);
  keeper_ = std::thread([this] { keepAlive(); });
}

Service::~Service() {
  {
    std::lock_guard lock(keeperMutex_);
    stopping_ = true;
  }
  keeperWake_.notify_all();
  keeper_.join();
  // What was read is decided and stored before the committer goes; what either hands the other
  // meanwhile runs at once. Then no thread of the service is left.
  readers_->stop();
  committer_->stop();
}

std::string Service::storeDescription() const {
  return store_->describe();
}

bool Service::storeReady() {
  return ready_;
}

void Service::keepAlive() {
  const Clock::time_point started = Clock::now();
  auto nextBeat = std::chrono::steady_clock::now() + config_.beatEvery;
  std::unique_lock lock(keeperMutex_);
  while (!stopping_) {
    keeperWake_.wait_for(lock, config_.streamsEvery, [this] { return stopping_; });
    lock.unlock();
    writeStreamChanges();
    if (std::chrono::steady_clock::now() >= nextBeat) {
      nextBeat = std::chrono::steady_clock::now() + config_.beatEvery;
      try {
        liveness_->beats(store_->beat(started, Clock::now()));
        ready_ = true;
      } catch (const StoreError& error) {
        // Said once, not every beat while the store is away.
        if (ready_.exchange(false))
          std::fprintf(stderr, "zelk-server: storage failure: %s\n", error.what());
      }
    }
    lock.lock();
  }
  lock.unlock();
  // What ended is written on the way out, so that another instance counts from the true end.
  writeStreamChanges();
}

bool Service::writeStreamChanges() {
  std::lock_guard lock(streamsWriteMutex_);
  StreamChanges changes = liveness_->takeChanges();
  if (changes.empty()) return true;
  try {
    store_->writeStreams(changes);
    liveness_->written(changes);
    return true;
  } catch (const StoreError& error) {
    std::fprintf(stderr, "zelk-server: storage failure: %s\n", error.what());
    liveness_->putBack(std::move(changes));
    return false;
  }
}

// --- projects ---

std::optional<Project> Service::readProject(const std::string& clientId) {
  const std::uint64_t generation = projects_->generation();
  std::optional<Project> project = store_->readProject(clientId);
  projects_->put(clientId, project, generation);
  return project;
}

std::shared_ptr<const Project> Service::heldProject(const std::string& clientId) {
  ProjectCache::Held held = projects_->find(clientId);
  if (held.known) return held.project;
  try {
    std::optional<Project> project = readProject(clientId);
    return project ? std::make_shared<const Project>(std::move(*project)) : nullptr;
  } catch (const StoreError&) {
    return nullptr;
  }
}

void Service::withProject(const std::string& clientId,
                          std::function<void(std::shared_ptr<const Project>, Failure)> then) {
  const auto answers = [this](const std::shared_ptr<const Project>& project) {
    return project && (config_.openProjects || project->configured);
  };
  const ProjectCache::Held held = projects_->find(clientId);
  if (held.known && (held.project || !config_.openProjects)) {
    if (answers(held.project)) return then(held.project, Failure::none);
    return then(nullptr, Failure::unknownProject);
  }
  // A flood of ids that are no project must not queue reads without bound.
  if (readers_->backlog() > kMaxReadBacklog) return then(nullptr, Failure::unavailable);
  readers_->post([this, clientId, then = std::move(then), answers] {
    try {
      std::optional<Project> project = readProject(clientId);
      if (!project && config_.openProjects) {
        // A project comes into being with its first request.
        Unit unit;
        unit.changes.projects.push_back({clientId, false, ProjectSettings(), true});
        std::vector<Unit> units;
        units.push_back(std::move(unit));
        store_->commit(units);
        project = readProject(clientId);
      }
      auto held = project ? std::make_shared<const Project>(std::move(*project)) : nullptr;
      if (answers(held)) return then(std::move(held), Failure::none);
      then(nullptr, Failure::unknownProject);
    } catch (const StoreError& error) {
      std::fprintf(stderr, "zelk-server: storage failure: %s\n", error.what());
      then(nullptr, Failure::unavailable);
    }
  });
}

void Service::project(const std::string& clientId, Done<std::optional<Project>> done) {
  withProject(clientId,
              [done = std::move(done)](std::shared_ptr<const Project> project, Failure failure) {
                if (failure == Failure::unavailable) return done({std::nullopt, failure});
                done({project ? std::optional<Project>(*project) : std::nullopt, Failure::none});
              });
}

void Service::projectChanged(const std::string& clientId) {
  projects_->changed(clientId);
  readers_->post([this, clientId] {
    try {
      if (clientId.empty()) {
        const std::uint64_t generation = projects_->generation();
        projects_->putAll(store_->readProjects(), generation);
      } else {
        readProject(clientId);
      }
    } catch (const StoreError& error) {
      std::fprintf(stderr, "zelk-server: storage failure: %s\n", error.what());
    }
  });
}

// --- users' calls ---

void Service::onOwnerOf(const std::string& project, const std::string& id, bool challenge,
                        std::shared_ptr<UserCall> call, std::function<void(Failure)> unknown) {
  const auto mine = [project](const UserKey& key) {
    return project.empty() || key.project == project;
  };
  if (const std::optional<UserKey> owner = users_->ownerOf(id)) {
    if (mine(*owner)) return users_->submit(*owner, std::move(call));
  }
  readers_->post([this, project, id, challenge, call = std::move(call),
                  unknown = std::move(unknown), mine]() mutable {
    std::optional<UserKey> owner;
    try {
      if (challenge) {
        owner = store_->challengeOwner(id);
      } else if (DeviceLookup found = store_->readDevice(id); found.user) {
        owner = found.user->record.key;
        users_->offer(std::move(*found.user));
      }
    } catch (const StoreError& error) {
      std::fprintf(stderr, "zelk-server: storage failure: %s\n", error.what());
      return unknown(Failure::unavailable);
    }
    if (!owner || !mine(*owner)) return unknown(Failure::none);
    users_->submit(*owner, std::move(call));
  });
}

void Service::commitLoose(Unit unit, std::function<void(Unit&, bool)> done) {
  committer_->submit(std::move(unit), std::move(done));
}

void Service::attach(AttachInput input, Done<AttachResult> done) {
  const std::string project = input.project;
  withProject(project, [this, input = std::make_shared<AttachInput>(std::move(input)),
                        done = std::move(done)](std::shared_ptr<const Project> held,
                                                Failure failure) mutable {
    if (!held) return done({std::nullopt, failure});
    const Signature signature = checkSignature(held->settings, *input);
    if (signature == Signature::wrong ||
        (held->settings.requireSignedUsers && signature != Signature::right))
      return done({std::nullopt, Failure::badSignature});
    input->signedUser = signature == Signature::right;
    input->maxDevices = config_.maxDevicesPerUser;
    users_->submit({input->project, input->user},
                   makeCall<AttachResult>(
                       [input](UserEdit& edit, const CallContext& context, AttachResult& result) {
                         result = attachDevice(edit, *input, context.rules);
                         rememberDevice(edit, result.deviceId, context.codes.key, context.rules);
                         return true;
                       },
                       std::move(done)));
  });
}

void Service::detach(const std::string& project, const std::string& user,
                     const std::string& deviceId, Done<DetachResult> done, bool byOperator) {
  withProject(project, [this, project, user, deviceId, byOperator, done = std::move(done)](
                           std::shared_ptr<const Project> held, Failure failure) mutable {
    if (!held) return done({std::nullopt, failure});
    users_->submit(
        {project, user},
        makeCall<DetachResult>(
            [deviceId, byOperator](UserEdit& edit, const CallContext& context,
                                   DetachResult& result) {
              const RuleContext& rules = context.rules;
              if (!byOperator && edit.user().device(deviceId) &&
                  detachChangesDevices(edit.user(), deviceId)) {
                // The device limiter signing another device out: a change of devices.
                result.refusedUntil = nextDeviceChange(edit.user(), rules.settings, rules.now);
                if (result.refusedUntil) {
                  result.found = true;
                  result.deviceId = deviceId;
                  result.attachedDevices = edit.user().devices.size();
                  addAudit(edit.changes(), edit.user().key.project, "device.change_refused",
                           edit.user().key.user,
                           {{"device", deviceId},
                            {"next_change_at", isoTimeMillis(*result.refusedUntil)}});
                  return true;
                }
                countDeviceChange(edit, rules.settings, rules.now);
              }
              result = detachDevice(edit, deviceId, rules, byOperator ? "operator" : "detach");
              return result.found;
            },
            std::move(done)));
  });
}

namespace {

// What an owner's call answers for a device the store holds no user of: one detached lately,
// with that access, was signed out; anything else is unknown.
OwnerCheck goneCheck(Store& store, const std::string& project, const std::string& deviceId,
                     const std::string& access) {
  const std::optional<DetachedDevice> gone = store.readDetached(deviceId);
  if (!gone || gone->project != project) return OwnerCheck::unknownDevice;
  const auto& accesses = gone->accesses;
  return std::find(accesses.begin(), accesses.end(), access) != accesses.end()
             ? OwnerCheck::unknownAccess
             : OwnerCheck::unknownDevice;
}

}  // namespace

template <class T>
void Service::ownerCall(const std::string& project, const std::string& deviceId,
                        const std::string& access,
                        std::function<void(UserEdit&, const CallContext&, T&)> decide,
                        Done<T> done) {
  withProject(project, [=, this, decide = std::move(decide)](std::shared_ptr<const Project> held,
                                                             Failure failure) {
    if (!held) return done({std::nullopt, failure});
    auto call = makeCall<T>(
        [deviceId, access, decide](UserEdit& edit, const CallContext& context, T& result) {
          result.check = checkOwner(edit.user(), deviceId, access);
          if (result.check == OwnerCheck::unknownDevice) return false;
          if (result.check == OwnerCheck::ok) decide(edit, context, result);
          return true;
        },
        done);
    onOwnerOf(project, deviceId, false, std::move(call),
              [this, project, deviceId, access, done](Failure failure) {
                if (failure != Failure::none) return done({std::nullopt, failure});
                readers_->post([this, project, deviceId, access, done] {
                  T result;
                  try {
                    result.check = goneCheck(*store_, project, deviceId, access);
                  } catch (const StoreError& error) {
                    std::fprintf(stderr, "zelk-server: storage failure: %s\n", error.what());
                    return done({std::nullopt, Failure::unavailable});
                  }
                  done({std::move(result), Failure::none});
                });
              });
  });
}

void Service::ownerDevices(const std::string& project, const std::string& deviceId,
                           const std::string& access, Done<OwnerDevicesResult> done) {
  ownerCall<OwnerDevicesResult>(
      project, deviceId, access,
      [deviceId](UserEdit& edit, const CallContext& context, OwnerDevicesResult& result) {
        result.devices = ownerDevicesJSON(edit.user(), deviceId, context.rules);
      },
      std::move(done));
}

void Service::ownerLogout(const std::string& project, const std::string& deviceId,
                          const std::string& access, const std::string& target, bool byCode,
                          Done<OwnerLogoutAnswer> done) {
  ownerCall<OwnerLogoutAnswer>(
      project, deviceId, access,
      [deviceId, target, byCode](UserEdit& edit, const CallContext& context,
                                 OwnerLogoutAnswer& result) {
        result.logout = zelk::server::ownerLogout(edit, deviceId, target, byCode, context.codes.key,
                                                  context.rules);
      },
      std::move(done));
}

void Service::identify(IdentifyInput input, Done<IdentifyResult> done) {
  const std::string project = input.project;
  withProject(project, [this, input = std::move(input), done = std::move(done)](
                           std::shared_ptr<const Project> held, Failure failure) mutable {
    if (!held) return done({std::nullopt, failure});
    Unit unit;
    unit.identify = IdentifyRequest{
        input.project, input.vendorId, input.identityId, newId("id_"), std::move(input.deviceInfo),
        Clock::now()};
    commitLoose(std::move(unit), [done = std::move(done)](Unit& unit, bool failed) {
      if (failed) return done({std::nullopt, Failure::unavailable});
      done({IdentifyResult{unit.identified.identity, unit.identified.known ? 1.0 : 0.9},
            Failure::none});
    });
  });
}

void Service::startListen(const std::string& project, const std::string& deviceId,
                          const std::string& access, std::optional<std::uint64_t> resumeAfter,
                          Done<ListenStart> done) {
  // Not a device the store holds: maybe one detached lately, whose stream hears its logout.
  auto detached = [this, project, deviceId, access, resumeAfter, done](Failure failure) {
    if (failure != Failure::none) return done({std::nullopt, failure});
    readers_->post([this, project, deviceId, access, resumeAfter, done] {
      ListenStart start;
      try {
        if (const std::optional<DetachedDevice> gone = store_->readDetached(deviceId))
          start = listenDetached(*gone, project, access, resumeAfter);
      } catch (const StoreError& error) {
        std::fprintf(stderr, "zelk-server: storage failure: %s\n", error.what());
        return done({std::nullopt, Failure::unavailable});
      }
      done({std::move(start), Failure::none});
    });
  };
  withProject(project, [=, this](std::shared_ptr<const Project> held, Failure failure) {
    if (!held) return done({std::nullopt, failure});
    auto gone = std::make_shared<bool>(false);
    auto call = makeCall<ListenStart>(
        [=, this](UserEdit& edit, const CallContext&, ListenStart& start) {
          start = listenStart(edit.user(), deviceId, access, resumeAfter, repeatOpenChallenges_);
          *gone = start.check == ListenCheck::unknownDevice;
          return start.check == ListenCheck::ok;
        },
        [done, gone, detached](Outcome<ListenStart> outcome) {
          if (outcome.value && *gone) return detached(Failure::none);
          done(std::move(outcome));
        });
    onOwnerOf(project, deviceId, false, std::move(call), detached);
  });
}

void Service::messagesSince(const std::string& deviceId, std::uint64_t upTo,
                            Done<std::vector<Delivery>> done) {
  auto call = makeCall<std::vector<Delivery>>(
      [deviceId, upTo](UserEdit& edit, const CallContext&, std::vector<Delivery>& missed) {
        const Device* device = edit.user().device(deviceId);
        if (!device) return true;
        for (const KeptMessage& message : device->messages) {
          if (message.id > upTo) missed.push_back({deviceId, message.id, message.data});
        }
        return true;
      },
      done);
  onOwnerOf("", deviceId, false, std::move(call), [done](Failure failure) {
    if (failure != Failure::none) return done({std::nullopt, failure});
    done({std::vector<Delivery>(), Failure::none});
  });
}

namespace {

// A call on a challenge of the user: `decide` runs with the challenge found.
template <class T>
std::shared_ptr<UserCall> challengeCall(
    const std::string& challengeId,
    std::function<void(UserEdit&, Challenge&, const CallContext&, T&)> decide, Done<T> done) {
  return makeCall<T>(
      [challengeId, decide = std::move(decide)](UserEdit& edit, const CallContext& context,
                                                T& result) {
        Challenge* challenge = edit.user().challenge(challengeId);
        if (!challenge) return false;
        decide(edit, *challenge, context, result);
        return true;
      },
      std::move(done));
}

template <class T>
std::function<void(Failure)> unknownChallenge(Done<std::optional<T>> done) {
  return [done = std::move(done)](Failure failure) {
    if (failure != Failure::none) return done({std::nullopt, failure});
    done({std::optional<T>(), Failure::none});
  };
}

}  // namespace

void Service::challengeDetails(const std::string& project, const std::string& challengeId,
                               Done<std::optional<json>> done) {
  onOwnerOf(project, challengeId, true,
            challengeCall<std::optional<json>>(
                challengeId,
                [](UserEdit& edit, Challenge& challenge, const CallContext& context,
                   std::optional<json>& answer) {
                  const Project* held = context.project.get();
                  const std::string& name = !held || held->settings.name.empty()
                                                ? edit.user().key.project
                                                : held->settings.name;
                  answer = zelk::server::challengeDetails(edit.user(), challenge, name,
                                                          context.rules, context.codes.channels);
                },
                done),
            unknownChallenge<json>(done));
}

void Service::challengeDevices(const std::string& project, const std::string& challengeId,
                               Done<std::optional<json>> done) {
  onOwnerOf(
      project, challengeId, true,
      challengeCall<std::optional<json>>(
          challengeId,
          [](UserEdit& edit, Challenge&, const CallContext& context, std::optional<json>& answer) {
            answer = zelk::server::challengeDevices(edit.user(), context.rules);
          },
          done),
      unknownChallenge<json>(done));
}

void Service::deviceLimit(const std::string& project, const std::string& challengeId,
                          Done<std::optional<json>> done) {
  onOwnerOf(
      project, challengeId, true,
      challengeCall<std::optional<json>>(
          challengeId,
          [](UserEdit& edit, Challenge&, const CallContext& context, std::optional<json>& answer) {
            answer = deviceLimitState(edit.user(), context.rules);
          },
          done),
      unknownChallenge<json>(done));
}

void Service::sendCode(const std::string& project, const std::string& challengeId,
                       const std::string& channel, Done<SendCodeResult> done) {
  onOwnerOf(project, challengeId, true,
            challengeCall<SendCodeResult>(
                challengeId,
                [channel](UserEdit& edit, Challenge& challenge, const CallContext& context,
                          SendCodeResult& result) {
                  result = zelk::server::sendCode(edit, challenge, channel, context.codes);
                },
                done),
            [done](Failure failure) {
              if (failure != Failure::none) return done({std::nullopt, failure});
              done({SendCodeResult{}, Failure::none});
            });
}

void Service::checkCode(const std::string& project, const std::string& challengeId,
                        const std::string& code, Done<std::optional<bool>> done) {
  onOwnerOf(project, challengeId, true,
            challengeCall<std::optional<bool>>(
                challengeId,
                [code](UserEdit& edit, Challenge& challenge, const CallContext& context,
                       std::optional<bool>& right) {
                  right = zelk::server::checkCode(edit, challenge, code, context.codes);
                  if (*right) trustVerifiedDevice(edit, challenge, context.rules);
                },
                done),
            unknownChallenge<bool>(done));
}

void Service::recordAudit(const std::string& project, std::string kind, std::string subject,
                          json detail, Done<bool> done) {
  Unit unit;
  addAudit(unit.changes, project, std::move(kind), std::move(subject), std::move(detail));
  commitLoose(std::move(unit), [done = std::move(done)](Unit&, bool failed) {
    if (failed) return done({std::nullopt, Failure::unavailable});
    done({true, Failure::none});
  });
}

// --- streams and the idle sweep ---

void Service::streamOpened(const std::string& deviceId) {
  liveness_->opened(deviceId);
}

void Service::streamClosed(const std::string& deviceId) {
  liveness_->ended(deviceId, clockNow());
}

void Service::sweepIdleDevices(Done<std::vector<Delivery>> done) {
  readers_->post([this, done = std::move(done)] {
    std::vector<UserKey> quiet;
    // The store decides who is quiet, so it first hears of the streams that just ended here.
    if (!writeStreamChanges()) return done({std::nullopt, Failure::unavailable});
    try {
      // Also the streams this process held before a restart, under its old name.
      store_->endStreamsOfSilentInstances(Clock::now() - silentAfter());
      store_->prune(Clock::now() - kKeptMessagesFor, config_.audit);
      deviceCount_ = static_cast<long long>(store_->countDevices());
      const auto now = clockNow();
      const auto floor = liveness_->floor();
      for (const Project& project : store_->readProjects()) {
        const int grace = project.settings.livenessGraceSeconds;
        if (grace <= 0) continue;
        const auto before = now - std::chrono::seconds(grace);
        // No device counts as idle since before the floor.
        if (before <= floor) continue;
        for (UserKey& key : store_->quietUsers(project.clientId, before, 1000))
          quiet.push_back(std::move(key));
      }
    } catch (const StoreError& error) {
      std::fprintf(stderr, "zelk-server: storage failure: %s\n", error.what());
      return done({std::nullopt, Failure::unavailable});
    }
    if (quiet.empty()) return done({std::vector<Delivery>(), Failure::none});
    struct Gathered {
      std::mutex mutex;
      std::vector<Delivery> logouts;
      std::size_t left = 0;
    };
    auto gathered = std::make_shared<Gathered>();
    gathered->left = quiet.size();
    for (const UserKey& key : quiet) {
      users_->submit(
          key, makeCall<std::vector<Delivery>>(
                   [](UserEdit& edit, const CallContext& context, std::vector<Delivery>& logouts) {
                     if (context.project) logouts = expireDevices(edit, context.rules);
                     return true;
                   },
                   [gathered, done](Outcome<std::vector<Delivery>> outcome) {
                     std::unique_lock lock(gathered->mutex);
                     if (outcome.value) {
                       for (Delivery& logout : *outcome.value)
                         gathered->logouts.push_back(std::move(logout));
                     }
                     if (--gathered->left > 0) return;
                     std::vector<Delivery> logouts = std::move(gathered->logouts);
                     lock.unlock();
                     done({std::move(logouts), Failure::none});
                   }));
    }
  });
}

// --- notices ---

void Service::userChanged(const UserKey& key, std::uint64_t version) {
  users_->heard(key, version);
}

void Service::streamsChanged(const std::string& sender, const StreamChanges& changes) {
  liveness_->streamsChanged(sender, changes);
}

void Service::resync() {
  liveness_->forgetOthers();
  users_->dropAll();
  projectChanged("");
}

// --- blocking calls ---

bool Service::knowsProject(const std::string& clientId) {
  return await<std::optional<Project>>(
             [&](Done<std::optional<Project>> done) { project(clientId, std::move(done)); })
      .value.value_or(std::nullopt)
      .has_value();
}

void Service::configureProject(const std::string& project, ProjectSettings settings) {
  Unit unit;
  unit.changes.projects.push_back({project, true, std::move(settings), false});
  await<bool>([&](Done<bool> done) {
    commitLoose(std::move(unit), [done = std::move(done)](Unit&, bool failed) {
      if (failed) return done({std::nullopt, Failure::unavailable});
      done({true, Failure::none});
    });
  });
  projects_->changed(project);
  readProject(project);
}

ProjectSettings Service::projectSettings(const std::string& project) {
  std::shared_ptr<const Project> held = heldProject(project);
  ProjectSettings settings = held ? held->settings : ProjectSettings();
  if (settings.name.empty()) settings.name = project;
  return settings;
}

bool Service::projectConfigured(const std::string& project) {
  std::shared_ptr<const Project> held = heldProject(project);
  return held && held->configured;
}

namespace {

// Runs a call on a user and waits for it.
template <class T>
T onUserAndWait(UserCache& users, const UserKey& key,
                std::function<bool(UserEdit&, const CallContext&, T&)> decide) {
  return *await<T>([&](Done<T> done) {
            users.submit(key, makeCall<T>(std::move(decide), std::move(done)));
          }).value;
}

}  // namespace

void Service::configureUser(const std::string& project, const std::string& user,
                            UserProfile profile) {
  onUserAndWait<bool>(*users_, {project, user},
                      [profile](UserEdit& edit, const CallContext&, bool& done) {
                        edit.user().profile = profile;
                        edit.profileChanged();
                        done = true;
                        return true;
                      });
}

UserProfile Service::userProfile(const std::string& project, const std::string& user) {
  return onUserAndWait<UserProfile>(*users_, {project, user},
                                    [](UserEdit& edit, const CallContext&, UserProfile& profile) {
                                      profile = edit.user().profile;
                                      return true;
                                    });
}

AttachResult Service::attach(AttachInput input) {
  Outcome<AttachResult> outcome =
      await<AttachResult>([&](Done<AttachResult> done) { attach(std::move(input), done); });
  if (!outcome.value) throw StoreError("unknown project");
  return std::move(*outcome.value);
}

DetachResult Service::detach(const std::string& project, const std::string& user,
                             const std::string& deviceId, bool byOperator) {
  return await<DetachResult>([&](Done<DetachResult> done) {
           detach(project, user, deviceId, std::move(done), byOperator);
         })
      .value.value_or(DetachResult{});
}

ListenStart Service::startListen(const std::string& project, const std::string& deviceId,
                                 const std::string& access,
                                 std::optional<std::uint64_t> resumeAfter) {
  return await<ListenStart>([&](Done<ListenStart> done) {
           startListen(project, deviceId, access, resumeAfter, std::move(done));
         })
      .value.value_or(ListenStart{});
}

RaisedChallenge Service::raiseChallenge(const std::string& project, const std::string& user,
                                        std::string reason) {
  return onUserAndWait<RaisedChallenge>(
      *users_, {project, user},
      [reason](UserEdit& edit, const CallContext& context, RaisedChallenge& raised) {
        raised = zelk::server::raiseChallenge(edit, reason, context.rules);
        return true;
      });
}

std::vector<std::string> Service::challenges(const std::string& project, const std::string& user) {
  return onUserAndWait<std::vector<std::string>>(
      *users_, {project, user},
      [](UserEdit& edit, const CallContext&, std::vector<std::string>& ids) {
        for (const Challenge& challenge : edit.user().challenges) ids.push_back(challenge.id);
        return true;
      });
}

bool Service::resolveChallenge(const std::string& project, const std::string& challengeId) {
  return await<std::optional<bool>>([&](Done<std::optional<bool>> done) {
           onOwnerOf(project, challengeId, true,
                     challengeCall<std::optional<bool>>(
                         challengeId,
                         [](UserEdit& edit, Challenge& challenge, const CallContext& context,
                            std::optional<bool>& resolved) {
                           closeChallenge(edit, challenge, context.rules);
                           resolved = true;
                         },
                         done),
                     unknownChallenge<bool>(done));
         })
      .value.value_or(std::nullopt)
      .value_or(false);
}

std::optional<std::string> Service::unsealCode(const std::string& sealed) const {
  return zelk::server::unsealCode(config_.codeKey, sealed);
}

void Service::codeUndelivered(const std::string& challengeId, const std::string& code) {
  await<std::optional<bool>>([&](Done<std::optional<bool>> done) {
    onOwnerOf("", challengeId, true,
              challengeCall<std::optional<bool>>(
                  challengeId,
                  [code](UserEdit& edit, Challenge& challenge, const CallContext& context,
                         std::optional<bool>& voided) {
                    zelk::server::codeUndelivered(edit, challenge, code, context.codes);
                    voided = true;
                  },
                  done),
              unknownChallenge<bool>(done));
  });
}

std::optional<SentCode> Service::sendCodeNow(const std::string& challengeId) {
  return await<std::optional<SentCode>>([&](Done<std::optional<SentCode>> done) {
           onOwnerOf("", challengeId, true,
                     challengeCall<std::optional<SentCode>>(
                         challengeId,
                         [](UserEdit& edit, Challenge& challenge, const CallContext& context,
                            std::optional<SentCode>& sent) {
                           CodePolicy unlimited = context.codes.policy;
                           unlimited.resendInterval = std::chrono::seconds(0);
                           unlimited.maxSendsPerHour = unlimited.maxUserSendsPerHour = 1'000'000;
                           const CodeContext& codes = context.codes;
                           const CodeContext now{codes.settings, unlimited, codes.key, codes.now,
                                                 codes.channels};
                           sent = zelk::server::sendCode(edit, challenge, "", now).sent;
                         },
                         done),
                     unknownChallenge<SentCode>(done));
         })
      .value.value_or(std::nullopt);
}

std::optional<Delivery> Service::logout(const std::string& project, const std::string& deviceId) {
  return await<std::optional<Delivery>>([&](Done<std::optional<Delivery>> done) {
           auto call = makeCall<std::optional<Delivery>>(
               [deviceId](UserEdit& edit, const CallContext&, std::optional<Delivery>& delivery) {
                 delivery = sendLogout(edit, deviceId, Clock::now());
                 return delivery.has_value();
               },
               done);
           onOwnerOf(project, deviceId, false, std::move(call), [done](Failure failure) {
             if (failure != Failure::none) return done({std::nullopt, failure});
             done({std::optional<Delivery>(), Failure::none});
           });
         })
      .value.value_or(std::nullopt);
}

bool Service::setLocation(const std::string& project, const std::string& deviceId,
                          Location location) {
  return await<bool>([&](Done<bool> done) {
           auto call = makeCall<bool>(
               [deviceId, location](UserEdit& edit, const CallContext&, bool& found) {
                 Device* device = edit.user().device(deviceId);
                 if (!device) return false;
                 device->location = location;
                 edit.touchDevice(deviceId);
                 found = true;
                 return true;
               },
               done);
           onOwnerOf(project, deviceId, false, std::move(call), [done](Failure failure) {
             if (failure != Failure::none) return done({std::nullopt, failure});
             done({false, Failure::none});
           });
         })
      .value.value_or(false);
}

std::optional<std::string> Service::ownerOf(const std::string& project,
                                            const std::string& deviceId) {
  return await<std::optional<std::string>>([&](Done<std::optional<std::string>> done) {
           auto call = makeCall<std::optional<std::string>>(
               [deviceId](UserEdit& edit, const CallContext&, std::optional<std::string>& owner) {
                 if (!edit.user().device(deviceId)) return false;
                 owner = edit.user().key.user;
                 return true;
               },
               done);
           onOwnerOf(project, deviceId, false, std::move(call), [done](Failure failure) {
             if (failure != Failure::none) return done({std::nullopt, failure});
             done({std::optional<std::string>(), Failure::none});
           });
         })
      .value.value_or(std::nullopt);
}

void Service::recordAudit(const std::string& project, std::string kind, std::string subject,
                          json detail) {
  await<bool>([&](Done<bool> done) {
    recordAudit(project, std::move(kind), std::move(subject), std::move(detail), std::move(done));
  });
}

std::vector<Delivery> Service::sweepIdleDevices() {
  return await<std::vector<Delivery>>(
             [&](Done<std::vector<Delivery>> done) { sweepIdleDevices(std::move(done)); })
      .value.value_or(std::vector<Delivery>());
}

std::optional<json> Service::challengeState(const std::string& challengeId) {
  const CodePolicy policy = config_.codes;
  return await<std::optional<json>>([&](Done<std::optional<json>> done) {
           onOwnerOf("", challengeId, true,
                     challengeCall<std::optional<json>>(
                         challengeId,
                         [policy](UserEdit&, Challenge& challenge, const CallContext&,
                                  std::optional<json>& state) {
                           state = zelk::server::challengeState(challenge, policy);
                         },
                         done),
                     unknownChallenge<json>(done));
         })
      .value.value_or(std::nullopt);
}

std::optional<json> Service::userJSON(const std::string& project, const std::string& user) {
  const CodePolicy policy = config_.codes;
  return onUserAndWait<std::optional<json>>(
      *users_, {project, user},
      [policy](UserEdit& edit, const CallContext&, std::optional<json>& answer) {
        const UserRecord& record = edit.user();
        // A user nothing was ever stored of is one never seen.
        if (record.version == 0) return true;
        json devices = json::array();
        for (const Device& d : record.devices) devices.push_back(deviceJSON(d));
        json challenges = json::array();
        for (const Challenge& c : record.challenges)
          challenges.push_back(zelk::server::challengeState(c, policy));
        answer = json{{"client_id", record.key.project}, {"user", record.key.user},
                      {"email", record.profile.email},   {"phone", record.profile.phone},
                      {"devices", std::move(devices)},   {"challenges", std::move(challenges)}};
        return true;
      });
}

std::vector<UserSummary> Service::searchUsers(const std::string& project, const std::string& query,
                                              const std::string& after, std::size_t max) {
  return store_->searchUsers(project, query, after, max);
}

std::vector<Delivery> Service::logoutUser(const std::string& project, const std::string& user,
                                          const std::string& keep) {
  return onUserAndWait<std::vector<Delivery>>(
      *users_, {project, user},
      [keep](UserEdit& edit, const CallContext& context, std::vector<Delivery>& logouts) {
        std::vector<std::string> going;
        for (const Device& device : edit.user().devices) {
          if (device.id != keep) going.push_back(device.id);
        }
        for (const std::string& id : going)
          logouts.push_back(detachDevice(edit, id, context.rules, "operator").logout);
        return true;
      });
}

bool Service::setLimitOverride(const std::string& project, const std::string& user,
                               std::optional<LimitOverride> limits) {
  return onUserAndWait<bool>(*users_, {project, user},
                             [limits](UserEdit& edit, const CallContext& context, bool& known) {
                               known = edit.user().version > 0;
                               if (!known) return true;
                               edit.user().limitOverride = limits;
                               edit.profileChanged();
                               // Within the user's new limits, their challenges at a limit are
                               // over.
                               resolveWithinLimits(edit, context.rules);
                               return true;
                             });
}

std::optional<json> Service::exportUser(const std::string& project, const std::string& user) {
  std::optional<json> records = userJSON(project, user);
  if (!records) return std::nullopt;
  const UserRecord record = onUserAndWait<UserRecord>(
      *users_, {project, user}, [](UserEdit& edit, const CallContext&, UserRecord& copy) {
        copy = edit.user();
        return true;
      });
  json known = json::array();
  for (const KnownDevice& device : record.knownDevices) {
    json entry = {{"vendor_identifier", device.vendorId},
                  {"first_seen_at", isoTimeMillis(device.firstSeenAt)}};
    if (device.toldAt != Clock::time_point{}) entry["told_at"] = isoTimeMillis(device.toldAt);
    if (device.trustedUntil != Clock::time_point{})
      entry["trusted_until"] = isoTimeMillis(device.trustedUntil);
    known.push_back(std::move(entry));
  }
  json changes = json::array();
  for (const auto at : record.deviceChanges) changes.push_back(isoTimeMillis(at));
  json audit = json::array();
  for (const AuditEntry& entry : store_->auditEntriesAbout(project, user, 10'000))
    audit.push_back({{"seq", entry.seq},
                     {"time", isoTimeMillis(entry.at)},
                     {"kind", entry.kind},
                     {"detail", entry.detail}});
  (*records)["known_devices"] = std::move(known);
  (*records)["device_changes"] = std::move(changes);
  (*records)["audit"] = std::move(audit);
  return records;
}

std::optional<std::vector<Delivery>> Service::eraseUser(const std::string& project,
                                                        const std::string& user) {
  if (!userJSON(project, user)) return std::nullopt;
  std::vector<Delivery> logouts = logoutUser(project, user, "");
  // One-way, and the same pseudonym for the same user each time.
  const std::string pseudonym =
      "erased:" + hmacSha256Hex(config_.codeKey, "erase:" + project + ":" + user).substr(0, 16);
  const std::uint64_t version = onUserAndWait<std::uint64_t>(
      *users_, {project, user}, [](UserEdit& edit, const CallContext&, std::uint64_t& held) {
        held = edit.user().version;
        return true;
      });
  store_->eraseUser({project, user}, pseudonym);
  users_->heard({project, user}, version + 1);
  return logouts;
}

bool Service::deleteProject(const std::string& clientId) {
  const bool found = store_->deleteProject(clientId);
  // What is held of the project and its users is read afresh, and found gone.
  users_->dropAll();
  projectChanged(clientId);
  return found;
}

std::vector<SuspectCounts> Service::suspects(const std::string& project, int days,
                                             std::size_t max) {
  return store_->suspects(project, clockNow() - std::chrono::hours(24 * days), max);
}

namespace {

std::string projectKeyHash(const std::string& key) {
  // Keys are 256 random bits: a fast hash keeps them as safe as a slow one would.
  return hmacSha256Hex("zelk-server project key", key);
}

}  // namespace

std::optional<std::pair<ProjectKey, std::string>> Service::makeProjectKey(
    const std::string& project) {
  const std::string key = newProjectKey();
  ProjectKey record{newId("key_"), project, projectKeyHash(key), clockNow(), {}};
  if (!store_->addProjectKey(record, kMaxProjectKeys)) return std::nullopt;
  return std::pair{std::move(record), key};
}

std::vector<ProjectKey> Service::projectKeys(const std::string& project) {
  return store_->projectKeys(project);
}

bool Service::revokeProjectKey(const std::string& project, const std::string& id) {
  return store_->removeProjectKey(project, id);
}

std::optional<ProjectKey> Service::projectKey(const std::string& key) {
  return store_->useProjectKey(projectKeyHash(key), clockNow());
}

bool Service::retryWebhook(const std::string& id) {
  if (!store_->retryWebhook(id, Clock::now())) return false;
  if (config_.onOutbox) config_.onOutbox();
  return true;
}

OverviewFigures Service::overview(int minutes) {
  const Clock::time_point now = clockNow();
  return store_->overview(now, now - std::chrono::hours(24), minutes, Clock::now() - silentAfter());
}

json Service::projectsJSON() {
  json projects = json::array();
  for (const Project& project : store_->readProjects()) {
    if (!project.configured) continue;
    json entry = settingsJSON(project.settings);
    entry["client_id"] = project.clientId;
    projects.push_back(std::move(entry));
  }
  return projects;
}

json Service::dump() {
  json projects = json::object();
  for (const auto& project : projects_->all()) {
    json entry = settingsJSON(project->settings);
    entry["name"] = project->settings.name.empty() ? project->clientId : project->settings.name;
    entry["default_device_limit"] = project->settings.overallLimit;
    entry["users"] = json::object();
    projects[project->clientId] = std::move(entry);
  }
  json challenges = json::object();
  for (const UserRecord& record : users_->held()) {
    json devices = json::array();
    for (const Device& d : record.devices) devices.push_back(deviceJSON(d));
    json ids = json::array();
    for (const Challenge& c : record.challenges) {
      ids.push_back(c.id);
      challenges[c.id] = zelk::server::challengeState(c, config_.codes);
    }
    json& users = projects[record.key.project]["users"];
    users[record.key.user] = {{"email", record.profile.email},
                              {"phone", record.profile.phone},
                              {"devices", std::move(devices)},
                              {"challenges", std::move(ids)}};
  }
  return {{"projects", std::move(projects)}, {"challenges", std::move(challenges)}};
}

std::optional<std::size_t> Service::deviceCount() const {
  const long long count = deviceCount_;
  if (count < 0) return std::nullopt;
  return static_cast<std::size_t>(count);
}

CacheFigures Service::cacheFigures() const {
  return {users_->size(), users_->hits(), users_->misses(), users_->evictions(),
          users_->conflicts()};
}

}  // namespace zelk::server
