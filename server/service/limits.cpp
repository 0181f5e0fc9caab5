// SPDX-License-Identifier: Apache-2.0
#include "service/limits.hpp"

#include <algorithm>
#include <utility>

namespace zelk::server {
namespace {

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

}  // namespace

bool isLive(const Device& device, const RuleContext& context) {
  const int grace = context.settings.livenessGraceSeconds;
  if (grace <= 0) return true;
  const auto until = std::chrono::seconds(grace);
  // A device seen lately needs no look at its streams.
  const Clock::time_point seen = std::max(context.floor, device.lastSeenAt);
  if (context.now < seen + until) return true;
  const Activity activity = context.activity(device);
  if (activity.streaming) return true;
  return context.now < std::max(seen, activity.endedAt) + until;
}

Clock::time_point lastActive(const Device& device, const RuleContext& context) {
  const Activity activity = context.activity(device);
  if (activity.streaming) return context.now;
  return std::max(device.lastSeenAt, activity.endedAt);
}

DeviceCounts::DeviceCounts(const std::vector<const Device*>& devices) {
  for (const Device* device : devices) {
    switch (device->type) {
      case DeviceType::tablet:
        ++tablets;
        break;
      case DeviceType::computer:
        ++computers;
        break;
      case DeviceType::mobile:
        ++mobiles;
        break;
    }
  }
}

int DeviceCounts::of(DeviceType type) const {
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

ProjectSettings userLimits(const ProjectSettings& project, const UserRecord& user,
                           Clock::time_point now) {
  ProjectSettings settings = project;
  const std::optional<LimitOverride>& own = user.limitOverride;
  if (!own || !own->activeAt(now)) return settings;
  if (own->overall) settings.overallLimit = *own->overall;
  if (own->mobile) settings.mobileLimit = *own->mobile;
  if (own->tablet) settings.tabletLimit = *own->tablet;
  if (own->computer) settings.computerLimit = *own->computer;
  return settings;
}

std::vector<const Device*> allDevices(const UserRecord& user) {
  std::vector<const Device*> devices;
  devices.reserve(user.devices.size());
  for (const Device& device : user.devices) devices.push_back(&device);
  return devices;
}

std::vector<const Device*> liveDevices(const UserRecord& user, const RuleContext& context) {
  std::vector<const Device*> devices;
  for (const Device& device : user.devices) {
    if (isLive(device, context)) devices.push_back(&device);
  }
  return devices;
}

std::optional<std::string> brokenLimit(const ProjectSettings& settings,
                                       const std::vector<const Device*>& devices,
                                       DeviceType attached) {
  if (static_cast<long long>(devices.size()) > settings.overallLimit) return "overall";
  const int limit = typeLimit(settings, attached);
  if (limit > 0 && DeviceCounts(devices).of(attached) > limit)
    return std::string(deviceTypeName(attached));
  return std::nullopt;
}

bool oneMoreBreaksALimit(const ProjectSettings& settings, const std::vector<const Device*>& devices,
                         DeviceType type) {
  if (static_cast<long long>(devices.size()) + 1 > settings.overallLimit) return true;
  const int limit = typeLimit(settings, type);
  return limit > 0 && DeviceCounts(devices).of(type) + 1 > limit;
}

bool withinLimits(const ProjectSettings& settings, const std::vector<const Device*>& devices) {
  for (DeviceType type : {DeviceType::mobile, DeviceType::tablet, DeviceType::computer}) {
    if (brokenLimit(settings, devices, type)) return false;
  }
  return true;
}

const Device* evictionVictim(const UserRecord& user, const Device& attached,
                             const std::string& reason, const RuleContext& context) {
  const Device* victim = nullptr;
  Clock::time_point victimActive;
  for (const Device& other : user.devices) {
    if (other.id == attached.id || (reason != "overall" && other.type != attached.type)) continue;
    // A device the owner vouched for is never pushed out by the limits.
    if (const KnownDevice* known = user.known(other.vendorId); known && known->trusted(context.now))
      continue;
    const Clock::time_point active = lastActive(other, context);
    // Ties (streams open on both) go by the last attach.
    if (!victim ||
        std::pair(active, other.lastSeenAt) < std::pair(victimActive, victim->lastSeenAt)) {
      victim = &other;
      victimActive = active;
    }
  }
  return victim;
}

}  // namespace zelk::server
