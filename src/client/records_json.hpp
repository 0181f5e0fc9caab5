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

// Encoders with the same member names; absent optionals are left out.
nlohmann::json encode(const ZelkOS& os);
nlohmann::json encode(const ZelkDeviceDetails& details);
nlohmann::json encode(const ZelkDeviceInfo& info);
nlohmann::json encode(const Geolocation& geolocation);
nlohmann::json encode(const Access& access);
nlohmann::json encode(const ZelkDevice& device);

}  // namespace zelk::detail
