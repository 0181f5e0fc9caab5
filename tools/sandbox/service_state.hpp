// The sandbox service's model: projects, their users' devices and identities, the request log and
// the scripted answers. Independent of HTTP; every public member is thread-safe (one mutex).
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

enum class Operation { attach, detach, identify, listen };
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

struct Device {
  std::string id;
  std::string vendorId;
  std::string library, version;
  std::string identity;            // as reported by the last attach, "" when none
  std::string lastAccess;          // the access token handed out by the last attach
  std::set<std::string> accesses;  // every access token handed out for this device
  nlohmann::json deviceInfo = nlohmann::json::object();
  nlohmann::json metadata = nlohmann::json::object();
  Clock::time_point attachedAt, lastSeenAt;
};

struct User {
  std::vector<Device> devices;  // in order of first attach
};

struct Identity {
  std::string id;
  std::string vendorId;
  nlohmann::json deviceInfo = nlohmann::json::object();
  Clock::time_point createdAt, lastSeenAt;
};

struct Project {
  int defaultDeviceLimit = 3;
  bool blockOverUsage = false;
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

struct AttachResult {
  std::string deviceId;
  std::string access;
  std::size_t attachedDevices = 0;
  bool blockOverUsage = false;
  int defaultDeviceLimit = 0;
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

  mutable std::mutex mutex_;
  std::map<std::string, Project> projects_;  // by client id
  std::vector<RecordedRequest> requests_;
  std::map<Operation, std::deque<ScriptedAnswer>> scripts_;
  std::mt19937_64 random_;
};

}  // namespace zelk::sandbox
