// SPDX-License-Identifier: Apache-2.0
// The device limits and liveness, as plain functions over one user's records: which devices
// still count, which limit an attach breaks, and which device an eviction takes.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "storage/records.hpp"

namespace zelk::server {

// What the streams say of a device, wherever they are held.
struct Activity {
  bool streaming = false;     // a stream of it is open now
  Clock::time_point endedAt;  // when its last stream ended; the epoch when none ever did
};

// What every rule is decided with besides the user's records.
struct RuleContext {
  const ProjectSettings& settings;
  Clock::time_point now;  // the time the rules go by
  // No device counts as idle since before this: the service was away until then, and a device
  // could not reach it to open a stream.
  Clock::time_point floor;
  std::function<Activity(const Device&)> activity;
};

// Whether `device` still counts as attached: a stream of it is open, or its grace is not over
// since its attach or its last stream's end, whichever came later.
bool isLive(const Device& device, const RuleContext& context);
// When `device` was last seen active: now while a stream of it is open, else when its last
// stream ended or its last attach, whichever came later.
Clock::time_point lastActive(const Device& device, const RuleContext& context);

// How many devices of each type.
struct DeviceCounts {
  int mobiles = 0, tablets = 0, computers = 0;

  explicit DeviceCounts(const std::vector<const Device*>& devices);
  int of(DeviceType type) const;
};

// The devices of `user` that count, in the user's order.
std::vector<const Device*> liveDevices(const UserRecord& user, const RuleContext& context);

// The limit `devices` break, if any: "overall", or the type `attached` when there are more
// devices of that type than its limit.
std::optional<std::string> brokenLimit(const ProjectSettings& settings,
                                       const std::vector<const Device*>& devices,
                                       DeviceType attached);
// Whether one more device of `type` would take `devices` over a limit.
bool oneMoreBreaksALimit(const ProjectSettings& settings, const std::vector<const Device*>& devices,
                         DeviceType type);
bool withinLimits(const ProjectSettings& settings, const std::vector<const Device*>& devices);

// The device an eviction for `reason` (a limit brokenLimit() named) takes to make room for
// `attached`: the least recently active one in the way, never `attached` itself nor a trusted
// device; nullptr when none is in the way.
const Device* evictionVictim(const UserRecord& user, const Device& attached,
                             const std::string& reason, const RuleContext& context);

// The project's settings with the user's own limits in place of the project's, while they hold.
ProjectSettings userLimits(const ProjectSettings& project, const UserRecord& user,
                           Clock::time_point now);

// All of `user`'s devices, as the limits look at them.
std::vector<const Device*> allDevices(const UserRecord& user);

}  // namespace zelk::server
