// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/records.hpp>

#include <nlohmann/json.hpp>

#include <string>

namespace zelk::detail {

// Strict decoders of the device and access records from parsed JSON; each throws a
// `DecodeFailure` naming the first problem by its `path`.
ZelkOS decodeOS(const nlohmann::json& value, const std::string& path);
ZelkDeviceDetails decodeDeviceDetails(const nlohmann::json& value, const std::string& path);
ZelkDeviceInfo decodeDeviceInfo(const nlohmann::json& value, const std::string& path);
Geolocation decodeGeolocation(const nlohmann::json& value, const std::string& path);
Access decodeAccess(const nlohmann::json& value, const std::string& path);
ZelkDevice decodeDevice(const nlohmann::json& value, const std::string& path);
ZelkAttachResponse decodeAttachResponse(const nlohmann::json& value, const std::string& path);
ZelkDeviceIdentity decodeDeviceIdentity(const nlohmann::json& value, const std::string& path);
ZelkUserDevice decodeUserDevice(const nlohmann::json& value, const std::string& path);
ZelkSwapAllowance decodeSwapAllowance(const nlohmann::json& value, const std::string& path);
ZelkUserDevices decodeUserDevices(const nlohmann::json& value, const std::string& path);

/// The service's refusal in `reply` (any JSON text): its "error" text as the message, its
/// "next_change_at" when it is a date, and `status`. Nothing when `reply` is not a JSON object
/// with an "error" string.
std::optional<ZelkServiceError> decodeRefusal(std::string_view reply, long status);

// Encoders with the same member names; absent optionals are left out.
nlohmann::json encode(const ZelkOS& os);
nlohmann::json encode(const ZelkDeviceDetails& details);
nlohmann::json encode(const ZelkDeviceInfo& info);
nlohmann::json encode(const Geolocation& geolocation);
nlohmann::json encode(const Access& access);
nlohmann::json encode(const ZelkDevice& device);

}  // namespace zelk::detail
