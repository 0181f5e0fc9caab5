// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/challenge.hpp>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace zelk::detail {

// Strict decoders of the challenge records from parsed JSON; each throws a `DecodeFailure`
// naming the first problem by its `path` ("" for the top of the reply).
ChallengeChannel decodeChallengeChannel(const nlohmann::json& value, const std::string& path);
Challenge decodeChallenge(const nlohmann::json& value, const std::string& path);
Project decodeProject(const nlohmann::json& value, const std::string& path);
Brand decodeBrand(const nlohmann::json& value, const std::string& path);
User decodeUser(const nlohmann::json& value, const std::string& path);
ChallengeDetails decodeChallengeDetails(const nlohmann::json& value, const std::string& path);
ChallengeVerificationResult decodeVerificationResult(const nlohmann::json& value,
                                                     const std::string& path);
AttachedDeviceTypes decodeAttachedDeviceTypes(const nlohmann::json& value, const std::string& path);
AttachedDevices decodeAttachedDevices(const nlohmann::json& value, const std::string& path);
DeviceLimitState decodeDeviceLimitState(const nlohmann::json& value, const std::string& path);
std::vector<ZelkDevice> decodeDevices(const nlohmann::json& value, const std::string& path);

}  // namespace zelk::detail
