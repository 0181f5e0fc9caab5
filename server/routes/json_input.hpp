// SPDX-License-Identifier: Apache-2.0
// Reading JSON request bodies and writing JSON answers, shared by every route.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "http/message.hpp"
#include "service/settings.hpp"

namespace zelk::server {

// A validation failure: the message goes back to the caller in a 400 answer.
struct BadRequest {
  std::string error;
};

nlohmann::json parseObject(const std::string& body);
// A string member; with `maxBytes`, checked to be valid text of at most that size.
std::string requiredString(const nlohmann::json& object, const char* key, bool nonEmpty,
                           std::size_t maxBytes = 4096);
std::string optionalString(const nlohmann::json& object, const char* key,
                           std::size_t maxBytes = 4096);
nlohmann::json requiredObject(const nlohmann::json& object, const char* key);
std::optional<bool> optionalBool(const nlohmann::json& object, const char* key);
std::optional<long long> optionalInteger(const nlohmann::json& object, const char* key,
                                         long long min, long long max);

// Lays the project settings a body names ("name", the four limits, "logo", "primary_color",
// "require_verification", "block_over_usage") over `settings`; members left out keep their values.
void applyProjectSettings(const nlohmann::json& body, ProjectSettings& settings);

// Invalid UTF-8 in stored text must not make an answer throw.
std::string render(const nlohmann::json& value);
void reply(http::Response& res, int status, const nlohmann::json& body);
void fail(http::Response& res, int status, const std::string& error);

}  // namespace zelk::server
