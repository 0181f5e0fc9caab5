// SPDX-License-Identifier: Apache-2.0
#include "service_state.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <initializer_list>
#include <iterator>

namespace zelk::sandbox {
namespace {

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

const std::string& projectName(const std::string& clientId, const Project& project) {
  return project.settings.name.empty() ? clientId : project.settings.name;
}

// The reported device facts as the device list shows them: only text members of the known keys,
// with the type the service counted the device as.
nlohmann::json deviceInfoOf(const Device& device) {
  using nlohmann::json;
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
  info["os"] = pick(device.deviceInfo, "os", {"name", "version"});
  json details = pick(device.deviceInfo, "device", {"vendor", "model"});
  details["type"] = deviceTypeName(device.type);
  info["device"] = std::move(details);
  return info;
}

}  // namespace

DeviceType deviceTypeOf(const nlohmann::json& deviceInfo) {
  if (!deviceInfo.is_object()) return DeviceType::mobile;
  auto device = deviceInfo.find("device");
  if (device == deviceInfo.end() || !device->is_object()) return DeviceType::mobile;
  auto type = device->find("type");
  if (type == device->end() || !type->is_string()) return DeviceType::mobile;
  if (*type == "tablet") return DeviceType::tablet;
  if (*type == "computer") return DeviceType::computer;
  return DeviceType::mobile;
}

std::string_view deviceTypeName(DeviceType type) {
  switch (type) {
    case DeviceType::tablet:
      return "tablet";
    case DeviceType::computer:
      return "computer";
    case DeviceType::mobile:
      break;
  }
  return "mobile";
}

nlohmann::json settingsJSON(const ProjectSettings& settings) {
  return {{"name", settings.name},
          {"overall_limit", settings.overallLimit},
          {"mobile_limit", settings.mobileLimit},
          {"tablet_limit", settings.tabletLimit},
          {"computer_limit", settings.computerLimit},
          {"logo", settings.logo},
          {"primary_color", settings.primaryColor},
          {"require_verification", settings.requireVerification},
          {"block_over_usage", settings.blockOverUsage}};
}

std::string isoTimeMillis(Clock::time_point time) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(time);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(time - seconds).count();
  const std::time_t whole = Clock::to_time_t(seconds);
  std::tm utc{};
  gmtime_r(&whole, &utc);
  char text[48];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis));
  return text;
}
std::optional<Operation> operationFromName(std::string_view name) {
  if (name == "attach") return Operation::attach;
  if (name == "detach") return Operation::detach;
  if (name == "identify") return Operation::identify;
  if (name == "listen") return Operation::listen;
  if (name == "challenge") return Operation::challenge;
  if (name == "challenge-devices") return Operation::challengeDevices;
  if (name == "device-limit") return Operation::deviceLimit;
  if (name == "attempt") return Operation::attempt;
  if (name == "verify") return Operation::verify;
  if (name == "resend") return Operation::resend;
  return std::nullopt;
}

std::string_view operationName(Operation operation) {
  switch (operation) {
    case Operation::attach:
      return "attach";
    case Operation::detach:
      return "detach";
    case Operation::identify:
      return "identify";
    case Operation::listen:
      return "listen";
    case Operation::challenge:
      return "challenge";
    case Operation::challengeDevices:
      return "challenge-devices";
    case Operation::deviceLimit:
      return "device-limit";
    case Operation::attempt:
      return "attempt";
    case Operation::verify:
      return "verify";
    case Operation::resend:
      return "resend";
  }
  return "";
}

ServiceState::ServiceState() : random_(std::random_device{}()) {}

Project& ServiceState::projectLocked(const std::string& clientId) {
  return projects_[clientId];  // a project comes into being with its first request
}

std::string ServiceState::randomHexLocked(std::size_t bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes * 2);
  while (hex.size() < bytes * 2) {
    std::uint64_t word = random_();
    for (int i = 0; i < 16 && hex.size() < bytes * 2; ++i, word >>= 4) hex += kDigits[word & 0xf];
  }
  return hex;
}

std::string ServiceState::newCodeLocked(const std::string& previous) {
  std::uniform_int_distribution<int> digits(0, 999'999);
  for (;;) {
    char code[8];
    std::snprintf(code, sizeof code, "%06d", digits(random_));
    if (code != previous) return code;
  }
}

void ServiceState::configureProject(const std::string& projectId, ProjectSettings settings) {
  std::lock_guard lock(mutex_);
  projectLocked(projectId).settings = std::move(settings);
}

ProjectSettings ServiceState::projectSettings(const std::string& projectId) const {
  std::lock_guard lock(mutex_);
  ProjectSettings settings;
  if (auto project = projects_.find(projectId); project != projects_.end())
    settings = project->second.settings;
  if (settings.name.empty()) settings.name = projectId;
  return settings;
}

void ServiceState::configureUser(const std::string& projectId, const std::string& user,
                                 UserProfile profile) {
  std::lock_guard lock(mutex_);
  projectLocked(projectId).users[user].profile = std::move(profile);
}

UserProfile ServiceState::userProfile(const std::string& projectId,
                                      const std::string& userName) const {
  std::lock_guard lock(mutex_);
  auto project = projects_.find(projectId);
  if (project == projects_.end()) return {};
  auto user = project->second.users.find(userName);
  if (user == project->second.users.end()) return {};
  return user->second.profile;
}

RaisedChallenge ServiceState::raiseLocked(const std::string& projectId, User& user,
                                          const std::string& userName, std::string reason) {
  Challenge challenge;
  challenge.id = "ch_" + randomHexLocked(12);
  challenge.project = projectId;
  challenge.user = userName;
  challenge.reason = std::move(reason);
  challenge.createdAt = Clock::now();
  user.challenges.push_back(challenge.id);

  RaisedChallenge raised;
  raised.id = challenge.id;
  for (const Device& device : user.devices) raised.devices.push_back(device.id);
  challenges_.emplace(challenge.id, std::move(challenge));
  return raised;
}

RaisedChallenge ServiceState::raiseChallenge(const std::string& projectId,
                                             const std::string& userName, std::string reason) {
  std::lock_guard lock(mutex_);
  User& user = projectLocked(projectId).users[userName];
  return raiseLocked(projectId, user, userName, std::move(reason));
}

std::vector<std::string> ServiceState::challenges(const std::string& projectId,
                                                  const std::string& userName) const {
  std::lock_guard lock(mutex_);
  auto project = projects_.find(projectId);
  if (project == projects_.end()) return {};
  auto user = project->second.users.find(userName);
  if (user == project->second.users.end()) return {};
  return user->second.challenges;
}

std::optional<std::string> ServiceState::lastCode(const std::string& challengeId) const {
  std::lock_guard lock(mutex_);
  auto challenge = challenges_.find(challengeId);
  if (challenge == challenges_.end() || challenge->second.code.empty()) return std::nullopt;
  return challenge->second.code;
}

ServiceState::Found ServiceState::findLocked(const std::string& projectId,
                                             const std::string& challengeId) const {
  auto challenge = challenges_.find(challengeId);
  if (challenge == challenges_.end() || challenge->second.project != projectId) return {};
  auto project = projects_.find(projectId);
  if (project == projects_.end()) return {};
  auto user = project->second.users.find(challenge->second.user);
  if (user == project->second.users.end()) return {};
  return {&challenge->second, &project->second, &user->second};
}

std::optional<nlohmann::json> ServiceState::challengeDetails(const std::string& projectId,
                                                             const std::string& challengeId) const {
  using nlohmann::json;
  std::lock_guard lock(mutex_);
  const Found found = findLocked(projectId, challengeId);
  if (!found.challenge) return std::nullopt;
  const ProjectSettings& settings = found.project->settings;
  json brand = {{"require_verification", settings.requireVerification}};
  if (!settings.logo.empty()) brand["logo"] = settings.logo;
  if (!settings.primaryColor.empty()) brand["primary_color"] = settings.primaryColor;
  json user = {{"_id", found.challenge->user}};
  if (!found.user->profile.email.empty()) user["email"] = found.user->profile.email;
  if (!found.user->profile.phone.empty()) user["phone"] = found.user->profile.phone;
  return json{{"_id", found.challenge->id},
              {"project", {{"_id", projectId}, {"name", projectName(projectId, *found.project)}}},
              {"brand", std::move(brand)},
              {"user", std::move(user)},
              {"channels", {"email", "text"}},
              {"status", found.challenge->verified ? "verified" : "open"}};
}

std::optional<nlohmann::json> ServiceState::challengeDevices(const std::string& projectId,
                                                             const std::string& challengeId) const {
  using nlohmann::json;
  std::lock_guard lock(mutex_);
  const Found found = findLocked(projectId, challengeId);
  if (!found.challenge) return std::nullopt;
  json devices = json::array();
  for (const Device& device : found.user->devices) {
    devices.push_back({{"_id", device.id},
                       {"info", deviceInfoOf(device)},
                       {"createdAt", isoTimeMillis(device.attachedAt)},
                       {"updatedAt", isoTimeMillis(device.lastSeenAt)},
                       {"last_access", {{"geolocation", {{"city", "Lyon"}, {"country", "FR"}}}}}});
  }
  return devices;
}

std::optional<nlohmann::json> ServiceState::deviceLimit(const std::string& projectId,
                                                        const std::string& challengeId) const {
  std::lock_guard lock(mutex_);
  const Found found = findLocked(projectId, challengeId);
  if (!found.challenge) return std::nullopt;
  const Counts counts(*found.user);
  const ProjectSettings& settings = found.project->settings;
  return nlohmann::json{{"attached_devices",
                         {{"total", found.user->devices.size()},
                          {"devices",
                           {{"computers", counts.computers},
                            {"tablets", counts.tablets},
                            {"mobiles", counts.mobiles}}}}},
                        {"default_overall_limit", settings.overallLimit},
                        {"computer_device_limit", settings.computerLimit},
                        {"tablet_device_limit", settings.tabletLimit},
                        {"mobile_device_limit", settings.mobileLimit}};
}

std::optional<std::string> ServiceState::challengeProject(const std::string& challengeId) const {
  std::lock_guard lock(mutex_);
  const auto challenge = challenges_.find(challengeId);
  if (challenge == challenges_.end()) return std::nullopt;
  return challenge->second.project;
}

std::optional<std::string> ServiceState::sendCode(const std::string& projectId,
                                                  const std::string& challengeId,
                                                  const std::string& channel) {
  std::lock_guard lock(mutex_);
  if (!findLocked(projectId, challengeId).challenge) return std::nullopt;
  Challenge& challenge = challenges_.at(challengeId);
  challenge.code = newCodeLocked(challenge.code);
  if (!channel.empty()) {
    challenge.channel = channel;
  } else if (challenge.channel.empty()) {
    challenge.channel = "email";
  }
  ++challenge.codesSent;
  return challenge.code;
}

std::optional<bool> ServiceState::checkCode(const std::string& projectId,
                                            const std::string& challengeId,
                                            const std::string& code) {
  std::lock_guard lock(mutex_);
  if (!findLocked(projectId, challengeId).challenge) return std::nullopt;
  Challenge& challenge = challenges_.at(challengeId);
  ++challenge.checks;
  const bool right = !challenge.code.empty() && code == challenge.code;
  if (right) challenge.verified = true;
  return right;
}

nlohmann::json ServiceState::challengeStateLocked(const Challenge& challenge) const {
  using nlohmann::json;
  return {{"challenge", challenge.id},
          {"client_id", challenge.project},
          {"user", challenge.user},
          {"reason", challenge.reason},
          {"created_at", isoTimeMillis(challenge.createdAt)},
          {"code", challenge.code.empty() ? json(nullptr) : json(challenge.code)},
          {"channel", challenge.channel.empty() ? json(nullptr) : json(challenge.channel)},
          {"codes_sent", challenge.codesSent},
          {"checks", challenge.checks},
          {"verified", challenge.verified}};
}

std::optional<nlohmann::json> ServiceState::challengeState(const std::string& challengeId) const {
  std::lock_guard lock(mutex_);
  auto challenge = challenges_.find(challengeId);
  if (challenge == challenges_.end()) return std::nullopt;
  return challengeStateLocked(challenge->second);
}

AttachResult ServiceState::attach(const AttachInput& input) {
  std::lock_guard lock(mutex_);
  Project& project = projectLocked(input.project);
  User& user = project.users[input.user];
  const auto now = Clock::now();

  auto device = std::find_if(user.devices.begin(), user.devices.end(),
                             [&](const Device& d) { return d.vendorId == input.vendorId; });
  if (device == user.devices.end()) {
    Device fresh;
    fresh.id = "dev_" + randomHexLocked(12);
    fresh.vendorId = input.vendorId;
    fresh.attachedAt = now;
    user.devices.push_back(std::move(fresh));
    device = std::prev(user.devices.end());
  }
  device->library = input.library;
  device->version = input.version;
  device->identity = input.identity;
  device->deviceInfo = input.deviceInfo;
  device->type = deviceTypeOf(input.deviceInfo);
  device->metadata = input.metadata;
  device->lastSeenAt = now;
  device->lastAccess = "acc_" + randomHexLocked(16);
  device->accesses.insert(device->lastAccess);

  AttachResult result;
  result.deviceId = device->id;
  result.access = device->lastAccess;
  result.attachedDevices = user.devices.size();
  result.blockOverUsage = project.settings.blockOverUsage;
  result.defaultDeviceLimit = project.settings.overallLimit;

  const ProjectSettings& settings = project.settings;
  const DeviceType type = device->type;
  const int ofType = Counts(user).of(type);
  const int limitOfType = typeLimit(settings, type);
  if (static_cast<long long>(user.devices.size()) > settings.overallLimit) {
    result.challenge = raiseLocked(input.project, user, input.user, "overall");
  } else if (limitOfType > 0 && ofType > limitOfType) {
    result.challenge =
        raiseLocked(input.project, user, input.user, std::string(deviceTypeName(type)));
  }
  return result;
}

DetachResult ServiceState::detach(const std::string& projectId, const std::string& userName,
                                  const std::string& deviceId) {
  std::lock_guard lock(mutex_);
  DetachResult result;
  Project& project = projectLocked(projectId);
  auto user = project.users.find(userName);
  if (user == project.users.end()) return result;
  auto& devices = user->second.devices;
  auto device = std::find_if(devices.begin(), devices.end(),
                             [&](const Device& d) { return d.id == deviceId; });
  if (device == devices.end()) return result;
  devices.erase(device);
  result.found = true;
  result.deviceId = deviceId;
  result.attachedDevices = devices.size();
  return result;
}

IdentifyResult ServiceState::identify(const IdentifyInput& input) {
  std::lock_guard lock(mutex_);
  Project& project = projectLocked(input.project);
  const auto now = Clock::now();

  if (!input.identityId.empty()) {
    auto known = project.identities.find(input.identityId);
    if (known != project.identities.end()) {
      known->second.lastSeenAt = now;
      return {known->first, 1.0};
    }
  }

  auto byVendor = project.identityByVendorId.find(input.vendorId);
  if (byVendor == project.identityByVendorId.end()) {
    Identity fresh;
    fresh.id = "id_" + randomHexLocked(12);
    fresh.vendorId = input.vendorId;
    fresh.createdAt = now;
    byVendor = project.identityByVendorId.emplace(input.vendorId, fresh.id).first;
    project.identities.emplace(fresh.id, std::move(fresh));
  }
  Identity& identity = project.identities.at(byVendor->second);
  identity.deviceInfo = input.deviceInfo;
  identity.lastSeenAt = now;
  return {identity.id, 0.9};
}

ListenCheck ServiceState::checkListen(const std::string& projectId, const std::string& deviceId,
                                      const std::string& access) const {
  std::lock_guard lock(mutex_);
  auto project = projects_.find(projectId);
  if (project == projects_.end()) return ListenCheck::unknownDevice;
  for (const auto& [name, user] : project->second.users) {
    for (const Device& device : user.devices) {
      if (device.id != deviceId) continue;
      return device.accesses.contains(access) ? ListenCheck::ok : ListenCheck::unknownAccess;
    }
  }
  return ListenCheck::unknownDevice;
}

void ServiceState::record(RecordedRequest request) {
  std::lock_guard lock(mutex_);
  requests_.push_back(std::move(request));
}

std::vector<RecordedRequest> ServiceState::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void ServiceState::clearRequests() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

void ServiceState::pushScript(Operation operation, ScriptedAnswer answer) {
  std::lock_guard lock(mutex_);
  scripts_[operation].push_back(std::move(answer));
}

std::optional<ScriptedAnswer> ServiceState::takeScript(Operation operation,
                                                       std::string_view device) {
  std::lock_guard lock(mutex_);
  auto queue = scripts_.find(operation);
  if (queue == scripts_.end()) return std::nullopt;
  auto& answers = queue->second;
  auto match = std::find_if(answers.begin(), answers.end(), [&](const ScriptedAnswer& answer) {
    return answer.device.empty() || answer.device == device;
  });
  if (match == answers.end()) return std::nullopt;
  ScriptedAnswer answer = std::move(*match);
  answers.erase(match);
  return answer;
}

nlohmann::json ServiceState::dump() const {
  using nlohmann::json;
  std::lock_guard lock(mutex_);
  json projects = json::object();
  for (const auto& [clientId, project] : projects_) {
    json users = json::object();
    for (const auto& [name, user] : project.users) {
      json devices = json::array();
      for (const Device& d : user.devices) {
        devices.push_back({{"device_id", d.id},
                           {"vendor_identifier", d.vendorId},
                           {"type", deviceTypeName(d.type)},
                           {"library", d.library},
                           {"version", d.version},
                           {"identity", d.identity},
                           {"last_access", d.lastAccess},
                           {"device_info", d.deviceInfo},
                           {"metadata", d.metadata},
                           {"attached_at", isoTimeMillis(d.attachedAt)},
                           {"last_seen_at", isoTimeMillis(d.lastSeenAt)}});
      }
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
  json scripts = json::object();
  for (const auto& [operation, queue] : scripts_) {
    json pending = json::array();
    for (const ScriptedAnswer& answer : queue) {
      json entry = {{"status", answer.status}, {"body", answer.body}};
      if (answer.stream == ScriptedAnswer::Stream::stall) entry = {{"stall", true}};
      if (answer.stream == ScriptedAnswer::Stream::drip)
        entry = {
            {"drip", answer.drip}, {"chunk", answer.chunk}, {"interval", answer.interval.count()}};
      if (!answer.device.empty()) entry["device"] = answer.device;
      pending.push_back(std::move(entry));
    }
    scripts[std::string(operationName(operation))] = std::move(pending);
  }
  json challenges = json::object();
  for (const auto& [id, challenge] : challenges_) challenges[id] = challengeStateLocked(challenge);
  return {{"projects", std::move(projects)},
          {"challenges", std::move(challenges)},
          {"pending_scripts", std::move(scripts)},
          {"recorded_requests", requests_.size()}};
}

}  // namespace zelk::sandbox
