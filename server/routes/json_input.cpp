// SPDX-License-Identifier: Apache-2.0
#include "routes/json_input.hpp"

#include <algorithm>
#include <charconv>

#include "service/ids.hpp"

namespace zelk::server {

using nlohmann::json;

namespace {

// Throws BadRequest when `text` nests objects and arrays deeper than kMaxJSONDepth: one pass over
// the bytes without recursion, strings skipped. Whatever else is wrong the parser finds.
void checkNesting(std::string_view text) {
  int depth = 0;
  std::string_view lastString, member;  // the member of the body the scan is in
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      const std::size_t start = i + 1;
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
      if (depth == 1) lastString = text.substr(start, std::min(i, text.size()) - start);
    } else if (c == ':' && depth == 1) {
      member = lastString;
    } else if (c == '{' || c == '[') {
      if (++depth > kMaxJSONDepth) {
        const bool named = depth > 1 && !member.empty() && member.size() <= 64 &&
                           std::all_of(member.begin(), member.end(), [](char m) {
                             return m >= 0x20 && m < 0x7f && m != '\\' && m != '"';
                           });
        throw BadRequest{(named ? std::string(member) : std::string("body")) +
                         " nests deeper than " + std::to_string(kMaxJSONDepth) + " levels"};
      }
    } else if (c == '}' || c == ']') {
      if (--depth == 1) member = {};
    }
  }
}

}  // namespace

json parseObject(const std::string& body) {
  checkNesting(body);
  json parsed = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) throw BadRequest{"body is not valid JSON"};
  if (!parsed.is_object()) throw BadRequest{"body must be a JSON object"};
  return parsed;
}

void checkKeptSize(const json& value, const char* key, std::string_view body) {
  if (body.size() <= kMaxKeptJSONBytes) return;
  if (render(value).size() > kMaxKeptJSONBytes)
    throw BadRequest{std::string(key) + " must be at most " + std::to_string(kMaxKeptJSONBytes) +
                     " bytes as JSON"};
}

std::string requiredString(const json& object, const char* key, bool nonEmpty,
                           std::size_t maxBytes) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string() ||
      (nonEmpty && it->get_ref<const std::string&>().empty()))
    throw BadRequest{std::string(key) +
                     (nonEmpty ? " must be a non-empty string" : " must be a string")};
  if (!isValidText(it->get_ref<const std::string&>(), maxBytes))
    throw BadRequest{std::string(key) + " must be text of at most " + std::to_string(maxBytes) +
                     " bytes without control characters"};
  return it->get<std::string>();
}

std::string optionalString(const json& object, const char* key, std::size_t maxBytes) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return {};
  if (!it->is_string()) throw BadRequest{std::string(key) + " must be a string"};
  if (!isValidText(it->get_ref<const std::string&>(), maxBytes))
    throw BadRequest{std::string(key) + " must be text of at most " + std::to_string(maxBytes) +
                     " bytes without control characters"};
  return it->get<std::string>();
}

json requiredObject(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_object())
    throw BadRequest{std::string(key) + " must be an object"};
  return *it;
}

std::optional<bool> optionalBool(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::nullopt;
  if (!it->is_boolean()) throw BadRequest{std::string(key) + " must be true or false"};
  return it->get<bool>();
}

std::optional<long long> optionalInteger(const json& object, const char* key, long long min,
                                         long long max) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::nullopt;
  if (!it->is_number_integer() || *it < min || *it > max)
    throw BadRequest{std::string(key) + " must be an integer from " + std::to_string(min) + " to " +
                     std::to_string(max)};
  return it->get<long long>();
}

std::string render(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

void reply(http::Response& res, int status, const json& body) {
  res.status = status;
  res.contentType = "application/json";
  res.body = render(body);
}

void fail(http::Response& res, int status, const std::string& error) {
  ObjectWriter body(error.size() + 40);
  body.add("error", error).add("success", false);
  reply(res, status, body);
}

ObjectWriter::ObjectWriter(std::size_t reserve) {
  out_.reserve(reserve);
  out_ += '{';
}

void ObjectWriter::key(std::string_view name) {
  if (out_.size() > 1) out_ += ',';
  string(name);
  out_ += ':';
}

void ObjectWriter::string(std::string_view text) {
  // Plain printable ASCII, which ids, tokens and most messages are, goes as it is; anything
  // else takes the general writer's escaping and its replacement of invalid UTF-8.
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7f || c == '"' || c == '\\') {
      out_ += render(json(std::string(text)));
      return;
    }
  }
  out_ += '"';
  out_ += text;
  out_ += '"';
}

ObjectWriter& ObjectWriter::add(std::string_view name, std::string_view value) {
  key(name);
  string(value);
  return *this;
}

ObjectWriter& ObjectWriter::add(std::string_view name, bool value) {
  key(name);
  out_ += value ? "true" : "false";
  return *this;
}

ObjectWriter& ObjectWriter::add(std::string_view name, long long value) {
  key(name);
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out_.append(digits, end);
  return *this;
}

ObjectWriter& ObjectWriter::add(std::string_view name, unsigned long long value) {
  key(name);
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out_.append(digits, end);
  return *this;
}

std::string ObjectWriter::finish() {
  out_ += '}';
  return std::move(out_);
}

void reply(http::Response& res, int status, ObjectWriter& body) {
  res.status = status;
  res.contentType = "application/json";
  res.body = body.finish();
}

void checkProjectSettings(const ProjectSettings& settings) {
  if (settings.userSecret.empty() && settings.requireSignedUsers)
    throw BadRequest{"require_signed_users needs a user_secret to check the signatures with"};
  if (settings.userSecret.empty() && settings.limitPolicy == LimitPolicy::evictOldest)
    throw BadRequest{
        "limit_policy evict_oldest needs a user_secret: only users the app's backend signed are "
        "ever evicted"};
}

void applyProjectSettings(const nlohmann::json& body, ProjectSettings& settings) {
  if (body.contains("name")) settings.name = optionalString(body, "name", 256);
  for (auto [key, field] : {std::pair{"overall_limit", &settings.overallLimit},
                            std::pair{"mobile_limit", &settings.mobileLimit},
                            std::pair{"tablet_limit", &settings.tabletLimit},
                            std::pair{"computer_limit", &settings.computerLimit}}) {
    if (const auto limit = optionalInteger(body, key, 0, 1'000'000))
      *field = static_cast<int>(*limit);
  }
  if (body.contains("logo")) settings.logo = optionalString(body, "logo", 2048);
  if (body.contains("primary_color"))
    settings.primaryColor = optionalString(body, "primary_color", 64);
  if (const auto flag = optionalBool(body, "require_verification"))
    settings.requireVerification = *flag;
  if (const auto flag = optionalBool(body, "block_over_usage")) settings.blockOverUsage = *flag;
  if (const auto flag = optionalBool(body, "show_contacts")) settings.showContacts = *flag;
  if (const auto grace = optionalInteger(body, "liveness_grace", 0, 30 * 24 * 3600))
    settings.livenessGraceSeconds = static_cast<int>(*grace);
  if (body.contains("webhook_url")) {
    const std::string url = optionalString(body, "webhook_url", 2048);
    if (!url.empty() && !url.starts_with("http://") && !url.starts_with("https://"))
      throw BadRequest{"webhook_url must be an http:// or https:// URL"};
    settings.webhookUrl = url;
  }
  for (auto [key, field] : {std::pair{"webhook_secret", &settings.webhookSecret},
                            std::pair{"user_secret", &settings.userSecret}}) {
    if (!body.contains(key)) continue;
    const std::string secret = optionalString(body, key, 256);
    if (!secret.empty() && secret.size() < 16)
      throw BadRequest{std::string(key) + " must be at least 16 characters"};
    *field = secret;
  }
  if (const auto flag = optionalBool(body, "require_signed_users"))
    settings.requireSignedUsers = *flag;
  if (const auto flag = optionalBool(body, "new_device_notices")) settings.newDeviceNotices = *flag;
  if (const auto days = optionalInteger(body, "trusted_device_days", 0, 365))
    settings.trustedDeviceDays = static_cast<int>(*days);
  if (const auto changes = optionalInteger(body, "device_changes_limit", 0, 1000))
    settings.deviceChangesLimit = static_cast<int>(*changes);
  if (const auto days = optionalInteger(body, "device_changes_days", 1, 365))
    settings.deviceChangesDays = static_cast<int>(*days);
  if (body.contains("limit_policy")) {
    const auto policy = limitPolicyFromName(optionalString(body, "limit_policy", 32));
    if (!policy) throw BadRequest{"limit_policy must be challenge, block or evict_oldest"};
    settings.limitPolicy = *policy;
  }
}

}  // namespace zelk::server
