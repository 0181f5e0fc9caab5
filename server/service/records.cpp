// SPDX-License-Identifier: Apache-2.0
#include "service/records.hpp"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace zelk::server {

DeviceType deviceTypeOf(const nlohmann::json& deviceInfo) {
  if (!deviceInfo.is_object()) return DeviceType::mobile;
  auto device = deviceInfo.find("device");
  if (device == deviceInfo.end() || !device->is_object()) return DeviceType::mobile;
  auto type = device->find("type");
  if (type == device->end() || !type->is_string()) return DeviceType::mobile;
  return deviceTypeFromName(type->get_ref<const std::string&>());
}

DeviceType deviceTypeFromName(std::string_view name) {
  if (name == "tablet") return DeviceType::tablet;
  if (name == "computer") return DeviceType::computer;
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
          {"block_over_usage", settings.blockOverUsage},
          {"limit_policy", limitPolicyName(settings.limitPolicy)}};
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

std::int64_t toMillis(Clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

Clock::time_point fromMillis(std::int64_t millis) {
  return Clock::time_point(
      std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(millis)));
}

const std::string& Device::lastAccess() const {
  static const std::string kNone;
  return accesses.empty() ? kNone : accesses.back();
}

bool Device::hasAccess(std::string_view access) const {
  return std::find(accesses.begin(), accesses.end(), access) != accesses.end();
}

}  // namespace zelk::server
