// SPDX-License-Identifier: Apache-2.0
// The challenge rules, as plain functions over one user's records: raising a challenge, closing
// the ones the user no longer needs, and the challenge calls' answers.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "service/codes.hpp"
#include "service/devices.hpp"

namespace zelk::server {

// Raises a challenge for `reason` ("overall", a device type, or "manual") and sends its notice
// to every device of the user.
RaisedChallenge raiseChallenge(UserEdit& edit, std::string reason, const RuleContext& context);
// An attach of `deviceId` broke a limit for `reason`: the user's open challenge, when there is
// one, stands for this one too, and only that device hears of it; else a new one is raised. A
// user has one open challenge at most, however many attaches go over the limit, and the cost of
// one that does does not grow with the user's devices.
RaisedChallenge challengeAtTheLimit(UserEdit& edit, std::string reason, const std::string& deviceId,
                                    const RuleContext& context);
// Closes `challenge` by an operator's hand, and tells the project's webhook (when it was open).
void closeChallenge(UserEdit& edit, Challenge& challenge, const RuleContext& context);
// Closes the open challenges an attach raised once the user's devices are within the limits
// again; the ones raised by hand stay.
void resolveWithinLimits(UserEdit& edit, const RuleContext& context);

// The answers of the challenge calls for `challenge` of `user`: its details with the project's
// brand (`projectName` the name shown) and the channels a code can reach the user by, the devices
// that count, and the limits.
nlohmann::json challengeDetails(const UserRecord& user, const Challenge& challenge,
                                const std::string& projectName, const RuleContext& context,
                                const CodeChannels& channels);
nlohmann::json challengeDevices(const UserRecord& user, const RuleContext& context);
// One device as the device list shows it: "_id", "info", "createdAt", "updatedAt" and, where it
// is known, "last_access".
nlohmann::json deviceEntry(const Device& device);
nlohmann::json deviceLimitState(const UserRecord& user, const RuleContext& context);

}  // namespace zelk::server
