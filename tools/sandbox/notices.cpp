// SPDX-License-Identifier: Apache-2.0
#include "notices.hpp"

#include <nlohmann/json.hpp>

namespace zelk::sandbox {

std::string challengeNotice(const std::string& challengeId) {
  Event event;
  event.data = nlohmann::json{{"action", "challenge"}, {"challenge", {{"_id", challengeId}}}}.dump(
      -1, ' ', false, nlohmann::json::error_handler_t::replace);
  return formatEvent(event);
}

std::string logoutNotice() {
  Event event;
  event.data = "\"logout\"";
  return formatEvent(event);
}

void announceChallenge(StreamHub& hub, const RaisedChallenge& challenge,
                       const std::string& attachedDevice) {
  const std::string notice = challengeNotice(challenge.id);
  for (const std::string& device : challenge.devices) {
    if (device == attachedDevice) {
      hub.push(device, notice);
    } else {
      hub.pushOrKeep(device, notice);
    }
  }
}

void keepChallengeNotice(StreamHub& hub, const std::string& challengeId, const std::string& device,
                         const std::string& access) {
  hub.keep(device, challengeNotice(challengeId), access);
}

int sendLogout(StreamHub& hub, const std::string& device) {
  return hub.push(device, logoutNotice());
}

}  // namespace zelk::sandbox
