// SPDX-License-Identifier: Apache-2.0
// The sandbox service's model: projects and their settings, their users' devices, challenges and
// identities, the request log and the scripted answers. Independent of HTTP; every public member is
// thread-safe (one mutex).
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "sandbox.hpp"

namespace zelk::sandbox {

using Clock = std::chrono::system_clock;

enum class Operation {
  attach,
  detach,
  identify,
  listen,
  challenge,         // GET /v2/challenge/<id>
  challengeDevices,  // GET /v2/challenge/<id>/devices
  deviceLimit,       // GET /v2/challenge/<id>/device-limit
  attempt,           // POST /v2/challenge/attempt
  verify,            // POST /v2/challenge/verify
  resend,            // POST /v2/challenge/resend
};
std::optional<Operation> operationFromName(std::string_view name);
std::string_view operationName(Operation operation);

struct ScriptedAnswer {
  int status = 200;
  std::string body;

  // Listen scripts only.
  std::string device;  // the device whose next listen this answers; "" for any device
  // Instead of the status and body: a stream that stays silent, or one that first writes `drip`
  // in pieces of `chunk` bytes, `interval` apart.
  enum class Stream { none, stall, drip } stream = Stream::none;
  std::string drip;
  std::size_t chunk = 1;
  std::chrono::milliseconds interval{0};
};

enum class DeviceType { mobile, tablet, computer };
// The type a device reports in device_info.device.type; anything but "tablet" or "computer"
// counts as a mobile.
DeviceType deviceTypeOf(const nlohmann::json& deviceInfo);
std::string_view deviceTypeName(DeviceType type);

/// The project settings as the admin endpoints and the state dump show them.
nlohmann::json settingsJSON(const ProjectSettings& settings);

// A time as the challenge calls write it: "2026-12-08T01:02:03.456Z" (UTC, milliseconds).
std::string isoTimeMillis(Clock::time_point time);

struct Device {
  std::string id;
  std::string vendorId;
  DeviceType type = DeviceType::mobile;
  std::string library, version;
  std::string identity;            // as reported by the last attach, "" when none
  std::string lastAccess;          // the access token handed out by the last attach
  std::set<std::string> accesses;  // every access token handed out for this device
  nlohmann::json deviceInfo = nlohmann::json::object();
  nlohmann::json metadata = nlohmann::json::object();
  Clock::time_point attachedAt, lastSeenAt;
};

struct User {
  UserProfile profile;
  std::vector<Device> devices;          // in order of first attach
  std::vector<std::string> challenges;  // ids, oldest first
};

struct Challenge {
  std::string id;
  std::string project;  // the client id
  std::string user;
  std::string reason;  // what raised it: "overall", "mobile", "tablet", "computer" or "manual"
  Clock::time_point createdAt;
  std::string code;     // the last code sent; "" before the first
  std::string channel;  // the channel the last code went by; "" before the first
  int codesSent = 0;
  int checks = 0;  // verify calls
  bool verified = false;
};

struct Identity {
  std::string id;
  std::string vendorId;
  nlohmann::json deviceInfo = nlohmann::json::object();
  Clock::time_point createdAt, lastSeenAt;
};

struct Project {
  ProjectSettings settings;  // a name of "" stands for the client id
  std::map<std::string, User> users;
  std::map<std::string, Identity> identities;             // by identity id
  std::map<std::string, std::string> identityByVendorId;  // vendor id -> identity id
};

struct AttachInput {
  std::string project;  // the client id
  std::string user;
  std::string vendorId;
  nlohmann::json deviceInfo = nlohmann::json::object();
  nlohmann::json metadata = nlohmann::json::object();
  std::string library, version, identity;
};

// A challenge just raised, and the devices of its user that are to hear of it.
struct RaisedChallenge {
  std::string id;
  std::vector<std::string> devices;
};

struct AttachResult {
  std::string deviceId;
  std::string access;
  std::size_t attachedDevices = 0;
  bool blockOverUsage = false;
  int defaultDeviceLimit = 0;
  std::optional<RaisedChallenge> challenge;  // set when the attach took the user over a limit
};

struct DetachResult {
  bool found = false;
  std::string deviceId;
  std::size_t attachedDevices = 0;
};

enum class ListenCheck { ok, unknownDevice, unknownAccess };

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

class ServiceState {
 public:
  ServiceState();

  // Attaches (or refreshes) the device `vendorId` of `user`; devices are per project and user.
  AttachResult attach(const AttachInput& input);
  DetachResult detach(const std::string& project, const std::string& user,
                      const std::string& deviceId);
  IdentifyResult identify(const IdentifyInput& input);
  // Whether `deviceId` is attached in `project` and `access` was handed out for it.
  ListenCheck checkListen(const std::string& project, const std::string& deviceId,
                          const std::string& access) const;

  void configureProject(const std::string& project, ProjectSettings settings);
  ProjectSettings projectSettings(const std::string& project) const;  // the name filled in
  void configureUser(const std::string& project, const std::string& user, UserProfile profile);
  UserProfile userProfile(const std::string& project, const std::string& user) const;

  RaisedChallenge raiseChallenge(const std::string& project, const std::string& user,
                                 std::string reason);
  std::vector<std::string> challenges(const std::string& project, const std::string& user) const;
  std::optional<std::string> lastCode(const std::string& challengeId) const;

  // The challenge calls of `project`, answering with the JSON documents the service sends;
  // nullopt when `challengeId` is not a challenge of that project.
  std::optional<nlohmann::json> challengeDetails(const std::string& project,
                                                 const std::string& challengeId) const;
  std::optional<nlohmann::json> challengeDevices(const std::string& project,
                                                 const std::string& challengeId) const;
  std::optional<nlohmann::json> deviceLimit(const std::string& project,
                                            const std::string& challengeId) const;
  // Makes a new six-digit code and "sends" it by `channel` ("" : the channel of the last code,
  // or "email"); returns it. A new code always differs from the one before.
  // The project of a challenge; nullopt for an unknown one.
  std::optional<std::string> challengeProject(const std::string& challengeId) const;
  std::optional<std::string> sendCode(const std::string& project, const std::string& challengeId,
                                      const std::string& channel);
  // Whether `code` is the last code sent for the challenge.
  std::optional<bool> checkCode(const std::string& project, const std::string& challengeId,
                                const std::string& code);
  // Everything about one challenge, codes included, for the admin endpoint.
  std::optional<nlohmann::json> challengeState(const std::string& challengeId) const;

  void record(RecordedRequest request);
  std::vector<RecordedRequest> requests() const;
  void clearRequests();

  void pushScript(Operation operation, ScriptedAnswer answer);
  // The first queued answer of `operation` meant for `device` (or for any device).
  std::optional<ScriptedAnswer> takeScript(Operation operation, std::string_view device = {});

  // Everything known, as JSON, for debugging.
  nlohmann::json dump() const;

 private:
  Project& projectLocked(const std::string& clientId);
  std::string randomHexLocked(std::size_t bytes);
  std::string newCodeLocked(const std::string& previous);
  RaisedChallenge raiseLocked(const std::string& projectId, User& user, const std::string& userName,
                              std::string reason);
  // The challenge `challengeId` when it belongs to `project`, with its project and user.
  struct Found {
    const Challenge* challenge = nullptr;
    const Project* project = nullptr;
    const User* user = nullptr;
  };
  Found findLocked(const std::string& project, const std::string& challengeId) const;
  nlohmann::json challengeStateLocked(const Challenge& challenge) const;

  mutable std::mutex mutex_;
  std::map<std::string, Project> projects_;      // by client id
  std::map<std::string, Challenge> challenges_;  // by id, of every project
  std::vector<RecordedRequest> requests_;
  std::map<Operation, std::deque<ScriptedAnswer>> scripts_;
  std::mt19937_64 random_;
};

}  // namespace zelk::sandbox
