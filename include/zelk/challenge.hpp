#pragma once

#include <zelk/export.hpp>
#include <zelk/records.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

// Records of a challenge raised for an account. They are only ever decoded from the service's
// replies, never encoded. Decoding is strict: a required member that is missing, null or of the
// wrong JSON type fails the record, and so does an optional member present with the wrong type;
// an optional member that is missing or null is absent; unknown members are ignored; a nested
// record that fails fails the record holding it. Every `decode` returns nothing on failure and,
// when `error` is given, stores a description of the first problem there.

/// How a one-time code is delivered.
enum class ChallengeChannel { email, text };

/// The channel named by `text` ("email", "text"; case-sensitive), or nothing.
ZELK_EXPORT std::optional<ChallengeChannel> challengeChannelFromText(std::string_view text);

/// The text of a channel as the service spells it; also what the verify call sends.
ZELK_EXPORT std::string_view text(ChallengeChannel channel);

/// The reference to a challenge that a realtime message holds.
struct ZELK_EXPORT Challenge {
  std::string _id;  // "_id", required

  static std::optional<Challenge> decode(std::string_view json, std::string* error = nullptr);
  bool operator==(const Challenge&) const = default;
};

/// The project that raised a challenge.
struct ZELK_EXPORT Project {
  std::string _id;   // "_id", required
  std::string name;  // "name", required

  static std::optional<Project> decode(std::string_view json, std::string* error = nullptr);
  bool operator==(const Project&) const = default;
};

/// The project's visual identity.
struct ZELK_EXPORT Brand {
  std::optional<std::string> logo;           // "logo": URL of the logo image
  std::optional<std::string> primary_color;  // "primary_color": hexadecimal colour text
  std::optional<bool> require_verification;  // "require_verification": absent means not required

  static std::optional<Brand> decode(std::string_view json, std::string* error = nullptr);
  bool operator==(const Brand&) const = default;
};

/// The account holder.
struct ZELK_EXPORT User {
  std::string _id;                   // "_id", required
  std::optional<std::string> email;  // "email"
  std::optional<std::string> phone;  // "phone"

  static std::optional<User> decode(std::string_view json, std::string* error = nullptr);
  bool operator==(const User&) const = default;
};

/// One challenge as the service returns it. Equal when the `_id` texts are equal, whatever the
/// other fields hold.
struct ZELK_EXPORT ChallengeDetails {
  std::string _id;                 // "_id", required: sent back by every later challenge call
  std::optional<Project> project;  // "project"
  std::optional<Brand> brand;      // "brand"
  std::optional<User> user;        // "user"
  // "channels", in document order; an empty array gives a present, empty list. An entry that is
  // not a known channel fails the whole record.
  std::optional<std::vector<ChallengeChannel>> channels;

  static std::optional<ChallengeDetails> decode(std::string_view json,
                                                std::string* error = nullptr);
  bool operator==(const ChallengeDetails& other) const { return _id == other._id; }
};

/// The reply to a code check.
struct ZELK_EXPORT ChallengeVerificationResult {
  bool success = false;  // "success", required

  static std::optional<ChallengeVerificationResult> decode(std::string_view json,
                                                           std::string* error = nullptr);
  bool operator==(const ChallengeVerificationResult&) const = default;
};

/// The attached devices counted by kind.
struct ZELK_EXPORT AttachedDeviceTypes {
  std::optional<std::int64_t> computers;  // "computers"
  std::optional<std::int64_t> tablets;    // "tablets"
  std::optional<std::int64_t> mobiles;    // "mobiles"

  static std::optional<AttachedDeviceTypes> decode(std::string_view json,
                                                   std::string* error = nullptr);
  bool operator==(const AttachedDeviceTypes&) const = default;
};

/// How many devices are attached to the account.
struct ZELK_EXPORT AttachedDevices {
  std::int64_t total = 0;       // "total", required
  AttachedDeviceTypes devices;  // "devices", required

  static std::optional<AttachedDevices> decode(std::string_view json, std::string* error = nullptr);
  bool operator==(const AttachedDevices&) const = default;
};

/// The device-limit situation of the account behind a challenge. Every member is required.
struct ZELK_EXPORT DeviceLimitState {
  AttachedDevices attachedDevices;       // "attached_devices"
  std::int64_t defaultOverallLimit = 0;  // "default_overall_limit": all devices together
  std::int64_t computerDeviceLimit = 0;  // "computer_device_limit"
  std::int64_t tabletDeviceLimit = 0;    // "tablet_device_limit"
  std::int64_t mobileDeviceLimit = 0;    // "mobile_device_limit"

  static std::optional<DeviceLimitState> decode(std::string_view json,
                                                std::string* error = nullptr);
  bool operator==(const DeviceLimitState&) const = default;
};

/// Decodes a JSON array of devices (the devices of a challenge), dates in the `iso8601Full`
/// format. One device that fails to decode fails the whole list.
ZELK_EXPORT std::optional<std::vector<ZelkDevice>> decodeDeviceList(std::string_view json,
                                                                    std::string* error = nullptr);

}  // namespace zelk
