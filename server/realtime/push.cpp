// SPDX-License-Identifier: Apache-2.0
#include "realtime/push.hpp"

namespace zelk::server {

std::uint64_t pushMessages(Hub& hub, Metrics& metrics, const std::vector<Delivery>& messages) {
  std::uint64_t sent = 0;
  for (const Delivery& message : messages) {
    if (message.data == logoutData()) hub.forget(message.device);
    sent += static_cast<std::uint64_t>(hub.deliver(message));
  }
  metrics.countMessages(sent);
  return sent;
}

std::uint64_t pushLogouts(Hub& hub, Metrics& metrics, const std::vector<Delivery>& logouts,
                          const std::string& reason) {
  if (reason != "detach") {
    for (std::size_t i = 0; i < logouts.size(); ++i) metrics.countEvent("devices_removed", reason);
  }
  return pushMessages(hub, metrics, logouts);
}

std::uint64_t announceChallenge(Hub& hub, Metrics& metrics, const RaisedChallenge& raised,
                                bool repeatOpenChallenges, const std::string& attachedDevice) {
  const std::uint64_t sent = hub.deliverAll(raised.deliveries, [&](const Delivery& delivery) {
    return !repeatOpenChallenges && delivery.device != attachedDevice;
  });
  metrics.countMessages(sent);
  return sent;
}

}  // namespace zelk::server
