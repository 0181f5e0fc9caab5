// SPDX-License-Identifier: Apache-2.0
// How the service's messages reach the streams held here: what is kept for a device goes when it
// is logged out, each message goes to the streams of its device that lack it, and every message
// written is counted. Every route and the relay push through these.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "metrics/metrics.hpp"
#include "realtime/hub.hpp"
#include "service/devices.hpp"

namespace zelk::server {

// Messages for devices (challenge notices, logout orders) to their streams; returns on how many
// streams they went. A logout order also drops what was kept for its device.
std::uint64_t pushMessages(Hub& hub, Metrics& metrics, const std::vector<Delivery>& messages);
// The logout orders of devices the service removed, for `reason` ("detach", "evicted", "idle";
// counted as devices removed unless it is a detach).
std::uint64_t pushLogouts(Hub& hub, Metrics& metrics, const std::vector<Delivery>& logouts,
                          const std::string& reason);
// The notices of a raised challenge to every device of its user. Fresh streams hear of open
// challenges anyway; without that (`repeatOpenChallenges` false), a device with no stream open
// keeps the notice for its next one, except `attachedDevice` (the device whose attach raised
// it, "" : none), whose next stream gets it through the access its attach handed out.
std::uint64_t announceChallenge(Hub& hub, Metrics& metrics, const RaisedChallenge& raised,
                                bool repeatOpenChallenges, const std::string& attachedDevice = {});

}  // namespace zelk::server
