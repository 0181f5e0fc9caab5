// SPDX-License-Identifier: Apache-2.0
// The service: the rules (limits, devices, challenges, codes) over the records the store holds,
// independent of HTTP. The store is the source of truth; this keeps a bounded cache of users'
// records (UserCache) and of projects, and decides every call on one user's records, one call
// of a user after the other and the calls of different users side by side, with no lock that
// spans all users. What a call changes is stored before it is reported: committers write the
// changes of many users at once, each only if nobody changed that user meanwhile (another
// instance on a shared store); a call that lost that race is decided again on the records read
// afresh.
//
// Calls come in two forms. The asynchronous ones, for the request path, report through a
// callback, at once on the calling thread when the user's records are at hand and nothing of
// the user is being stored, else later on one of the service's threads; callbacks must not
// block. The blocking ones wait for that and throw StoreError when the store could not be
// reached; they are for operators and tests, never for a server's loop thread. Every public
// member is thread-safe.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/challenges.hpp"
#include "service/codes.hpp"
#include "service/devices.hpp"
#include "service/outcome.hpp"
#include "service/owner_devices.hpp"
#include "storage/store.hpp"

namespace zelk::server {

class Committer;
struct CallContext;
class Liveness;
class ProjectCache;
class UserCache;
class Workers;
struct UserCall;

struct IdentifyInput {
  std::string project;
  std::string vendorId;
  std::string identityId;  // "" when the caller sent none
  nlohmann::json deviceInfo = nlohmann::json::object();
};

// What a device of a user asked of the user's devices: checked first, `check` says whether it
// may; then the device list or the sign-out.
struct OwnerDevicesResult {
  OwnerCheck check = OwnerCheck::unknownDevice;
  nlohmann::json devices;
};

struct OwnerLogoutAnswer {
  OwnerCheck check = OwnerCheck::unknownDevice;
  OwnerLogoutResult logout;
};

struct IdentifyResult {
  std::string identity;
  double confidence = 0;
};

// The cache's figures, for the metrics.
struct CacheFigures {
  std::size_t users = 0;  // held now
  std::uint64_t hits = 0, misses = 0, evictions = 0, conflicts = 0;
};

class Service {
 public:
  struct Config {
    // Any client id is a project, set up with default settings by its first request (the
    // sandbox); otherwise only projects an operator configured answer.
    bool openProjects = false;
    // A fresh stream (one that does not resume after an event id) hears the user's newest open
    // challenge again.
    bool repeatOpenChallenges = true;
    // The key codes are kept under (as an HMAC); "" : a random one for this process, which
    // voids the codes sent before a restart.
    std::string codeKey;
    CodePolicy codes;
    // The time the rules go by; tests set their own.
    std::function<Clock::time_point()> clock;
    // The channels codes go by: the ones this server sends through the outbox (none in the
    // sandbox, whose hooks reveal codes to tests instead).
    CodeChannels codeChannels;
    // Runs once changes that put messages in the outbox are stored, on the thread that stored
    // them; must not call into the Service.
    std::function<void()> onOutbox;
    AuditRetention audit;
    // Users whose records are held at most; 0: no bound (a memory store, which holds them anyway).
    std::size_t cacheUsers = 20'000;
    // Devices one user may have attached at once; 0: no bound.
    std::size_t maxDevicesPerUser = 100;
    // Threads that read from the store, and that write to it side by side.
    int readers = 2;
    int committers = 1;
    // How often this instance tells the store it is alive; an instance silent for two of these
    // and a second more is taken for gone, and its streams for ended at its last beat.
    std::chrono::milliseconds beatEvery{1000};
    // How long the streams that opened and ended wait to be written, together.
    std::chrono::milliseconds streamsEvery{200};
  };

  // Reads the projects from `store`; throws StoreError when it cannot.
  Service(std::unique_ptr<Store> store, Config config);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  std::string storeDescription() const;
  // Whether the store took this instance's last beat: it answers, and takes writes.
  bool storeReady();
  // This instance's id, as the store and the other instances know it.
  const std::string& instanceId() const { return instance_; }
  void setRepeatOpenChallenges(bool repeat) { repeatOpenChallenges_ = repeat; }
  bool repeatOpenChallenges() const { return repeatOpenChallenges_; }

  // --- the request path (asynchronous) ---

  // Whether requests with this client id are answered: the project's settings, or nullopt.
  void project(const std::string& clientId, Done<std::optional<Project>> done);
  void attach(AttachInput input, Done<AttachResult> done);
  // `byOperator`: an operator logged the device out, which its webhook event tells apart from a
  // detach the device asked for.
  void detach(const std::string& project, const std::string& user, const std::string& deviceId,
              Done<DetachResult> done, bool byOperator = false);
  void identify(IdentifyInput input, Done<IdentifyResult> done);
  // The devices of the user of `deviceId`, for that device: it must hold `access`; a device
  // detached lately counts as unknownAccess, one never attached as unknownDevice.
  void ownerDevices(const std::string& project, const std::string& deviceId,
                    const std::string& access, Done<OwnerDevicesResult> done);
  // Signs out a device of the same user at the request of `deviceId` (checked as above): the
  // device `target`, or with `byCode` the one whose new-device notice carried the code `target`.
  void ownerLogout(const std::string& project, const std::string& deviceId,
                   const std::string& access, const std::string& target, bool byCode,
                   Done<OwnerLogoutAnswer> done);
  // Checks a listen request and works out what the stream writes first. `resumeAfter` is the
  // stream's Last-Event-ID when it has one this device's messages can continue from.
  void startListen(const std::string& project, const std::string& deviceId,
                   const std::string& access, std::optional<std::uint64_t> resumeAfter,
                   Done<ListenStart> done);
  // The messages of `deviceId` after `upTo`: what a stream registered with that catch-up may
  // have missed while it was being registered. Nothing when the device is gone.
  void messagesSince(const std::string& deviceId, std::uint64_t upTo,
                     Done<std::vector<Delivery>> done);
  // The challenge calls of `project`, answering with the JSON documents the service sends; the
  // value holds nullopt when `challengeId` is not a challenge of that project.
  void challengeDetails(const std::string& project, const std::string& challengeId,
                        Done<std::optional<nlohmann::json>> done);
  void challengeDevices(const std::string& project, const std::string& challengeId,
                        Done<std::optional<nlohmann::json>> done);
  void deviceLimit(const std::string& project, const std::string& challengeId,
                   Done<std::optional<nlohmann::json>> done);
  // Sends a code of the challenge (`project` "" : of whichever project the challenge is),
  // within CodePolicy's limits: see sendCode() in codes.hpp.
  void sendCode(const std::string& project, const std::string& challengeId,
                const std::string& channel, Done<SendCodeResult> done);
  // Whether `code` verifies the challenge; the value holds nullopt for a challenge not of
  // `project`.
  void checkCode(const std::string& project, const std::string& challengeId,
                 const std::string& code, Done<std::optional<bool>> done);
  // Records a security event that is not part of a change of the records (a request refused by
  // a rate limit, an operator's change).
  void recordAudit(const std::string& project, std::string kind, std::string subject,
                   nlohmann::json detail, Done<bool> done);

  // A stream of `deviceId` opened or closed on this instance: a device with none open anywhere
  // is detached by sweepIdleDevices() once its project's grace is over.
  void streamOpened(const std::string& deviceId);
  void streamClosed(const std::string& deviceId);
  // Detaches every device whose grace is over, as a detach would, and forgets what is kept too
  // long; reports the logout orders.
  void sweepIdleDevices(Done<std::vector<Delivery>> done);

  // --- notices from other instances (a shared store) ---

  // The records of a user changed elsewhere, to `version`: the copy held here is read afresh.
  void userChanged(const UserKey& key, std::uint64_t version);
  // A project's settings changed ("" : any project's may have): read afresh when next needed.
  void projectChanged(const std::string& clientId);
  // Streams of devices opened or ended on instance `sender`.
  void streamsChanged(const std::string& sender, const StreamChanges& changes);
  // Notices may have been missed: everything held is read afresh.
  void resync();

  // --- operators and tests (blocking; throw StoreError when the store cannot be reached) ---

  bool knowsProject(const std::string& clientId);
  void configureProject(const std::string& project, ProjectSettings settings);
  // The settings, the name filled in.
  ProjectSettings projectSettings(const std::string& project);
  bool projectConfigured(const std::string& project);
  void configureUser(const std::string& project, const std::string& user, UserProfile profile);
  UserProfile userProfile(const std::string& project, const std::string& user);
  AttachResult attach(AttachInput input);
  DetachResult detach(const std::string& project, const std::string& user,
                      const std::string& deviceId, bool byOperator = false);
  ListenStart startListen(const std::string& project, const std::string& deviceId,
                          const std::string& access, std::optional<std::uint64_t> resumeAfter);
  RaisedChallenge raiseChallenge(const std::string& project, const std::string& user,
                                 std::string reason);
  std::vector<std::string> challenges(const std::string& project, const std::string& user);
  // Closes a challenge of `project` by an operator's hand; false when there is none.
  // Closes a challenge by hand (its webhook event says so); false when there is none of that id.
  bool resolveChallenge(const std::string& project, const std::string& challengeId);
  // Sends the logout order to `device` of `project` ("" : of any project), keeping it for a
  // stream that resumes; nullopt when there is no such device.
  std::optional<Delivery> logout(const std::string& project, const std::string& deviceId);
  // Sets where device `deviceId` of `project` ("" : of any project) was last seen, until its
  // next attach placed by a GeoIP database (the sandbox's demo places devices so); false when
  // there is no such device.
  bool setLocation(const std::string& project, const std::string& deviceId, Location location);
  // The user a device of `project` belongs to.
  std::optional<std::string> ownerOf(const std::string& project, const std::string& deviceId);
  void recordAudit(const std::string& project, std::string kind, std::string subject,
                   nlohmann::json detail = nlohmann::json::object());
  std::vector<Delivery> sweepIdleDevices();

  // The users of `project` an operator looks for: see Store::searchUsers().
  std::vector<UserSummary> searchUsers(const std::string& project, const std::string& query,
                                       const std::string& after, std::size_t max);
  // Detaches every device of the user but `keep` ("" : every one), as an operator's logout
  // would; their logout orders.
  std::vector<Delivery> logoutUser(const std::string& project, const std::string& user,
                                   const std::string& keep);
  // Sets (nullopt: clears) the user's own limits, which the limit rules take in place of the
  // project's; false for a user nothing is stored of.
  bool setLimitOverride(const std::string& project, const std::string& user,
                        std::optional<LimitOverride> limits);
  // Everything stored of the user, for a copy of their records: the operator's view, the devices
  // remembered, the device changes, and the audit entries about them; nullopt for no such user.
  std::optional<nlohmann::json> exportUser(const std::string& project, const std::string& user);
  // Signs out every device of the user and removes everything stored of them, their audit
  // entries kept under a one-way pseudonym; the logout orders, or nullopt for no such user.
  std::optional<std::vector<Delivery>> eraseUser(const std::string& project,
                                                 const std::string& user);
  // Removes a project and everything stored of it; false when there was none.
  bool deleteProject(const std::string& clientId);
  // The users of `project` most worth a look over the last `days`: see Store::suspects().
  std::vector<SuspectCounts> suspects(const std::string& project, int days, std::size_t max);

  // Keys the app's backend calls part of the admin API with. A project has at most two at once,
  // so that a key is replaced without a moment with none.
  static constexpr std::size_t kMaxProjectKeys = 2;
  // A new key of `project`: the record and the key itself, which is shown this once and kept
  // only as a hash; nullopt when the project has kMaxProjectKeys already.
  std::optional<std::pair<ProjectKey, std::string>> makeProjectKey(const std::string& project);
  std::vector<ProjectKey> projectKeys(const std::string& project);
  bool revokeProjectKey(const std::string& project, const std::string& id);
  // The key `key` is, read from the store each time (a key revoked anywhere is refused at
  // once); nullopt for none.
  std::optional<ProjectKey> projectKey(const std::string& key);

  // The console's overview: the last day's challenges and codes, the attaches of the last
  // `minutes` minutes, and the instances alive now.
  OverviewFigures overview(int minutes);
  // Sends the failed webhook event `id` again now; false when there is no such failed event.
  bool retryWebhook(const std::string& id);

  // Operator views, each read from the store when not held.
  std::optional<nlohmann::json> challengeState(const std::string& challengeId);
  std::optional<nlohmann::json> userJSON(const std::string& project, const std::string& user);
  nlohmann::json projectsJSON();
  // The projects and the users held now, as JSON, for debugging.
  nlohmann::json dump();

  // Devices attached over every project, as last counted (every sweep); nullopt before that.
  std::optional<std::size_t> deviceCount() const;
  CacheFigures cacheFigures() const;

  // The audit trail and the outbox as they are stored; the delivery worker reads and updates
  // the outbox through the store, which is safe to call from any thread.
  Store& store() { return *store_; }
  // A code's lifetime, past which a code still in the outbox is not worth sending.
  std::chrono::seconds codeLifetime() const { return config_.codes.lifetime; }
  // The code a message of the outbox carries, sealed by sendCode(); nullopt when it is not one
  // sealed under this server's code key.
  std::optional<std::string> unsealCode(const std::string& sealed) const;
  // The delivery of `code` of `challengeId` failed for good: see codeUndelivered() in codes.hpp.
  void codeUndelivered(const std::string& challengeId, const std::string& code);
  // A new code of `challengeId` now, by its last channel, whatever the resend limits say: for
  // the sandbox's tests, which walk the screens more than once. nullopt for an unknown challenge.
  std::optional<SentCode> sendCodeNow(const std::string& challengeId);

 private:
  class Backend;
  friend class Backend;

  Clock::time_point clockNow() const { return config_.clock ? config_.clock() : Clock::now(); }
  // How long an instance is silent before it counts as gone: its own beat and the one seen here
  // are each up to a beat late, and a second more is the margin for a busy machine.
  std::chrono::milliseconds silentAfter() const {
    return 2 * config_.beatEvery + std::chrono::milliseconds(1000);
  }
  // Runs `then` with the project that answers to `clientId` (nullptr when none does), at once
  // when it is held, else once it was read (on a reader thread).
  void withProject(const std::string& clientId,
                   std::function<void(std::shared_ptr<const Project>, Failure)> then);
  // The project held for `clientId`, read when it is not; nullptr when none answers.
  std::shared_ptr<const Project> heldProject(const std::string& clientId);
  // Reads `clientId`'s project afresh, on the calling thread.
  std::optional<Project> readProject(const std::string& clientId);
  // Queues a call on the records of the user a device or challenge id belongs to; `unknown`
  // runs (on some thread) when no user of `project` ("" : of any project) has it.
  void onOwnerOf(const std::string& project, const std::string& id, bool challenge,
                 std::shared_ptr<UserCall> call, std::function<void(Failure)> unknown);
  // A call of a device on its user's devices: `decide` runs once the device is found holding
  // `access`; otherwise the result's check says why not.
  template <class T>
  void ownerCall(const std::string& project, const std::string& deviceId, const std::string& access,
                 std::function<void(UserEdit&, const CallContext&, T&)> decide, Done<T> done);
  // Writes changes of no user.
  void commitLoose(Unit unit, std::function<void(Unit&, bool failed)> done);
  // Beats, and writes the streams that opened and ended, until the service goes.
  void keepAlive();
  // Writes the streams that opened and ended here since the last write; false when the store
  // failed (what was not written goes with the next write).
  bool writeStreamChanges();

  Config config_;
  std::unique_ptr<Store> store_;
  const bool shared_;
  const std::string instance_;
  const Clock::time_point startedAt_;
  std::atomic<bool> repeatOpenChallenges_;
  std::unique_ptr<ProjectCache> projects_;
  std::unique_ptr<Liveness> liveness_;
  std::unique_ptr<Committer> committer_;
  std::unique_ptr<Backend> backend_;
  std::unique_ptr<UserCache> users_;
  std::unique_ptr<Workers> readers_;
  std::atomic<long long> deviceCount_{-1};
  DestinationSends destinations_;
  std::atomic<bool> ready_{true};

  std::mutex streamsWriteMutex_;  // one write of the stream changes at a time
  std::mutex keeperMutex_;
  std::condition_variable keeperWake_;
  bool stopping_ = false;
  std::thread keeper_;
};

}  // namespace zelk::server
