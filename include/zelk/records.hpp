// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/date.hpp>
#include <zelk/export.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

/// \file
/// Records exchanged with the service. Decoding is strict: a required member that is missing or
/// of the wrong JSON type fails the whole record, an optional member may be missing or null,
/// unknown members are ignored, and integers must be whole numbers that fit 64 bits. Every
/// `decode` returns nothing on failure and, when `error` is given, stores the first problem there.
/// Every `toJson` writes the record back with the same member names, leaving out absent optional
/// members. Records are plain values: any thread may use them.

/// The kind of device reported to the service.
enum class ZelkDeviceType { mobile, tablet, computer };

/// The device type named by `text` ("mobile", "tablet", "computer"; case-sensitive), or nothing.
ZELK_EXPORT std::optional<ZelkDeviceType> deviceTypeFromText(std::string_view text);

/// The text of a device type as the service spells it.
ZELK_EXPORT std::string_view text(ZelkDeviceType type);

/// The operating system of a device, as the device reports it.
struct ZELK_EXPORT ZelkOS {
  std::optional<std::string> name;     ///< The system's name, e.g. "Linux" (JSON "name").
  std::optional<std::string> version;  ///< The system's version text (JSON "version").

  /// Decodes one `ZelkOS` from the JSON text `json`; nothing (and the reason in `error`) when it
  /// does not decode.
  static std::optional<ZelkOS> decode(std::string_view json, std::string* error = nullptr);
  /// The record as a JSON object text.
  std::string toJson() const;
  /// Member-wise equality.
  bool operator==(const ZelkOS&) const = default;
};

/// The hardware of a device, as the device reports it.
struct ZELK_EXPORT ZelkDeviceDetails {
  std::optional<std::string> vendor;  ///< The device's identifier for this vendor (JSON "vendor").
  std::optional<std::string> type;    ///< "mobile", "tablet" or "computer" (JSON "type").
  std::optional<std::string> model;   ///< The model name shown to users (JSON "model").

  /// Decodes one `ZelkDeviceDetails` from the JSON text `json`; nothing (and the reason in `error`)
  /// when it does not decode.
  static std::optional<ZelkDeviceDetails> decode(std::string_view json,
                                                 std::string* error = nullptr);
  /// The record as a JSON object text.
  std::string toJson() const;
  /// Member-wise equality.
  bool operator==(const ZelkDeviceDetails&) const = default;
};

/// Same shape as the "device_info" object the client sends.
struct ZELK_EXPORT ZelkDeviceInfo {
  std::optional<ZelkOS> os;                 ///< The operating system (JSON "os").
  std::optional<ZelkDeviceDetails> device;  ///< The hardware (JSON "device").

  /// Decodes one `ZelkDeviceInfo` from the JSON text `json`; nothing (and the reason in `error`)
  /// when it does not decode.
  static std::optional<ZelkDeviceInfo> decode(std::string_view json, std::string* error = nullptr);
  /// The record as a JSON object text.
  std::string toJson() const;
  /// Member-wise equality.
  bool operator==(const ZelkDeviceInfo&) const = default;
};

/// Where the service located a device's last access.
struct ZELK_EXPORT Geolocation {
  std::optional<std::string> city;     ///< The city's name (JSON "city").
  std::optional<std::string> country;  ///< The country's name (JSON "country").

  /// Decodes one `Geolocation` from the JSON text `json`; nothing (and the reason in `error`) when
  /// it does not decode.
  static std::optional<Geolocation> decode(std::string_view json, std::string* error = nullptr);
  /// The record as a JSON object text.
  std::string toJson() const;
  /// Member-wise equality.
  bool operator==(const Geolocation&) const = default;
};

/// The last access of a device.
struct ZELK_EXPORT Access {
  std::optional<Geolocation> geolocation;  ///< Where it came from (JSON "geolocation").

  /// Decodes one `Access` from the JSON text `json`; nothing (and the reason in `error`) when it
  /// does not decode.
  static std::optional<Access> decode(std::string_view json, std::string* error = nullptr);
  /// The record as a JSON object text.
  std::string toJson() const;
  /// Member-wise equality.
  bool operator==(const Access&) const = default;
};

/// One device attached to a user. Equal and hashed by `id` alone, so a device keeps its place in
/// sets and lists when a refreshed list brings it back with new details.
struct ZELK_EXPORT ZelkDevice {
  std::string id;                    ///< The service's device ID (JSON "_id", required).
  ZelkDeviceInfo info;               ///< What the device reported (JSON "info", required).
  std::optional<Date> createdAt;     ///< First attach ("createdAt", `iso8601Full` format).
  std::optional<Date> updatedAt;     ///< Last change ("updatedAt", `iso8601Full` format).
  std::optional<Access> lastAccess;  ///< The last access (JSON "last_access").

  /// Decodes one `ZelkDevice` from the JSON text `json`; nothing (and the reason in `error`) when
  /// it does not decode.
  static std::optional<ZelkDevice> decode(std::string_view json, std::string* error = nullptr);
  /// The record as a JSON object text.
  std::string toJson() const;
  /// Devices are the same device when their `id`s are equal.
  bool operator==(const ZelkDevice& other) const { return id == other.id; }
};

/// The reply to attach and to detach.
struct ZELK_EXPORT ZelkAttachResponse {
  std::optional<std::string> access;    ///< Opens the realtime stream (JSON "access").
  std::optional<std::string> deviceID;  ///< This device's ID at the service ("device_id").
  std::int64_t attachedDevices = 0;     ///< Devices the user has attached ("attached_devices").
  bool success = false;                 ///< Whether the service accepted the call ("success").
  std::optional<bool>
      blockOverUsage;  ///< Whether the project blocks over-use ("block_over_usage").
  std::optional<std::int64_t>
      defaultDeviceLimit;  ///< The project's limit ("default_device_limit").

  /// Decodes one `ZelkAttachResponse` from the JSON text `json`; nothing (and the reason in
  /// `error`) when it does not decode.
  static std::optional<ZelkAttachResponse> decode(std::string_view json,
                                                  std::string* error = nullptr);
};

/// The reply to identify.
struct ZELK_EXPORT ZelkDeviceIdentity {
  std::string identity;     ///< The device's identity (JSON "identity", required).
  double confidence = 0.0;  ///< How sure the service is, any JSON number ("confidence", required).

  /// Decodes one `ZelkDeviceIdentity` from the JSON text `json`; nothing (and the reason in
  /// `error`) when it does not decode.
  static std::optional<ZelkDeviceIdentity> decode(std::string_view json,
                                                  std::string* error = nullptr);
};

/// One device of the signed-in user, as the list of the user's own devices shows it.
struct ZELK_EXPORT ZelkUserDevice {
  ZelkDevice device;     ///< The device record ("_id", "info", the dates, the access).
  bool current = false;  ///< Whether it is the device asking (JSON "current", required).
  std::optional<Date>
      trustedUntil;  ///< Until when a trusted device stays trusted ("trusted_until").

  /// Decodes one `ZelkUserDevice` from the JSON text `json` (a device record with the two extra
  /// members); nothing (and the reason in `error`) when it does not decode.
  static std::optional<ZelkUserDevice> decode(std::string_view json, std::string* error = nullptr);
};

/// How many device changes the project allows a user, when it caps them.
struct ZELK_EXPORT ZelkSwapAllowance {
  std::int64_t limit = 0;  ///< Changes allowed in the window (JSON "limit", required).
  std::int64_t days = 0;   ///< The window's length in days (JSON "days", required).
  std::int64_t used = 0;   ///< Changes made in the window so far (JSON "used", required).
  /// When the next change is allowed, present only once `used` has reached `limit`
  /// ("next_change_at", `iso8601Full` format).
  std::optional<Date> nextChangeAt;

  /// Decodes one `ZelkSwapAllowance` from the JSON text `json`; nothing (and the reason in
  /// `error`) when it does not decode.
  static std::optional<ZelkSwapAllowance> decode(std::string_view json,
                                                 std::string* error = nullptr);
};

/// The reply to the list of the signed-in user's devices.
struct ZELK_EXPORT ZelkUserDevices {
  std::string deviceID;                    ///< The asking device's ID ("device_id", required).
  std::vector<ZelkUserDevice> devices;     ///< Every device of the user ("devices", required).
  std::optional<ZelkSwapAllowance> swaps;  ///< The cap on device changes, if any ("swaps").

  /// Decodes one `ZelkUserDevices` from the JSON text `json`; nothing (and the reason in `error`)
  /// when it does not decode.
  static std::optional<ZelkUserDevices> decode(std::string_view json, std::string* error = nullptr);
};

/// An error the library hands to the host.
struct ZelkError {
  std::string message;  ///< What went wrong, in one sentence for the developer.
};

/// An error of the calls about the user's own devices: what went wrong, and, when the service
/// refused the call, its status and when the next device change is allowed.
struct ZelkServiceError {
  /// What went wrong, in one sentence for the developer: the service's own "error" text when it
  /// refused the call with one, such as "unknown device".
  std::string message;
  /// The HTTP status of the service's reply; 0 when no reply arrived or nothing was sent.
  long status = 0;
  /// For a refusal under the project's cap on device changes: when the next change is allowed
  /// (the refusal's "next_change_at").
  std::optional<Date> nextChangeAt;
};

/// Kept for hosts; the library does not read it.
struct ZelkLimitConfig {
  std::int64_t mobileLimit = 0;   ///< Mobile devices a user may attach.
  std::int64_t overallLimit = 0;  ///< Devices of any kind a user may attach.
};

/// Kept for hosts; the library does not read it.
struct ZelkAppearanceConfig {
  bool showBlockingDialog = false;  ///< Whether the host shows its own blocking dialog.
};

}  // namespace zelk

/// Hashes a device by its `id`, matching its equality.
template <>
struct std::hash<zelk::ZelkDevice> {
  /// The hash of `device.id`.
  std::size_t operator()(const zelk::ZelkDevice& device) const noexcept {
    return std::hash<std::string>{}(device.id);
  }
};
