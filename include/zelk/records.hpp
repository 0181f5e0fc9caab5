#pragma once

#include <zelk/date.hpp>
#include <zelk/export.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zelk {

// Records exchanged with the service. Decoding is strict: a required member that is missing or
// of the wrong JSON type fails the whole record, an optional member may be missing or null,
// unknown members are ignored, and integers must be whole numbers that fit 64 bits. Every
// `decode` returns nothing on failure and, when `error` is given, stores the first problem there.

/// The kind of device reported to the service.
enum class ZelkDeviceType { mobile, tablet, computer };

/// The device type named by `text` ("mobile", "tablet", "computer"; case-sensitive), or nothing.
ZELK_EXPORT std::optional<ZelkDeviceType> deviceTypeFromText(std::string_view text);

/// The text of a device type as the service spells it.
ZELK_EXPORT std::string_view text(ZelkDeviceType type);

struct ZELK_EXPORT ZelkOS {
  std::optional<std::string> name;     // "name"
  std::optional<std::string> version;  // "version"

  static std::optional<ZelkOS> decode(std::string_view json, std::string* error = nullptr);
  std::string toJson() const;
  bool operator==(const ZelkOS&) const = default;
};

struct ZELK_EXPORT ZelkDeviceDetails {
  std::optional<std::string> vendor;  // "vendor"
  std::optional<std::string> type;    // "type"
  std::optional<std::string> model;   // "model"

  static std::optional<ZelkDeviceDetails> decode(std::string_view json,
                                                 std::string* error = nullptr);
  std::string toJson() const;
  bool operator==(const ZelkDeviceDetails&) const = default;
};

/// Same shape as the "device_info" object the client sends.
struct ZELK_EXPORT ZelkDeviceInfo {
  std::optional<ZelkOS> os;                 // "os"
  std::optional<ZelkDeviceDetails> device;  // "device"

  static std::optional<ZelkDeviceInfo> decode(std::string_view json, std::string* error = nullptr);
  std::string toJson() const;
  bool operator==(const ZelkDeviceInfo&) const = default;
};

struct ZELK_EXPORT Geolocation {
  std::optional<std::string> city;     // "city"
  std::optional<std::string> country;  // "country"

  static std::optional<Geolocation> decode(std::string_view json, std::string* error = nullptr);
  std::string toJson() const;
  bool operator==(const Geolocation&) const = default;
};

/// The last access of a device.
struct ZELK_EXPORT Access {
  std::optional<Geolocation> geolocation;  // "geolocation"

  static std::optional<Access> decode(std::string_view json, std::string* error = nullptr);
  std::string toJson() const;
  bool operator==(const Access&) const = default;
};

/// One device attached to a user. Equal and hashed by `id` alone, so a device keeps its place in
/// sets and lists when a refreshed list brings it back with new details.
struct ZELK_EXPORT ZelkDevice {
  std::string id;                    // "_id", required
  ZelkDeviceInfo info;               // "info", required
  std::optional<Date> createdAt;     // "createdAt", in the `iso8601Full` format
  std::optional<Date> updatedAt;     // "updatedAt", in the `iso8601Full` format
  std::optional<Access> lastAccess;  // "last_access"

  static std::optional<ZelkDevice> decode(std::string_view json, std::string* error = nullptr);
  std::string toJson() const;
  bool operator==(const ZelkDevice& other) const { return id == other.id; }
};

/// The reply to attach and to detach.
struct ZELK_EXPORT ZelkAttachResponse {
  std::optional<std::string> access;               // "access": opens the realtime stream
  std::optional<std::string> deviceID;             // "device_id"
  std::int64_t attachedDevices = 0;                // "attached_devices", required
  bool success = false;                            // "success", required
  std::optional<bool> blockOverUsage;              // "block_over_usage"
  std::optional<std::int64_t> defaultDeviceLimit;  // "default_device_limit"

  static std::optional<ZelkAttachResponse> decode(std::string_view json,
                                                  std::string* error = nullptr);
};

/// The reply to identify.
struct ZELK_EXPORT ZelkDeviceIdentity {
  std::string identity;     // "identity", required
  double confidence = 0.0;  // "confidence", required; any JSON number

  static std::optional<ZelkDeviceIdentity> decode(std::string_view json,
                                                  std::string* error = nullptr);
};

/// An error the library hands to the host.
struct ZelkError {
  std::string message;
};

/// Kept for hosts; the library does not read it.
struct ZelkLimitConfig {
  std::int64_t mobileLimit = 0;
  std::int64_t overallLimit = 0;
};

/// Kept for hosts; the library does not read it.
struct ZelkAppearanceConfig {
  bool showBlockingDialog = false;
};

}  // namespace zelk

template <>
struct std::hash<zelk::ZelkDevice> {
  std::size_t operator()(const zelk::ZelkDevice& device) const noexcept {
    return std::hash<std::string>{}(device.id);
  }
};
