#include "service_state.hpp"

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <iterator>

namespace zelk::sandbox {
namespace {

std::string isoTime(Clock::time_point time) {
  const std::time_t seconds = Clock::to_time_t(time);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

}  // namespace

std::optional<Operation> operationFromName(std::string_view name) {
  if (name == "attach") return Operation::attach;
  if (name == "detach") return Operation::detach;
  if (name == "identify") return Operation::identify;
  if (name == "listen") return Operation::listen;
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
  device->metadata = input.metadata;
  device->lastSeenAt = now;
  device->lastAccess = "acc_" + randomHexLocked(16);
  device->accesses.insert(device->lastAccess);

  AttachResult result;
  result.deviceId = device->id;
  result.access = device->lastAccess;
  result.attachedDevices = user.devices.size();
  result.blockOverUsage = project.blockOverUsage;
  result.defaultDeviceLimit = project.defaultDeviceLimit;
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
                           {"library", d.library},
                           {"version", d.version},
                           {"identity", d.identity},
                           {"last_access", d.lastAccess},
                           {"device_info", d.deviceInfo},
                           {"metadata", d.metadata},
                           {"attached_at", isoTime(d.attachedAt)},
                           {"last_seen_at", isoTime(d.lastSeenAt)}});
      }
      users[name] = {{"devices", std::move(devices)}};
    }
    json identities = json::array();
    for (const auto& [id, identity] : project.identities) {
      identities.push_back({{"identity", id},
                            {"vendor_identifier", identity.vendorId},
                            {"device_info", identity.deviceInfo},
                            {"created_at", isoTime(identity.createdAt)},
                            {"last_seen_at", isoTime(identity.lastSeenAt)}});
    }
    projects[clientId] = {{"default_device_limit", project.defaultDeviceLimit},
                          {"block_over_usage", project.blockOverUsage},
                          {"users", std::move(users)},
                          {"identities", std::move(identities)}};
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
  return {{"projects", std::move(projects)},
          {"pending_scripts", std::move(scripts)},
          {"recorded_requests", requests_.size()}};
}

}  // namespace zelk::sandbox
