// SPDX-License-Identifier: Apache-2.0
#include "storage/records.hpp"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace zelk::server {

SharedJSON::SharedJSON() {
  // Every device starts with the same empty object.
  static const auto empty =
      std::make_shared<const Frozen>(Frozen{nlohmann::json::object(), std::string("{}")});
  frozen_ = empty;
}

SharedJSON::SharedJSON(nlohmann::json value) {
  std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  frozen_ = std::make_shared<const Frozen>(Frozen{std::move(value), std::move(text)});
}

SharedJSON SharedJSON::fromText(std::string text) {
  nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
  if (value.is_discarded()) return SharedJSON();
  // The text as it was kept: writing the document back gives the same text.
  return SharedJSON(std::make_shared<const Frozen>(Frozen{std::move(value), std::move(text)}));
}

DeviceType deviceTypeOf(const nlohmann::json& deviceInfo) {
  if (!deviceInfo.is_object()) return DeviceType::mobile;
  auto device = deviceInfo.find("device");
  if (device == deviceInfo.end() || !device->is_object()) return DeviceType::mobile;
  auto type = device->find("type");
  if (type == device->end() || !type->is_string()) return DeviceType::mobile;
  return deviceTypeFromName(type->get_ref<const std::string&>());
}

DeviceType deviceTypeFromName(std::string_view name) {
  if (name == "tablet") return DeviceType::tablet;
  if (name == "computer") return DeviceType::computer;
  return DeviceType::mobile;
}

std::string_view deviceTypeName(DeviceType type) {
  switch (type) {
    case DeviceType::tablet:
      return "tablet";
    case DeviceType::computer:
      return "computer";
    case DeviceType::mobile:
      break;
  }
  return "mobile";
}

// What a secret that is set shows: that it is, and nothing of it.
constexpr const char* kSecretShown = "\u2022\u2022\u2022\u2022\u2022\u2022\u2022\u2022";

nlohmann::json settingsJSON(const ProjectSettings& settings) {
  return {{"name", settings.name},
          {"overall_limit", settings.overallLimit},
          {"mobile_limit", settings.mobileLimit},
          {"tablet_limit", settings.tabletLimit},
          {"computer_limit", settings.computerLimit},
          {"logo", settings.logo},
          {"primary_color", settings.primaryColor},
          {"require_verification", settings.requireVerification},
          {"block_over_usage", settings.blockOverUsage},
          {"limit_policy", limitPolicyName(settings.limitPolicy)},
          {"show_contacts", settings.showContacts},
          {"liveness_grace", settings.livenessGraceSeconds},
          {"webhook_url", settings.webhookUrl},
          // Shown only as set or not: whoever reads the settings need not learn the secret.
          {"webhook_secret", settings.webhookSecret.empty() ? "" : kSecretShown},
          {"user_secret", settings.userSecret.empty() ? "" : kSecretShown},
          {"require_signed_users", settings.requireSignedUsers},
          {"new_device_notices", settings.newDeviceNotices},
          {"trusted_device_days", settings.trustedDeviceDays},
          {"device_changes_limit", settings.deviceChangesLimit},
          {"device_changes_days", settings.deviceChangesDays}};
}

namespace {

constexpr std::string_view kMaskDot = "\u2022";

// The length of the UTF-8 sequence that starts with `lead`; 1 for a byte that starts none.
std::size_t sequenceLength(unsigned char lead) {
  if (lead >= 0xf0) return 4;
  if (lead >= 0xe0) return 3;
  if (lead >= 0xc0) return 2;
  return 1;
}

}  // namespace

std::string maskEmail(std::string_view email) {
  const auto at = email.rfind('@');
  const std::string_view local = email.substr(0, at);
  const std::string_view domain = at == std::string_view::npos ? "" : email.substr(at);
  std::string masked;
  if (!local.empty()) {
    const std::size_t first =
        std::min(sequenceLength(static_cast<unsigned char>(local[0])), local.size());
    masked += local.substr(0, first);
    for (int i = 0; i < 3; ++i) masked += kMaskDot;
    // The last character, found by stepping back over continuation bytes.
    std::size_t last = local.size() - 1;
    while (last > 0 && (static_cast<unsigned char>(local[last]) & 0xc0) == 0x80) --last;
    if (last >= first) masked += local.substr(last);
  }
  masked += domain;
  return masked;
}

std::string maskPhone(std::string_view phone) {
  std::string digits;
  for (char c : phone) {
    if (c >= '0' && c <= '9') digits += c;
  }
  std::string masked;
  for (int i = 0; i < 4; ++i) masked += kMaskDot;
  if (digits.size() > 4) {
    masked += ' ';
    masked.append(digits, digits.size() - 4);
  }
  return masked;
}

std::string isoTimeMillis(Clock::time_point time) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(time);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(time - seconds).count();
  const std::time_t whole = Clock::to_time_t(seconds);
  std::tm utc{};
  gmtime_r(&whole, &utc);
  char text[48];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis));
  return text;
}

std::int64_t toMillis(Clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

Clock::time_point fromMillis(std::int64_t millis) {
  return Clock::time_point(
      std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(millis)));
}

nlohmann::json locationJSON(const Location& location) {
  nlohmann::json place = nlohmann::json::object();
  if (!location.city.empty()) place["city"] = location.city;
  if (!location.country.empty()) place["country"] = location.country;
  return place;
}

const std::string& Device::lastAccess() const {
  static const std::string kNone;
  return accesses.empty() ? kNone : accesses.back();
}

bool Device::hasAccess(std::string_view access) const {
  return std::find(accesses.begin(), accesses.end(), access) != accesses.end();
}

Device* UserRecord::device(std::string_view id) {
  for (Device& device : devices) {
    if (device.id == id) return &device;
  }
  return nullptr;
}

const Device* UserRecord::device(std::string_view id) const {
  return const_cast<UserRecord*>(this)->device(id);
}

Challenge* UserRecord::challenge(std::string_view id) {
  for (Challenge& challenge : challenges) {
    if (challenge.id == id) return &challenge;
  }
  return nullptr;
}

const Challenge* UserRecord::challenge(std::string_view id) const {
  return const_cast<UserRecord*>(this)->challenge(id);
}

KnownDevice* UserRecord::known(std::string_view vendorId) {
  for (KnownDevice& device : knownDevices) {
    if (device.vendorId == vendorId) return &device;
  }
  return nullptr;
}

const KnownDevice* UserRecord::known(std::string_view vendorId) const {
  return const_cast<UserRecord*>(this)->known(vendorId);
}

std::string_view outboxStateName(OutboxState state) {
  switch (state) {
    case OutboxState::done:
      return "done";
    case OutboxState::failed:
      return "failed";
    case OutboxState::pending:
      break;
  }
  return "pending";
}

std::optional<OutboxState> outboxStateFromName(std::string_view name) {
  if (name == "pending") return OutboxState::pending;
  if (name == "done") return OutboxState::done;
  if (name == "failed") return OutboxState::failed;
  return std::nullopt;
}

}  // namespace zelk::server
