// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "client/url_text.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace zelk::detail {

/// What the service can push to a device besides a logout.
struct RealtimeMessage {
  enum class Action { challenge };
  Action action = Action::challenge;
  std::optional<std::string> challengeID;  // the "_id" of its "challenge", when present
};

/// Decodes a realtime message: {"action": "challenge", "challenge": {"_id": ...}}. Any other
/// action fails it.
std::optional<RealtimeMessage> decodeRealtimeMessage(std::string_view json,
                                                     std::string* error = nullptr);

/// The URL of a device's realtime stream, encoded: the device ID as a path segment, the access
/// value as a query value, the rest with the query characters kept.
std::string listenURL(std::string_view baseURL, std::string_view deviceID,
                      std::string_view accessID, std::string_view clientID);

}  // namespace zelk::detail
