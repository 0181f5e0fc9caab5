// SPDX-License-Identifier: Apache-2.0
// The service's rules: projects and their limits and brand, users, devices and their access
// tokens, identities, challenges and codes, and the messages each device's realtime stream is to
// hear. Independent of HTTP and of how records are stored: every change is handed to the Store
// before the call returns, and the caller answers only then. Every public member is thread-safe.
//
// With a store several instances share (Store::shared()), what is held in memory is only a cache:
// every operation on a user's records first locks that user in the store and takes the project,
// the user and its challenges as stored, then applies the same rules and writes its changes in
// that unit of work. A StoreError from any of these fails the call, which then answers nothing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

#include "storage/records.hpp"
#include "storage/store.hpp"

namespace zelk::server {

// A message for one device's stream: its id there and the event's data.
struct Delivery {
  std::string device;
  std::uint64_t id = 0;
  std::string data;
};

// A challenge just raised, and the message each device of its user is to hear.
struct RaisedChallenge {
  std::string id;
  std::vector<Delivery> deliveries;
};

struct AttachInput {
  std::string project;  // the client id
  std::string user;
  std::string vendorId;
  nlohmann::json deviceInfo = nlohmann::json::object();
  nlohmann::json metadata = nlohmann::json::object();
  std::string library, version, identity;
};

struct AttachResult {
  std::string deviceId;
  std::string access;
  std::size_t attachedDevices = 0;
  bool blockOverUsage = false;
  int defaultDeviceLimit = 0;
  std::optional<RaisedChallenge> challenge;  // set when the attach took the user over a limit
  // The project blocks attaches at the limit and this one was refused: nothing was attached.
  bool blocked = false;
  // The logout orders of the devices the attach pushed out (the project evicts at the limit).
  std::vector<Delivery> evicted;
  // The logout orders of the user's devices gone quiet past their grace, detached first.
  std::vector<Delivery> expired;
};

struct DetachResult {
  bool found = false;
  std::string deviceId;
  std::size_t attachedDevices = 0;
  Delivery logout;  // the logout order for the streams the removed device still has open
};

struct IdentifyInput {
  std::string project;
  std::string vendorId;
  std::string identityId;  // "" when the caller sent none
  nlohmann::json deviceInfo = nlohmann::json::object();
};

struct IdentifyResult {
  std::string identity;
  double confidence = 0;
};

// How one-time codes are limited.
struct CodePolicy {
  std::chrono::seconds lifetime{600};       // a code is void this long after it was sent
  int maxChecks = 5;                        // checks one code takes; then it is void
  std::chrono::seconds resendInterval{30};  // least time between two codes of a challenge
  int maxSendsPerHour = 5;                  // codes of a challenge within any hour
};

// A code just made, for whatever delivers it. The only place the code itself appears.
struct SentCode {
  std::string project, challenge, user;
  std::string channel;  // "email" or "text"
  std::string code;
  UserProfile contact;  // where it goes
};

enum class CodeSend { sent, unknownChallenge, tooSoon };

struct SendCodeResult {
  CodeSend status = CodeSend::unknownChallenge;
  std::optional<SentCode> sent;  // with status sent
  // With status tooSoon: when the next code may be sent.
  std::chrono::seconds retryAfter{0};
};

// loggedOut: the device was detached; the stream is to write its logout order (the catch-up)
// and end, or end at once when it resumes after that order.
enum class ListenCheck { ok, unknownDevice, unknownAccess, loggedOut };

// What a stream that is being opened writes first.
struct ListenStart {
  ListenCheck check = ListenCheck::unknownDevice;
  // The messages the stream writes before anything else: what it missed when it resumes, the
  // newest open challenge of the user when it is fresh.
  std::vector<Delivery> catchUp;
  // Messages up to this id are known to the stream once the catch-up is written.
  std::uint64_t upTo = 0;
};

// How often an instance sharing its store tells it which devices have a stream open there
// (Store::markActive).
inline constexpr std::chrono::seconds kActiveMarkPeriod{60};

// The data of a challenge notice and of a logout order.
std::string challengeNoticeData(const std::string& challengeId);
std::string logoutData();

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
    // The time; tests set their own.
    std::function<Clock::time_point()> clock;
    // Changes are written by a thread of the service's own, many requests' changes in one
    // transaction, instead of by the call that made them: a call returns before its changes are
    // stored, and its caller answers once whenStored() says they are.
    bool groupCommit = false;
    // Codes also go to the outbox, to be sent by e-mail or text message (off in the sandbox,
    // whose hooks reveal them to tests instead).
    bool deliverCodes = false;
    // Runs once changes that put messages in the outbox are stored, on the thread that stored
    // them; must not call into the Service.
    std::function<void()> onOutbox;
    AuditRetention audit;
  };

  // Loads what `store` holds; throws StoreError when it cannot.
  Service(std::unique_ptr<Store> store, Config config);
  ~Service();

  // The last change made by calls from the calling thread: 0 before the first, and larger
  // with each call that changed something.
  static std::uint64_t lastChangeOfThisThread();
  // Calls `done(true)` once change `change` (see lastChangeOfThisThread()) and every change
  // before it are stored, `done(false)` when they could not be (the records in memory then went
  // back to what the store holds). Runs `done` at once when they are already, else on the
  // committing thread: `done` must not call into the Service.
  void whenStored(std::uint64_t change, std::function<void(bool stored)> done);
  // Blocks until every change made so far is stored or failed; false when some failed.
  bool flush();

  std::string storeDescription() const;
  bool storeReady();
  void setRepeatOpenChallenges(bool repeat);
  bool repeatOpenChallenges() const;

  // Whether requests with this client id are answered.
  bool knowsProject(const std::string& clientId);
  // With a shared store: the project's settings changed (`clientId`; "" : any project's may
  // have), so the copy held here is read afresh from the store when next needed. Never waits
  // for a call under way; safe from any thread.
  void dropProject(const std::string& clientId);

  // Attaches (or refreshes) the device `vendorId` of `user`; devices are per project and user.
  // Takes `input` over: its documents become the device's without a copy.
  AttachResult attach(AttachInput input);
  DetachResult detach(const std::string& project, const std::string& user,
                      const std::string& deviceId);
  IdentifyResult identify(const IdentifyInput& input);

  // Checks a listen request and works out what the stream writes first. `resumeAfter` is the
  // stream's Last-Event-ID when it has one this device's messages can continue from. `opened`
  // runs, while no message for the device can be sent, when the check passed: a stream
  // registered there misses nothing.
  ListenStart startListen(const std::string& project, const std::string& deviceId,
                          const std::string& access, std::optional<std::uint64_t> resumeAfter,
                          const std::function<void(const ListenStart&)>& opened);

  void configureProject(const std::string& project, ProjectSettings settings);
  // The settings, the name filled in; nullopt for a project that does not answer.
  ProjectSettings projectSettings(const std::string& project);
  bool projectConfigured(const std::string& project);
  void configureUser(const std::string& project, const std::string& user, UserProfile profile);
  UserProfile userProfile(const std::string& project, const std::string& user);

  RaisedChallenge raiseChallenge(const std::string& project, const std::string& user,
                                 std::string reason);
  std::vector<std::string> challenges(const std::string& project, const std::string& user);
  // Closes a challenge of `project` by an operator's hand; false when there is none.
  bool resolveChallenge(const std::string& project, const std::string& challengeId);

  // The challenge calls of `project`, answering with the JSON documents the service sends;
  // nullopt when `challengeId` is not a challenge of that project.
  std::optional<nlohmann::json> challengeDetails(const std::string& project,
                                                 const std::string& challengeId);
  std::optional<nlohmann::json> challengeDevices(const std::string& project,
                                                 const std::string& challengeId);
  std::optional<nlohmann::json> deviceLimit(const std::string& project,
                                            const std::string& challengeId);
  // The project of a challenge; nullopt for an unknown one.
  std::optional<std::string> challengeProject(const std::string& challengeId);
  // Makes a new six-digit code from the CSPRNG for `channel` ("" : the channel of the last code,
  // or "email") and keeps only its HMAC; the code itself is in the result, for delivery. Refused
  // (tooSoon) within CodePolicy::resendInterval of the last code or past
  // CodePolicy::maxSendsPerHour; the last code then stays good.
  SendCodeResult sendCode(const std::string& project, const std::string& challengeId,
                          const std::string& channel);
  // Whether `code` is the last code sent for the challenge, still within its lifetime and its
  // checks, compared in constant time; a right one verifies the challenge. Every check counts
  // against the code, a right one included. nullopt for a challenge not of `project`.
  std::optional<bool> checkCode(const std::string& project, const std::string& challengeId,
                                const std::string& code);

  // A stream of `deviceId` opened or closed: a device with none open is detached by
  // expireIdleDevices() once its project's grace is over.
  void streamOpened(const std::string& deviceId);
  void streamClosed(const std::string& deviceId);
  // Detaches every device whose grace is over, as a detach would; their logout orders.
  std::vector<Delivery> expireIdleDevices();

  // Sends the logout order to `device` of `project` ("" : of any project), keeping it for a
  // stream that resumes; nullopt when there is no such device.
  std::optional<Delivery> logout(const std::string& project, const std::string& deviceId);
  // The user a device of `project` belongs to.
  std::optional<std::string> ownerOf(const std::string& project, const std::string& deviceId);

  // Operator views. With a shared store, the views of one user or challenge are read afresh;
  // the lists and the dump show what this instance holds.
  std::optional<nlohmann::json> challengeState(const std::string& challengeId);
  nlohmann::json projectsJSON() const;
  std::optional<nlohmann::json> userJSON(const std::string& project, const std::string& user);
  std::vector<std::string> users(const std::string& project) const;
  // Everything known, as JSON, for debugging.
  nlohmann::json dump() const;
  // Counts for the metrics.
  std::size_t deviceCount() const;

  // Records a security event that is not part of a change of the records (a request refused by a
  // rate limit, an operator's change); stored like a change, see whenStored().
  void recordAudit(const std::string& project, std::string kind, std::string subject,
                   nlohmann::json detail = nlohmann::json::object());
  // The audit trail and the outbox as they are stored; the delivery worker reads and updates
  // the outbox through the store, which is safe to call from any thread.
  Store& store() { return *store_; }
  // A code's lifetime, past which a code still in the outbox is not worth sending.
  std::chrono::seconds codeLifetime() const { return config_.codes.lifetime; }

 private:
  // With a shared store, the calling thread's unit of work: ended without writing when the
  // operation did not commit (it changed nothing, or failed).
  class UnitOfWork;
  struct Found {
    const Challenge* challenge = nullptr;
    const Project* project = nullptr;
    const User* user = nullptr;
  };
  Project& projectLocked(const std::string& clientId, Changes& changes);
  Found findLocked(const std::string& project, const std::string& challengeId) const;
  RaisedChallenge raiseLocked(const std::string& projectId, User& user, const std::string& userName,
                              std::string reason, Changes& changes);
  Delivery sendLocked(Device& device, const std::string& data, Changes& changes);
  // The device `deviceId` of `projectId` ("" : of any project); nullptr when there is none.
  // `clientId` and `userName`, when given, receive its project and user.
  Device* deviceLocked(const std::string& projectId, const std::string& deviceId,
                       std::string* userName = nullptr, std::string* clientId = nullptr);
  // Builds deviceIndex_ and detachedOrder_ afresh from data_.
  void indexDevicesLocked();
  // Removes a device of `user` (which must have it) as a detach does; the logout order for its
  // open streams.
  // `why` says what removed it: "detach", "idle" or "evicted", as the webhook event tells it.
  Delivery removeDeviceLocked(const std::string& projectId, User& user, const std::string& deviceId,
                              Changes& changes, const char* why = "detach");
  // Adds the event `type` about `subject` to the outbox when the project has a webhook.
  void eventLocked(const std::string& projectId, const char* type, nlohmann::json subject,
                   Changes& changes);
  void auditLocked(const std::string& projectId, std::string kind, std::string subject,
                   nlohmann::json detail, Changes& changes);
  void resolveWithinLimitsLocked(const std::string& projectId, const std::string& userName,
                                 const User& user, Changes& changes);
  nlohmann::json challengeStateLocked(const Challenge& challenge) const;
  // Whether `device` still counts as attached: a stream of it is open, or its grace is not over.
  bool liveLocked(const Device& device, const ProjectSettings& settings,
                  Clock::time_point now) const;
  // When `device` was last seen active: now while a stream of it is open, else when its last
  // stream closed or its last attach, whichever came later.
  Clock::time_point lastActiveLocked(const Device& device, Clock::time_point now) const;
  // Detaches the devices of `user` whose grace is over.
  std::vector<Delivery> expireLocked(const std::string& projectId, const std::string& userName,
                                     User& user, Clock::time_point now, Changes& changes);
  void commitLocked(Changes& changes);
  // With a shared store: locks `userName` of `clientId` in the store for the calling thread's
  // unit of work and takes what the store holds of the project, the user and its challenges in
  // place of what is held here. Throws StoreError.
  void lockUserLocked(const std::string& clientId, const std::string& userName);
  // `dropsBefore`: dropsSoFar() from before the store was read.
  void adoptLocked(const std::string& clientId, const std::string& userName, SharedUser stored,
                   std::uint64_t dropsBefore);
  std::uint64_t dropsSoFar();
  // Project `clientId` was just read from the store: its copy here is good again, unless a
  // notice came since `dropsBefore`.
  void projectReadLocked(const std::string& clientId, std::uint64_t dropsBefore);
  // Locks the user of challenge `challengeId` of `clientId` as lockUserLocked() does; false when
  // the store knows no such challenge of that project.
  bool lockChallengeLocked(const std::string& clientId, const std::string& challengeId);
  // Reads project `clientId` from the store when it is not held or was dropped.
  void refreshProjectLocked(const std::string& clientId);
  void commitInOrder();
  // Goes back to what the store holds after a failed write.
  void reloadLocked();
  Clock::time_point clockNow() const { return config_.clock ? config_.clock() : Clock::now(); }
  std::string codeHashLocked(const std::string& challengeId, const std::string& code) const;
  // Remembers a detached device, forgetting the ones kept too long or beyond the count.
  void rememberDetachedLocked(DetachedDevice detached, Changes& changes);

  mutable std::mutex mutex_;
  std::unique_ptr<Store> store_;
  const bool shared_;
  Config config_;
  // A project the unit of work under way found missing from the store: its first change writes
  // it.
  std::string unwrittenProject_;
  // Projects whose copy here is not to be trusted any longer (see dropProject()); a mutex of
  // their own, so that a notice never waits for a call under way.
  std::mutex droppedMutex_;
  std::unordered_set<std::string> droppedProjects_;
  bool allDropped_ = false;
  std::uint64_t drops_ = 0;  // dropProject() calls so far
  Dataset data_;
  // Where each device is, by device id: its project, its user and its place in the user's device
  // list. Kept in step with data_ by attach, detach and every load from the store, so that a
  // stream or a message finds its device without going through all of them.
  struct DevicePlace {
    std::string project, user;
    std::size_t position = 0;
  };
  std::unordered_map<std::string, DevicePlace> deviceIndex_;
  // What the streams say of each device; kept in memory only: after a restart every device
  // has its grace anew from then on to open a stream again.
  struct Liveness {
    int openStreams = 0;
    Clock::time_point idleSince;
  };
  std::unordered_map<std::string, Liveness> liveness_;
  Clock::time_point startedAt_;
  // The ids of data_.detached, oldest detach first.
  std::deque<std::string> detachedOrder_;

  // Group commit. Changes are numbered in the order they were made (under mutex_); the
  // committer writes what is queued in one transaction while the next batch gathers.
  struct Waiter {
    std::uint64_t change;
    std::function<void(bool)> done;
  };
  std::mutex commitMutex_;  // taken after mutex_ when both are
  std::condition_variable commitWake_, commitDone_;
  std::vector<Changes> queued_;
  std::uint64_t lastQueued_ = 0;    // the number of the last change queued
  std::uint64_t lastFinished_ = 0;  // every change up to it is stored or failed
  std::uint64_t lastTold_ = 0;      // ... and the waiters for it told and let go
  // Ranges of changes (first, last) whose write failed, the newest last; a few are enough, as
  // a waiter asks right after its change.
  std::deque<std::pair<std::uint64_t, std::uint64_t>> failed_;
  std::vector<Waiter> waiters_;
  bool stopping_ = false;
  bool committerWaiting_ = false;  // the committer waits for changes and is not yet woken
  std::thread committer_;
};

}  // namespace zelk::server
