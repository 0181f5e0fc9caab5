// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/export.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace zelk {

/// What the library reports about the device it runs on.
struct DeviceFacts {
  std::string model;          ///< device model name; a name containing "iPad" reports a tablet
  std::string systemName;     ///< operating system name
  std::string systemVersion;  ///< operating system version text
  /// Stable identifier of this device for this vendor, as an upper-case 8-4-4-4-12 UUID.
  /// Absent: the library sends a fresh random UUID on every request instead.
  std::optional<std::string> identifierForVendor;
};

/// This machine's facts: the DMI product name as model (else "Linux"), NAME and VERSION_ID of
/// os-release, and an identifier derived from /etc/machine-id (see `appSpecificID`).
ZELK_EXPORT DeviceFacts currentDeviceFacts();

/// The application-specific ID that `currentDeviceFacts` reports for a machine ID given as 32
/// hexadecimal digits: HMAC-SHA256 keyed by the machine ID over the library's fixed application
/// key, truncated to a version 4 UUID in upper case. The raw machine ID cannot be recovered from
/// it. Absent when `machineID` is not 32 hexadecimal digits.
ZELK_EXPORT std::optional<std::string> appSpecificID(std::string_view machineID);

/// A fresh random version 4 UUID in upper-case 8-4-4-4-12 form, from the system's random source.
ZELK_EXPORT std::string randomUUID();

}  // namespace zelk
