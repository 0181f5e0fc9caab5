// SPDX-License-Identifier: Apache-2.0
#include "service/devices.hpp"

#include <algorithm>
#include <iterator>

#include "service/challenges.hpp"
#include "service/ids.hpp"

namespace zelk::server {
namespace {

using nlohmann::json;

// Removes a device of the user (which must have it) as a detach does; the logout order for its
// open streams. `why` says what removed it: "detach", "operator", "idle" or "evicted", as the
// webhook event tells it.
Delivery removeDevice(UserEdit& edit, const std::string& deviceId, const char* why,
                      const RuleContext& context) {
  UserRecord& user = edit.user();
  const Device& device = *user.device(deviceId);
  const std::string& project = user.key.project;
  const json subject = {{"user", user.key.user},
                        {"device", {{"id", deviceId}, {"type", deviceTypeName(device.type)}}}};
  Changes& changes = edit.changes();
  if (std::string_view(why) == "evicted") {
    // An eviction is a detach the device did not ask for: told as its own event.
    addAudit(changes, project, "device.evicted", user.key.user, {{"device", deviceId}});
    addEvent(changes, project, context.settings, "device.evicted", subject);
  } else {
    json detached = subject;
    detached["reason"] = why;
    addEvent(changes, project, context.settings, "device.detached", std::move(detached));
  }
  Delivery logout{deviceId, device.lastEventId + 1, logoutData()};
  // A stream of the device that is down now hears the logout when it comes back.
  edit.removeDevice(deviceId, logout.id, context.now);
  return logout;
}

}  // namespace

std::string challengeNoticeData(const std::string& challengeId) {
  return columns::dumpJSON(json{{"action", "challenge"}, {"challenge", {{"_id", challengeId}}}});
}

std::string logoutData() {
  return "\"logout\"";
}

std::vector<Delivery> expireDevices(UserEdit& edit, const RuleContext& context) {
  std::vector<std::string> quiet;
  for (const Device& device : edit.user().devices) {
    if (!isLive(device, context)) quiet.push_back(device.id);
  }
  std::vector<Delivery> logouts;
  for (const std::string& id : quiet) logouts.push_back(removeDevice(edit, id, "idle", context));
  if (!logouts.empty()) resolveWithinLimits(edit, context);
  return logouts;
}

std::string userSignature(const std::string& secret, const std::string& user) {
  return hmacSha256Hex(secret, user);
}

Signature checkSignature(const ProjectSettings& settings, const AttachInput& input) {
  if (settings.userSecret.empty() || !input.userSignature) return Signature::none;
  return sameSecret(*input.userSignature, userSignature(settings.userSecret, input.user))
             ? Signature::right
             : Signature::wrong;
}

AttachResult attachDevice(UserEdit& edit, AttachInput input, const RuleContext& context) {
  UserRecord& user = edit.user();
  const ProjectSettings& settings = context.settings;
  const LimitPolicy policy = settings.limitPolicy;
  const DeviceType reportedType = deviceTypeOf(input.deviceInfo);
  // Devices gone quiet past their grace go first: they hold no slot.
  std::vector<Delivery> expired = expireDevices(edit, context);
  auto device = std::find_if(user.devices.begin(), user.devices.end(),
                             [&](const Device& d) { return d.vendorId == input.vendorId; });
  if (device == user.devices.end() && input.maxDevices > 0 &&
      user.devices.size() >= input.maxDevices) {
    AttachResult full;
    full.full = true;
    full.attachedDevices = user.devices.size();
    full.expired = std::move(expired);
    return full;
  }
  if (device == user.devices.end() && policy == LimitPolicy::block &&
      oneMoreBreaksALimit(settings, allDevices(user), reportedType)) {
    // Nothing is attached: the host hears of it and decides.
    AttachResult refused;
    refused.blocked = true;
    refused.attachedDevices = user.devices.size();
    refused.blockOverUsage = true;
    refused.defaultDeviceLimit = settings.overallLimit;
    refused.expired = std::move(expired);
    return refused;
  }
  const bool added = device == user.devices.end();
  if (added) {
    Device fresh;
    fresh.id = newId("dev_");
    fresh.vendorId = input.vendorId;
    fresh.attachedAt = context.now;
    user.devices.push_back(std::move(fresh));
    device = std::prev(user.devices.end());
  }
  device->library = std::move(input.library);
  device->version = std::move(input.version);
  device->identity = std::move(input.identity);
  // An app back in the foreground mostly reports what it did last time: the device keeps the
  // documents it has then, and its row shares them.
  if (device->deviceInfo != input.deviceInfo)
    device->deviceInfo = SharedJSON(std::move(input.deviceInfo));
  device->type = reportedType;
  if (device->metadata != input.metadata) device->metadata = SharedJSON(std::move(input.metadata));
  device->lastSeenAt = context.now;
  if (input.location) device->location = std::move(*input.location);
  device->accesses.push_back(newId("acc_"));
  if (device->accesses.size() > kMaxAccesses)
    device->accesses.erase(device->accesses.begin(),
                           device->accesses.end() - static_cast<std::ptrdiff_t>(kMaxAccesses));
  edit.touchDevice(device->id);
  if (added)
    addEvent(edit.changes(), user.key.project, settings, "device.attached",
             {{"user", user.key.user},
              {"device", {{"id", device->id}, {"type", deviceTypeName(device->type)}}}});

  AttachResult result;
  result.expired = std::move(expired);
  result.deviceId = device->id;
  result.access = device->lastAccess();
  result.attachedDevices = user.devices.size();
  result.blockOverUsage = settings.blockOverUsage;
  result.defaultDeviceLimit = settings.overallLimit;
  const std::string attachedId = device->id;
  const DeviceType type = device->type;
  if (policy == LimitPolicy::evictOldest && input.signedUser) {
    // The least recently active devices in the way go, never the one attaching. Only for a user
    // the app's backend vouched for: anyone can attach as anyone with the public client id, and
    // must not log the real user out that way.
    while (auto reason = brokenLimit(settings, allDevices(user), type)) {
      const Device* victim = evictionVictim(user, *user.device(attachedId), *reason, context);
      if (!victim) break;
      const std::string victimId = victim->id;
      result.evicted.push_back(removeDevice(edit, victimId, "evicted", context));
    }
    result.attachedDevices = user.devices.size();
    resolveWithinLimits(edit, context);
    // Only trusted devices are left in the way: the owner decides, as without eviction.
    if (auto reason = brokenLimit(settings, allDevices(user), type))
      result.challenge = challengeAtTheLimit(edit, std::move(*reason), attachedId, context);
  } else if (auto reason = brokenLimit(settings, allDevices(user), type)) {
    if (policy != LimitPolicy::block) {
      // An unsigned user of an evicting project is challenged instead.
      result.challenge = challengeAtTheLimit(edit, std::move(*reason), attachedId, context);
    } else {
      result.blockOverUsage = true;  // a device already known, over limits lowered since
    }
  }
  return result;
}

DetachResult detachDevice(UserEdit& edit, const std::string& deviceId, const RuleContext& context,
                          const char* why) {
  DetachResult result;
  if (!edit.user().device(deviceId)) return result;
  result.logout = removeDevice(edit, deviceId, why, context);
  resolveWithinLimits(edit, context);
  result.found = true;
  result.deviceId = deviceId;
  result.attachedDevices = edit.user().devices.size();
  return result;
}

std::optional<Delivery> sendLogout(UserEdit& edit, const std::string& deviceId,
                                   Clock::time_point now) {
  Device* device = edit.user().device(deviceId);
  if (!device) return std::nullopt;
  return edit.send(*device, logoutData(), now);
}

ListenStart listenStart(const UserRecord& user, const std::string& deviceId,
                        const std::string& access, std::optional<std::uint64_t> resumeAfter,
                        bool repeatOpenChallenges) {
  ListenStart start;
  const Device* device = user.device(deviceId);
  if (!device) return start;
  if (!device->hasAccess(access)) {
    start.check = ListenCheck::unknownAccess;
    return start;
  }
  start.check = ListenCheck::ok;
  start.upTo = device->lastEventId;
  if (resumeAfter && *resumeAfter <= device->lastEventId) {
    for (const KeptMessage& message : device->messages) {
      if (message.id > *resumeAfter) start.catchUp.push_back({deviceId, message.id, message.data});
    }
  } else if (repeatOpenChallenges) {
    // The newest open challenge stands for the older ones: a device shows one at a time.
    const auto newest = std::find_if(user.challenges.rbegin(), user.challenges.rend(),
                                     [](const Challenge& c) { return c.open(); });
    if (newest != user.challenges.rend())
      start.catchUp.push_back({deviceId, device->lastEventId, challengeNoticeData(newest->id)});
    // The stream learns where the device's messages stand, so that after a drop it resumes
    // from there and misses nothing sent meanwhile.
    if (start.catchUp.empty() && device->lastEventId > 0)
      start.catchUp.push_back({deviceId, device->lastEventId, {}});
  }
  return start;
}

ListenStart listenDetached(const DetachedDevice& detached, const std::string& project,
                           const std::string& access, std::optional<std::uint64_t> resumeAfter) {
  ListenStart start;
  if (detached.project != project || project.empty()) return start;
  const auto& accesses = detached.accesses;
  if (std::find(accesses.begin(), accesses.end(), access) == accesses.end()) return start;
  start.check = ListenCheck::loggedOut;
  start.upTo = detached.logoutId;
  if (!resumeAfter || *resumeAfter < detached.logoutId)
    start.catchUp.push_back({detached.id, detached.logoutId, logoutData()});
  return start;
}

}  // namespace zelk::server
