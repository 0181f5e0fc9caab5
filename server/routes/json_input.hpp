// SPDX-License-Identifier: Apache-2.0
// Reading JSON request bodies and writing JSON answers, shared by every route.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "http/message.hpp"
#include "storage/settings.hpp"

namespace zelk::server {

// A validation failure: the message goes back to the caller in a 400 answer.
struct BadRequest {
  std::string error;
};

// How deep a body may nest objects and arrays: what is kept is written out and compared by
// recursion, which input must not be able to drive past a thread's stack.
inline constexpr int kMaxJSONDepth = 32;
// How large an object a client sends may be kept (device_info, metadata), written out as JSON.
inline constexpr std::size_t kMaxKeptJSONBytes = 16 * 1024;

// The JSON object `body` holds. Refused (BadRequest) when it is not one, or when it nests deeper
// than kMaxJSONDepth, which is found before anything is parsed; the message names the member.
nlohmann::json parseObject(const std::string& body);
// Refused (BadRequest, naming `key`) when `value` written out as JSON is larger than
// kMaxKeptJSONBytes. `body` is the text it came from: a smaller one is not written out to tell.
void checkKeptSize(const nlohmann::json& value, const char* key, std::string_view body);
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
// Throws BadRequest when the settings do not go together.
void checkProjectSettings(const ProjectSettings& settings);

// Invalid UTF-8 in stored text must not make an answer throw.
std::string render(const nlohmann::json& value);
void reply(http::Response& res, int status, const nlohmann::json& body);
void fail(http::Response& res, int status, const std::string& error);

// Writes one flat JSON object straight into a string, for the answers sent on every request:
// the same text render() gives for the same members, without building a json value first.
// Members must be added in the order render() writes them, which is by key.
class ObjectWriter {
 public:
  explicit ObjectWriter(std::size_t reserve = 192);
  ObjectWriter& add(std::string_view key, std::string_view value);
  ObjectWriter& add(std::string_view key, const char* value) {
    return add(key, std::string_view(value));
  }
  ObjectWriter& add(std::string_view key, bool value);
  ObjectWriter& add(std::string_view key, long long value);
  ObjectWriter& add(std::string_view key, unsigned long long value);
  ObjectWriter& add(std::string_view key, int value) {
    return add(key, static_cast<long long>(value));
  }
  ObjectWriter& add(std::string_view key, unsigned long value) {
    return add(key, static_cast<unsigned long long>(value));
  }
  // The object's text; the writer is empty after.
  std::string finish();

 private:
  void key(std::string_view name);
  void string(std::string_view text);
  std::string out_;
};

// Answers with the object `body` wrote.
void reply(http::Response& res, int status, ObjectWriter& body);

}  // namespace zelk::server
