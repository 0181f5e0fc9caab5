// SPDX-License-Identifier: Apache-2.0
#include "service/challenges.hpp"

#include <algorithm>
#include <initializer_list>

#include "service/ids.hpp"

namespace zelk::server {
namespace {

using nlohmann::json;

// The reported device facts as the device list shows them: only text members of the known keys,
// with the type the service counted the device as.
json deviceInfoOf(const Device& device) {
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
  info["os"] = pick(device.deviceInfo.value(), "os", {"name", "version"});
  json details = pick(device.deviceInfo.value(), "device", {"vendor", "model"});
  details["type"] = deviceTypeName(device.type);
  info["device"] = std::move(details);
  return info;
}

}  // namespace

RaisedChallenge raiseChallenge(UserEdit& edit, std::string reason, const RuleContext& context) {
  UserRecord& user = edit.user();
  Challenge challenge;
  challenge.id = newId("ch_");
  challenge.project = user.key.project;
  challenge.user = user.key.user;
  challenge.reason = std::move(reason);
  challenge.createdAt = Clock::now();
  addEvent(edit.changes(), user.key.project, context.settings, "challenge.raised",
           {{"user", user.key.user},
            {"challenge", {{"id", challenge.id}, {"reason", challenge.reason}}}});
  RaisedChallenge raised;
  raised.id = challenge.id;
  edit.touchChallenge(challenge.id);
  user.challenges.push_back(std::move(challenge));
  const std::string notice = challengeNoticeData(raised.id);
  // Kept by the wall clock, as the messages' age is counted.
  const auto now = Clock::now();
  raised.deliveries.reserve(user.devices.size());
  for (Device& device : user.devices) raised.deliveries.push_back(edit.send(device, notice, now));
  return raised;
}

RaisedChallenge challengeAtTheLimit(UserEdit& edit, std::string reason, const std::string& deviceId,
                                    const RuleContext& context) {
  UserRecord& user = edit.user();
  const auto open = std::find_if(user.challenges.rbegin(), user.challenges.rend(),
                                 [](const Challenge& challenge) { return challenge.open(); });
  Device* device = user.device(deviceId);
  if (open == user.challenges.rend() || !device) {
    RaisedChallenge raised = raiseChallenge(edit, std::move(reason), context);
    // The device whose attach raised it is the one a right code vouches for.
    if (device) user.challenge(raised.id)->device = deviceId;
    return raised;
  }
  RaisedChallenge joined;
  joined.id = open->id;
  open->device = deviceId;
  edit.touchChallenge(open->id);
  joined.deliveries.push_back(edit.send(*device, challengeNoticeData(joined.id), Clock::now()));
  return joined;
}

void closeChallenge(UserEdit& edit, Challenge& challenge, const RuleContext& context) {
  const bool wasOpen = challenge.open();
  challenge.resolved = true;
  edit.touchChallenge(challenge.id);
  if (!wasOpen) return;
  const UserRecord& user = edit.user();
  addEvent(
      edit.changes(), user.key.project, context.settings, "challenge.closed",
      {{"user", user.key.user}, {"challenge", {{"id", challenge.id}, {"reason", "operator"}}}});
}

void resolveWithinLimits(UserEdit& edit, const RuleContext& context) {
  UserRecord& user = edit.user();
  if (!withinLimits(context.settings, allDevices(user))) return;
  for (Challenge& challenge : user.challenges) {
    if (!challenge.open() || challenge.reason == "manual") continue;
    challenge.resolved = true;
    edit.touchChallenge(challenge.id);
  }
}

json challengeDetails(const UserRecord& user, const Challenge& challenge,
                      const std::string& projectName, const RuleContext& context,
                      const CodeChannels& channels) {
  const ProjectSettings& settings = context.settings;
  json brand = {{"require_verification", settings.requireVerification}};
  if (!settings.logo.empty()) brand["logo"] = settings.logo;
  if (!settings.primaryColor.empty()) brand["primary_color"] = settings.primaryColor;
  json owner = {{"_id", challenge.user}};
  const UserProfile& profile = user.profile;
  if (!profile.email.empty())
    owner["email"] = settings.showContacts ? profile.email : maskEmail(profile.email);
  if (!profile.phone.empty())
    owner["phone"] = settings.showContacts ? profile.phone : maskPhone(profile.phone);
  return json{{"_id", challenge.id},
              {"project", {{"_id", user.key.project}, {"name", projectName}}},
              {"brand", std::move(brand)},
              {"user", std::move(owner)},
              {"channels", codeChannels(profile, channels)},
              {"status", challenge.verified ? "verified" : "open"}};
}

// Where a device was last seen, as far as it is known: without a GeoIP database, or for an
// address it does not place, the member is left out rather than made up.
json challengeDevices(const UserRecord& user, const RuleContext& context) {
  json devices = json::array();
  for (const Device* device : liveDevices(user, context)) devices.push_back(deviceEntry(*device));
  return devices;
}

json deviceEntry(const Device& device) {
  json entry = {{"_id", device.id},
                {"info", deviceInfoOf(device)},
                {"createdAt", isoTimeMillis(device.attachedAt)},
                {"updatedAt", isoTimeMillis(device.lastSeenAt)}};
  if (device.location.known())
    entry["last_access"] = {{"geolocation", locationJSON(device.location)}};
  return entry;
}

json deviceLimitState(const UserRecord& user, const RuleContext& context) {
  const ProjectSettings& settings = context.settings;
  // Only the devices still live count.
  const std::vector<const Device*> live = liveDevices(user, context);
  const DeviceCounts counts(live);
  return json{{"attached_devices",
               {{"total", live.size()},
                {"devices",
                 {{"computers", counts.computers},
                  {"tablets", counts.tablets},
                  {"mobiles", counts.mobiles}}}}},
              {"default_overall_limit", settings.overallLimit},
              {"computer_device_limit", settings.computerLimit},
              {"tablet_device_limit", settings.tabletLimit},
              {"mobile_device_limit", settings.mobileLimit}};
}

}  // namespace zelk::server
