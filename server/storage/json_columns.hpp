// SPDX-License-Identifier: Apache-2.0
// How the SQL stores keep a record's lists and JSON documents in text columns. Both stores read
// leniently: a column that does not parse comes back as the empty value, never as an error.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "storage/records.hpp"

namespace zelk::server::columns {

// `value` as compact JSON; invalid UTF-8 in its strings is replaced, not refused.
inline std::string dumpJSON(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// `strings` as a compact JSON array, the same text dumpJSON() writes. Strings of plain printable
// ASCII (access tokens) are written directly, without building a document first.
inline std::string stringsJSON(const std::vector<std::string>& strings) {
  std::size_t size = 2;
  for (const std::string& s : strings) size += s.size() + 3;
  std::string text(size, '\0');
  char* out = text.data();
  *out++ = '[';
  for (const std::string& s : strings) {
    // Whether any byte needs more than itself in JSON: a control character, a quote, a
    // backslash, or anything beyond ASCII (which may not be valid UTF-8).
    unsigned special = 0;
    for (const char c : s) {
      const auto byte = static_cast<unsigned char>(c);
      special |= static_cast<unsigned>(byte < 0x20) | static_cast<unsigned>(byte >= 0x7f) |
                 static_cast<unsigned>(byte == '"') | static_cast<unsigned>(byte == '\\');
    }
    if (special != 0) return dumpJSON(strings);
    if (out != text.data() + 1) *out++ = ',';
    *out++ = '"';
    out = std::copy(s.begin(), s.end(), out);
    *out++ = '"';
  }
  *out++ = ']';
  text.resize(static_cast<std::size_t>(out - text.data()));
  return text;
}

// The JSON document in `text`, or `fallback` when it is not one.
inline nlohmann::json parseJSON(const std::string& text, nlohmann::json fallback) {
  nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
  return parsed.is_discarded() ? fallback : parsed;
}

// The strings of a JSON array (access tokens), leaving out anything else.
inline std::vector<std::string> stringsOf(const std::string& text) {
  std::vector<std::string> found;
  for (const auto& item : parseJSON(text, nlohmann::json::array())) {
    if (item.is_string()) found.push_back(item.get<std::string>());
  }
  return found;
}

// Times (when a challenge's recent codes went out, a user's device changes) as a JSON array of
// milliseconds, and back.
inline std::string timesJSON(const std::vector<Clock::time_point>& times) {
  nlohmann::json millis = nlohmann::json::array();
  for (const auto time : times) millis.push_back(toMillis(time));
  return dumpJSON(millis);
}

inline std::string sendTimesJSON(const Challenge& challenge) {
  return timesJSON(challenge.recentSends);
}

inline std::vector<Clock::time_point> sendTimesOf(const std::string& text) {
  std::vector<Clock::time_point> times;
  for (const auto& sent : parseJSON(text, nlohmann::json::array())) {
    if (sent.is_number_integer()) times.push_back(fromMillis(sent.get<std::int64_t>()));
  }
  return times;
}

// The devices a user was seen with, as a JSON array of objects, and back; times in milliseconds,
// members at their defaults left out.
inline std::string knownDevicesJSON(const std::vector<KnownDevice>& devices) {
  nlohmann::json list = nlohmann::json::array();
  for (const KnownDevice& device : devices) {
    nlohmann::json entry = {{"vendor", device.vendorId}, {"seen", toMillis(device.firstSeenAt)}};
    if (device.toldAt != Clock::time_point{}) entry["told"] = toMillis(device.toldAt);
    if (!device.code.empty()) {
      entry["code"] = device.code;
      entry["code_until"] = toMillis(device.codeUntil);
    }
    if (device.trustedUntil != Clock::time_point{})
      entry["trusted_until"] = toMillis(device.trustedUntil);
    list.push_back(std::move(entry));
  }
  return dumpJSON(list);
}

// A user's own limits as a JSON object ("" : none), and back.
inline std::string limitOverrideJSON(const std::optional<LimitOverride>& limits) {
  if (!limits) return "";
  nlohmann::json object = nlohmann::json::object();
  for (auto [key, value] :
       {std::pair{"overall_limit", limits->overall}, std::pair{"mobile_limit", limits->mobile},
        std::pair{"tablet_limit", limits->tablet}, std::pair{"computer_limit", limits->computer}}) {
    if (value) object[key] = *value;
  }
  if (limits->until != Clock::time_point{}) object["until"] = toMillis(limits->until);
  return dumpJSON(object);
}

inline std::optional<LimitOverride> limitOverrideOf(const std::string& text) {
  if (text.empty()) return std::nullopt;
  const nlohmann::json object = parseJSON(text, nlohmann::json());
  if (!object.is_object()) return std::nullopt;
  LimitOverride limits;
  const auto limit = [&](const char* key) -> std::optional<int> {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_number_integer()) return std::nullopt;
    return it->get<int>();
  };
  limits.overall = limit("overall_limit");
  limits.mobile = limit("mobile_limit");
  limits.tablet = limit("tablet_limit");
  limits.computer = limit("computer_limit");
  if (const auto it = object.find("until"); it != object.end() && it->is_number_integer())
    limits.until = fromMillis(it->get<std::int64_t>());
  return limits;
}

inline std::vector<KnownDevice> knownDevicesOf(const std::string& text) {
  std::vector<KnownDevice> devices;
  const auto time = [](const nlohmann::json& entry, const char* key) {
    const auto it = entry.find(key);
    return it != entry.end() && it->is_number_integer() ? fromMillis(it->get<std::int64_t>())
                                                        : Clock::time_point{};
  };
  for (const auto& entry : parseJSON(text, nlohmann::json::array())) {
    if (!entry.is_object() || !entry.contains("vendor") || !entry["vendor"].is_string()) continue;
    KnownDevice& device = devices.emplace_back();
    device.vendorId = entry["vendor"].get<std::string>();
    device.firstSeenAt = time(entry, "seen");
    device.toldAt = time(entry, "told");
    if (entry.contains("code") && entry["code"].is_string())
      device.code = entry["code"].get<std::string>();
    device.codeUntil = time(entry, "code_until");
    device.trustedUntil = time(entry, "trusted_until");
  }
  return devices;
}

}  // namespace zelk::server::columns
