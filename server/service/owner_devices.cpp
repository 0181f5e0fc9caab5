// SPDX-License-Identifier: Apache-2.0
#include "service/owner_devices.hpp"

#include <algorithm>

#include "service/challenges.hpp"
#include "service/codes.hpp"
#include "service/ids.hpp"

namespace zelk::server {
namespace {

using nlohmann::json;

std::chrono::hours changeWindow(const ProjectSettings& settings) {
  return std::chrono::hours(24 * std::max(1, settings.deviceChangesDays));
}

// The known device of `vendorId`, added when there is none; the first seen go past the bound.
KnownDevice& knownDevice(UserRecord& user, const std::string& vendorId, Clock::time_point now) {
  if (KnownDevice* known = user.known(vendorId)) return *known;
  if (user.knownDevices.size() >= kMaxKnownDevices)
    user.knownDevices.erase(user.knownDevices.begin());
  KnownDevice& added = user.knownDevices.emplace_back();
  added.vendorId = vendorId;
  added.firstSeenAt = now;
  return added;
}

// What the e-mail says of the device: its type and model and system as reported, where it
// came from when known, and when.
json noticeDevice(const Device& device, Clock::time_point at) {
  json entry = deviceEntry(device);
  json described = {{"type", deviceTypeName(device.type)}, {"at", isoTimeMillis(at)}};
  const json& details = entry["info"]["device"];
  if (details.contains("model")) described["model"] = details["model"];
  const json& os = entry["info"]["os"];
  if (os.contains("name")) described["os"] = os["name"];
  if (device.location.known()) described["location"] = locationJSON(device.location);
  return described;
}

}  // namespace

bool isTrusted(const UserRecord& user, const Device& device, Clock::time_point now) {
  const KnownDevice* known = user.known(device.vendorId);
  return known && known->trusted(now);
}

std::optional<Clock::time_point> nextDeviceChange(const UserRecord& user,
                                                  const ProjectSettings& settings,
                                                  Clock::time_point now) {
  const int cap = settings.deviceChangesLimit;
  if (cap <= 0) return std::nullopt;
  const auto since = now - changeWindow(settings);
  std::vector<Clock::time_point> inWindow;
  for (const auto at : user.deviceChanges) {
    if (at > since) inWindow.push_back(at);
  }
  if (static_cast<int>(inWindow.size()) < cap) return std::nullopt;
  // The change that leaves the window first makes room: the cap-th newest.
  std::sort(inWindow.begin(), inWindow.end());
  return inWindow[inWindow.size() - static_cast<std::size_t>(cap)] + changeWindow(settings);
}

void countDeviceChange(UserEdit& edit, const ProjectSettings& settings, Clock::time_point now) {
  std::vector<Clock::time_point>& changes = edit.user().deviceChanges;
  const auto since = now - changeWindow(settings);
  std::erase_if(changes, [&](Clock::time_point at) { return at <= since; });
  changes.push_back(now);
  // However long the window, no more than the cap is ever needed to decide.
  const auto keep = static_cast<std::size_t>(std::max(1, settings.deviceChangesLimit));
  if (changes.size() > keep)
    changes.erase(changes.begin(), changes.end() - static_cast<std::ptrdiff_t>(keep));
  edit.profileChanged();
}

bool detachChangesDevices(const UserRecord& user, const std::string& deviceId) {
  return std::any_of(user.challenges.begin(), user.challenges.end(), [&](const Challenge& c) {
    return c.open() && c.reason != "manual" && !c.device.empty() && c.device != deviceId;
  });
}

OwnerCheck checkOwner(const UserRecord& user, const std::string& caller,
                      const std::string& access) {
  const Device* device = user.device(caller);
  if (!device) return OwnerCheck::unknownDevice;
  return device->hasAccess(access) ? OwnerCheck::ok : OwnerCheck::unknownAccess;
}

json ownerDevicesJSON(const UserRecord& user, const std::string& caller,
                      const RuleContext& context) {
  json devices = json::array();
  for (const Device* device : liveDevices(user, context)) {
    json entry = deviceEntry(*device);
    entry["current"] = device->id == caller;
    if (const KnownDevice* known = user.known(device->vendorId);
        known && known->trusted(context.now))
      entry["trusted_until"] = isoTimeMillis(known->trustedUntil);
    devices.push_back(std::move(entry));
  }
  json answer = {{"device_id", caller}, {"devices", std::move(devices)}};
  const ProjectSettings& settings = context.settings;
  if (settings.deviceChangesLimit > 0) {
    const auto since = context.now - changeWindow(settings);
    const auto used = std::count_if(user.deviceChanges.begin(), user.deviceChanges.end(),
                                    [&](Clock::time_point at) { return at > since; });
    json swaps = {{"limit", settings.deviceChangesLimit},
                  {"days", std::max(1, settings.deviceChangesDays)},
                  {"used", used}};
    if (const auto next = nextDeviceChange(user, settings, context.now))
      swaps["next_change_at"] = isoTimeMillis(*next);
    answer["swaps"] = std::move(swaps);
  }
  return answer;
}

std::string noticeCodeHash(const std::string& codeKey, const std::string& vendorId,
                           const std::string& code) {
  return hmacSha256Hex(codeKey, "notice:" + vendorId + ":" + code);
}

OwnerLogoutResult ownerLogout(UserEdit& edit, const std::string& caller, const std::string& target,
                              bool byCode, const std::string& codeKey, const RuleContext& context) {
  OwnerLogoutResult result;
  UserRecord& user = edit.user();
  const std::string& project = user.key.project;
  std::string victim = target;
  if (byCode) {
    result.status = OwnerLogout::unknownCode;
    const std::string code = normalShortCode(target);
    if (code.empty()) return result;
    KnownDevice* named = nullptr;
    for (KnownDevice& known : user.knownDevices) {
      if (known.code.empty() || context.now >= known.codeUntil) continue;
      if (sameSecret(noticeCodeHash(codeKey, known.vendorId, code), known.code)) named = &known;
    }
    if (!named) {
      addAudit(edit.changes(), project, "device.notice_code_rejected", user.key.user,
               {{"by", caller}});
      return result;
    }
    // Good once, whether or not the device is still attached.
    named->code.clear();
    edit.profileChanged();
    const auto device =
        std::find_if(user.devices.begin(), user.devices.end(),
                     [&](const Device& d) { return d.vendorId == named->vendorId; });
    result.status = OwnerLogout::unknownDevice;
    if (device == user.devices.end()) return result;
    victim = device->id;
  } else {
    result.status = OwnerLogout::unknownDevice;
    if (!user.device(victim)) return result;
    if (victim != caller) {
      if (const auto next = nextDeviceChange(user, context.settings, context.now)) {
        result.status = OwnerLogout::tooSoon;
        result.nextChangeAt = *next;
        addAudit(edit.changes(), project, "device.change_refused", user.key.user,
                 {{"by", caller}, {"device", victim}, {"next_change_at", isoTimeMillis(*next)}});
        return result;
      }
      countDeviceChange(edit, context.settings, context.now);
    }
  }
  addAudit(edit.changes(), project, "device.signed_out_by_owner", user.key.user,
           {{"by", caller}, {"device", victim}, {"with_code", byCode}});
  result.detached = detachDevice(edit, victim, context, "owner");
  result.status = OwnerLogout::done;
  return result;
}

void rememberDevice(UserEdit& edit, const std::string& deviceId, const std::string& codeKey,
                    const RuleContext& context) {
  UserRecord& user = edit.user();
  const Device* device = user.device(deviceId);
  if (!device || user.known(device->vendorId)) return;
  // A user known by no device yet (new, or stored before devices were remembered) is told of
  // none: the devices attached now are the owner's own, as far as anyone can tell.
  const bool seenBefore = !user.knownDevices.empty();
  if (!seenBefore) {
    for (const Device& each : user.devices) knownDevice(user, each.vendorId, context.now);
  }
  KnownDevice& known = knownDevice(user, device->vendorId, context.now);
  edit.profileChanged();
  const ProjectSettings& settings = context.settings;
  if (!seenBefore || !settings.newDeviceNotices || user.profile.email.empty()) return;
  const auto hourAgo = context.now - std::chrono::hours(1);
  const auto toldWithinTheHour =
      std::count_if(user.knownDevices.begin(), user.knownDevices.end(),
                    [&](const KnownDevice& each) { return each.toldAt > hourAgo; });
  if (toldWithinTheHour >= kNoticesPerHour) return;
  const std::string code = newShortCode();
  known.toldAt = context.now;
  known.code = noticeCodeHash(codeKey, known.vendorId, normalShortCode(code));
  known.codeUntil = context.now + kNoticeCodeLifetime;
  OutboxMessage message;
  message.id = newId("msg_");
  message.kind = "notice";
  message.project = user.key.project;
  message.payload = columns::dumpJSON(json{{"user", user.key.user},
                                           {"to", user.profile.email},
                                           {"device", noticeDevice(*device, context.now)},
                                           {"sealed", sealCode(codeKey, code)}});
  message.createdAt = message.nextAttemptAt = Clock::now();
  edit.changes().outbox.push_back(std::move(message));
  addAudit(edit.changes(), user.key.project, "device.notice_sent", user.key.user,
           {{"device", deviceId}});
}

void trustVerifiedDevice(UserEdit& edit, const Challenge& challenge, const RuleContext& context) {
  const int days = context.settings.trustedDeviceDays;
  if (days <= 0 || challenge.device.empty()) return;
  UserRecord& user = edit.user();
  const Device* device = user.device(challenge.device);
  if (!device) return;
  KnownDevice& known = knownDevice(user, device->vendorId, context.now);
  known.trustedUntil = context.now + std::chrono::hours(24 * days);
  edit.profileChanged();
  addAudit(edit.changes(), user.key.project, "device.trusted", user.key.user,
           {{"device", device->id}, {"until", isoTimeMillis(known.trustedUntil)}});
}

}  // namespace zelk::server
