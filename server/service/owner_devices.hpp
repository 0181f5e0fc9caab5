// SPDX-License-Identifier: Apache-2.0
// What owners see and do of their own devices, as plain functions over one user's records: the
// device list, signing one device out from another, the e-mail that tells the owner of a new
// device, trusted devices, and the cap on how often devices change hands.
//
// A device record goes with every detach (an app detaches when it leaves the foreground), so
// what must outlast it is kept by vendor identifier in the user's known devices: whether the
// owner was told of the device, the code that notice carried, and until when it is trusted.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "service/devices.hpp"

namespace zelk::server {

// How long the code of a new-device notice signs its device out.
inline constexpr std::chrono::hours kNoticeCodeLifetime{24 * 7};
// Notices one user is sent within any hour, at most; devices past them go untold.
inline constexpr int kNoticesPerHour = 3;
// Devices remembered of one user, at most: past them, the first seen are forgotten first.
inline constexpr std::size_t kMaxKnownDevices = 100;

// Whether `device` passed an owner's verification lately, so that no limit logs it out by itself.
bool isTrusted(const UserRecord& user, const Device& device, Clock::time_point now);

// When the user's devices may next change (one signed out by another of them): nullopt when
// now, or when the project sets no cap.
std::optional<Clock::time_point> nextDeviceChange(const UserRecord& user,
                                                  const ProjectSettings& settings,
                                                  Clock::time_point now);
// Counts a change of the user's devices at `now`, forgetting the ones past the window.
void countDeviceChange(UserEdit& edit, const ProjectSettings& settings, Clock::time_point now);
// Whether a detach of `deviceId` changes the user's devices: the device limiter, which a
// challenge at a limit shows on the device that raised it, signing out another device. A device
// detaching itself is no change.
bool detachChangesDevices(const UserRecord& user, const std::string& deviceId);

enum class OwnerCheck { ok, unknownDevice, unknownAccess };
// Whether `caller` is a device of the user that holds `access`.
OwnerCheck checkOwner(const UserRecord& user, const std::string& caller, const std::string& access);

// The devices of the user as their device `caller` lists them: {"device_id", "devices",
// "swaps"}, each device as the device limiter shows it, with "current" and, while it is
// trusted, "trusted_until"; "swaps" only when the project caps device changes.
nlohmann::json ownerDevicesJSON(const UserRecord& user, const std::string& caller,
                                const RuleContext& context);

enum class OwnerLogout { done, unknownDevice, unknownCode, tooSoon };

struct OwnerLogoutResult {
  OwnerLogout status = OwnerLogout::unknownDevice;
  DetachResult detached;           // with done
  Clock::time_point nextChangeAt;  // with tooSoon: when a change is allowed again
};

// Signs out, at the request of the user's device `caller`, the device `target`, or with `byCode`
// the device whose new-device notice carried the code `target` (good once). A detach like any
// other; signing out another device by its id counts as a change of devices and is refused past
// the project's cap. A code from the notice is the owner's own word and always counts.
OwnerLogoutResult ownerLogout(UserEdit& edit, const std::string& caller, const std::string& target,
                              bool byCode, const std::string& codeKey, const RuleContext& context);

// Remembers the device of an attach by its vendor identifier. When the project asks for notices,
// tells the owner of a device never seen before by e-mail, through the outbox, with a code that
// signs it out: only for a user with an e-mail address who was seen with another device before,
// and at most kNoticesPerHour an hour.
void rememberDevice(UserEdit& edit, const std::string& deviceId, const std::string& codeKey,
                    const RuleContext& context);

// The code of `challenge` was right: the device that raised it is trusted for the project's
// trusted-device days.
void trustVerifiedDevice(UserEdit& edit, const Challenge& challenge, const RuleContext& context);

// The HMAC a notice's code is kept as, bound to the device it signs out.
std::string noticeCodeHash(const std::string& codeKey, const std::string& vendorId,
                           const std::string& code);

}  // namespace zelk::server
