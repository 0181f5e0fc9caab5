// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/export.hpp>
#include <zelk/records.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

/// \file
/// Records of a challenge raised for an account. They are only ever decoded from the service's
/// replies, never encoded. Decoding is strict: a required member that is missing, null or of the
/// wrong JSON type fails the record, and so does an optional member present with the wrong type;
/// an optional member that is missing or null is absent; unknown members are ignored; a nested
/// record that fails fails the record holding it. Every `decode` returns nothing on failure and,
/// when `error` is given, stores a description of the first problem there. Records are plain
/// values: any thread may use them.

/// How a one-time code is delivered.
enum class ChallengeChannel { email, text };

/// The channel named by `text` ("email", "text"; case-sensitive), or nothing.
ZELK_EXPORT std::optional<ChallengeChannel> challengeChannelFromText(std::string_view text);

/// The text of a channel as the service spells it; also what the verify call sends.
ZELK_EXPORT std::string_view text(ChallengeChannel channel);

/// The reference to a challenge that a realtime message holds.
struct ZELK_EXPORT Challenge {
  std::string _id;  ///< The challenge's ID (JSON "_id", required).

  /// Decodes one `Challenge` from the JSON text `json`; nothing (and the reason in `error`) when it
  /// does not decode.
  static std::optional<Challenge> decode(std::string_view json, std::string* error = nullptr);
  /// Member-wise equality.
  bool operator==(const Challenge&) const = default;
};

/// The project that raised a challenge.
struct ZELK_EXPORT Project {
  std::string _id;   ///< The project's ID (JSON "_id", required).
  std::string name;  ///< The name shown on the screens (JSON "name", required).

  /// Decodes one `Project` from the JSON text `json`; nothing (and the reason in `error`) when it
  /// does not decode.
  static std::optional<Project> decode(std::string_view json, std::string* error = nullptr);
  /// Member-wise equality.
  bool operator==(const Project&) const = default;
};

/// The project's visual identity.
struct ZELK_EXPORT Brand {
  std::optional<std::string> logo;           ///< URL of the logo image (JSON "logo").
  std::optional<std::string> primary_color;  ///< Hexadecimal colour text ("primary_color").
  /// Whether the user must verify with a code before the device limiter; absent means not
  /// required (JSON "require_verification").
  std::optional<bool> require_verification;

  /// Decodes one `Brand` from the JSON text `json`; nothing (and the reason in `error`) when it
  /// does not decode.
  static std::optional<Brand> decode(std::string_view json, std::string* error = nullptr);
  /// Member-wise equality.
  bool operator==(const Brand&) const = default;
};

/// The account holder.
struct ZELK_EXPORT User {
  std::string _id;                   ///< The user's ID at the service (JSON "_id", required).
  std::optional<std::string> email;  ///< Where an e-mailed code goes (JSON "email").
  std::optional<std::string> phone;  ///< Where a texted code goes (JSON "phone").

  /// Decodes one `User` from the JSON text `json`; nothing (and the reason in `error`) when it
  /// does not decode.
  static std::optional<User> decode(std::string_view json, std::string* error = nullptr);
  /// Member-wise equality.
  bool operator==(const User&) const = default;
};

/// One challenge as the service returns it. Equal when the `_id` texts are equal, whatever the
/// other fields hold.
struct ZELK_EXPORT ChallengeDetails {
  std::string _id;  ///< Sent back by every later challenge call (JSON "_id", required).
  std::optional<Project> project;  ///< The project that raised it (JSON "project").
  std::optional<Brand> brand;      ///< The project's look (JSON "brand").
  std::optional<User> user;        ///< The account holder (JSON "user").
  /// The channels a code may be sent through ("channels"), in document order; an empty array
  /// gives a present, empty list. An entry that is not a known channel fails the whole record.
  std::optional<std::vector<ChallengeChannel>> channels;

  /// Decodes one `ChallengeDetails` from the JSON text `json`; nothing (and the reason in `error`)
  /// when it does not decode.
  static std::optional<ChallengeDetails> decode(std::string_view json,
                                                std::string* error = nullptr);
  /// The same challenge when the `_id`s are equal.
  bool operator==(const ChallengeDetails& other) const { return _id == other._id; }
};

/// The reply to a code check.
struct ZELK_EXPORT ChallengeVerificationResult {
  bool success = false;  ///< Whether the code was right (JSON "success", required).

  /// Decodes one `ChallengeVerificationResult` from the JSON text `json`; nothing (and the reason
  /// in `error`) when it does not decode.
  static std::optional<ChallengeVerificationResult> decode(std::string_view json,
                                                           std::string* error = nullptr);
  /// Member-wise equality.
  bool operator==(const ChallengeVerificationResult&) const = default;
};

/// The attached devices counted by kind.
struct ZELK_EXPORT AttachedDeviceTypes {
  std::optional<std::int64_t> computers;  ///< Attached computers (JSON "computers").
  std::optional<std::int64_t> tablets;    ///< Attached tablets (JSON "tablets").
  std::optional<std::int64_t> mobiles;    ///< Attached mobile phones (JSON "mobiles").

  /// Decodes one `AttachedDeviceTypes` from the JSON text `json`; nothing (and the reason in
  /// `error`) when it does not decode.
  static std::optional<AttachedDeviceTypes> decode(std::string_view json,
                                                   std::string* error = nullptr);
  /// Member-wise equality.
  bool operator==(const AttachedDeviceTypes&) const = default;
};

/// How many devices are attached to the account.
struct ZELK_EXPORT AttachedDevices {
  std::int64_t total = 0;       ///< All attached devices (JSON "total", required).
  AttachedDeviceTypes devices;  ///< The same by kind (JSON "devices", required).

  /// Decodes one `AttachedDevices` from the JSON text `json`; nothing (and the reason in `error`)
  /// when it does not decode.
  static std::optional<AttachedDevices> decode(std::string_view json, std::string* error = nullptr);
  /// Member-wise equality.
  bool operator==(const AttachedDevices&) const = default;
};

/// The device-limit situation of the account behind a challenge. Every member is required.
struct ZELK_EXPORT DeviceLimitState {
  AttachedDevices attachedDevices;  ///< What is attached now (JSON "attached_devices").
  /// How many devices of all kinds together the account may keep ("default_overall_limit").
  std::int64_t defaultOverallLimit = 0;
  std::int64_t computerDeviceLimit = 0;  ///< Computers allowed ("computer_device_limit").
  std::int64_t tabletDeviceLimit = 0;    ///< Tablets allowed ("tablet_device_limit").
  std::int64_t mobileDeviceLimit = 0;    ///< Mobile phones allowed ("mobile_device_limit").

  /// Decodes one `DeviceLimitState` from the JSON text `json`; nothing (and the reason in `error`)
  /// when it does not decode.
  static std::optional<DeviceLimitState> decode(std::string_view json,
                                                std::string* error = nullptr);
  /// Member-wise equality.
  bool operator==(const DeviceLimitState&) const = default;
};

/// Decodes a JSON array of devices (the devices of a challenge), dates in the `iso8601Full`
/// format. One device that fails to decode fails the whole list.
ZELK_EXPORT std::optional<std::vector<ZelkDevice>> decodeDeviceList(std::string_view json,
                                                                    std::string* error = nullptr);

}  // namespace zelk
