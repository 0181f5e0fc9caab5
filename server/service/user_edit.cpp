// SPDX-License-Identifier: Apache-2.0
#include "service/user_edit.hpp"

#include <algorithm>
#include <map>

#include "service/ids.hpp"

namespace zelk::server {

Delivery UserEdit::send(Device& device, const std::string& data, Clock::time_point sentAt) {
  KeptMessage message{++device.lastEventId, sentAt, data};
  device.messages.push_back(message);
  while (device.messages.size() > kMaxKeptMessages) device.messages.pop_front();
  while (!device.messages.empty() && device.messages.front().sentAt < sentAt - kKeptMessagesFor)
    device.messages.pop_front();
  changes_.messages.push_back({device.id, message});
  changes_.trims.push_back(
      {device.id, device.lastEventId > kMaxKeptMessages ? device.lastEventId - kMaxKeptMessages : 0,
       sentAt - kKeptMessagesFor});
  touchDevice(device.id);
  return {device.id, message.id, data};
}

void UserEdit::removeDevice(const std::string& id, std::uint64_t logoutId, Clock::time_point at) {
  auto device = std::find_if(user_.devices.begin(), user_.devices.end(),
                             [&](const Device& d) { return d.id == id; });
  changes_.detached.push_back({id, user_.key.project, device->accesses, logoutId, at});
  changes_.removedDevices.push_back(id);
  user_.devices.erase(device);
}

bool UserEdit::changed() const {
  return touched_ || !devices_.empty() || !challenges_.empty() || !changes_.empty();
}

Changes UserEdit::finish() {
  Changes changes = std::move(changes_);
  changes_ = {};
  changes.profile = user_.profile;
  changes.deviceChanges = user_.deviceChanges;
  changes.knownDevices = user_.knownDevices;
  changes.limitOverride = user_.limitOverride;
  const auto removed = [&](const std::string& id) {
    return std::find(changes.removedDevices.begin(), changes.removedDevices.end(), id) !=
           changes.removedDevices.end();
  };
  for (const std::string& id : devices_) {
    if (const Device* device = user_.device(id)) changes.devices.emplace_back(*device);
  }
  for (const std::string& id : challenges_) {
    if (const Challenge* challenge = user_.challenge(id)) changes.challenges.push_back(*challenge);
  }
  // Only the messages still kept are written, and one trim per device says which older ones go.
  std::erase_if(changes.messages, [&](const Changes::MessageRow& row) {
    const Device* device = user_.device(row.deviceId);
    return !device || device->messages.empty() || device->messages.front().id > row.message.id;
  });
  std::map<std::string, Changes::MessageTrim> trims;
  for (const Changes::MessageTrim& trim : changes.trims) {
    if (removed(trim.deviceId)) continue;
    auto [entry, added] = trims.try_emplace(trim.deviceId, trim);
    if (!added) {
      entry->second.throughId = std::max(entry->second.throughId, trim.throughId);
      entry->second.before = std::max(entry->second.before, trim.before);
    }
  }
  changes.trims.clear();
  for (auto& [id, trim] : trims) changes.trims.push_back(trim);
  devices_.clear();
  challenges_.clear();
  touched_ = false;
  return changes;
}

void addEvent(Changes& changes, const std::string& project, const ProjectSettings& settings,
              const char* type, nlohmann::json subject) {
  if (settings.webhookUrl.empty()) return;
  // The outbox goes by the wall clock, as its worker does.
  const auto now = Clock::now();
  OutboxMessage message;
  message.id = newId("evt_");
  message.kind = "webhook";
  message.project = project;
  nlohmann::json body = {
      {"id", message.id}, {"type", type}, {"created_at", isoTimeMillis(now)}, {"project", project}};
  body.update(subject);
  message.payload = columns::dumpJSON(body);
  message.createdAt = message.nextAttemptAt = now;
  changes.outbox.push_back(std::move(message));
}

void addAudit(Changes& changes, const std::string& project, std::string kind, std::string subject,
              nlohmann::json detail) {
  // Audit entries are facts of the wall clock, whatever time the rules go by.
  changes.audit.push_back(
      {0, Clock::now(), project, std::move(kind), std::move(subject), std::move(detail)});
}

}  // namespace zelk::server
