// SPDX-License-Identifier: Apache-2.0
// The realtime messages the service sends on listen streams of its own accord: challenge notices
// and logout orders.
#pragma once

#include <string>

#include "service_state.hpp"
#include "streams.hpp"

namespace zelk::sandbox {

// An event whose data is {"action":"challenge","challenge":{"_id":"<challengeId>"}}.
std::string challengeNotice(const std::string& challengeId);
// An event whose data is "logout", double quotes included.
std::string logoutNotice();

// Sends the notice of `challenge` to the devices of its user: to their open streams, or, for a
// device with none open, to its next stream. `attachedDevice`, when not "", is the device whose
// attach raised it: that one gets it on its open streams only, its next stream being served by
// keepChallengeNotice().
void announceChallenge(StreamHub& hub, const RaisedChallenge& challenge,
                       const std::string& attachedDevice = {});
// Keeps the notice of `challengeId` for the first stream of `device` opened with `access`. A
// client answers an attach by opening a stream with the new access token, and the stream it
// replaces may still look open when the notice is sent.
void keepChallengeNotice(StreamHub& hub, const std::string& challengeId, const std::string& device,
                         const std::string& access);

// Sends the logout order to the open streams of `device`; returns on how many.
int sendLogout(StreamHub& hub, const std::string& device);

}  // namespace zelk::sandbox
