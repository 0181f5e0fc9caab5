// SPDX-License-Identifier: Apache-2.0
// What an operator configures: a project's name, brand and device limits, and what the service
// knows of a user besides their devices.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zelk::server {

// What an attach does when the device it adds takes the user over a limit.
enum class LimitPolicy {
  challenge,    // attaches it and raises a challenge on the user's devices
  block,        // attaches nothing: the answer says success false and block_over_usage true
  evictOldest,  // attaches it and logs out the least recently active devices in its way
};

inline std::string_view limitPolicyName(LimitPolicy policy) {
  switch (policy) {
    case LimitPolicy::block:
      return "block";
    case LimitPolicy::evictOldest:
      return "evict_oldest";
    case LimitPolicy::challenge:
      break;
  }
  return "challenge";
}

inline std::optional<LimitPolicy> limitPolicyFromName(std::string_view name) {
  if (name == "challenge") return LimitPolicy::challenge;
  if (name == "block") return LimitPolicy::block;
  if (name == "evict_oldest") return LimitPolicy::evictOldest;
  return std::nullopt;
}

// A project's settings: its name and brand as challenges show them, and its device limits.
struct ProjectSettings {
  std::string name;  // "" : the client id
  // An attach that leaves the user with more devices than `overallLimit`, or with more devices of
  // the attached device's type than that type's limit, raises a challenge. A per-type limit of 0
  // sets no limit on that type, which is what a project has until an operator sets one.
  int overallLimit = 3;
  int mobileLimit = 0;
  int tabletLimit = 0;
  int computerLimit = 0;
  std::string logo;                      // URL of the logo; "" : none
  std::string primaryColor = "#4F46E5";  // "" : none
  bool requireVerification = false;
  bool blockOverUsage = false;  // reported by attach as "block_over_usage"
  LimitPolicy limitPolicy = LimitPolicy::challenge;
  // Whether a challenge shows the user's e-mail address and phone number whole; by default
  // they are masked ("a•••e@example.com", "•••• 4821").
  bool showContacts = false;
  // How long a device stays attached once its last stream closed without a detach (or, when it
  // never opened one, after its attach); then the service detaches it itself. 0: for ever.
  int livenessGraceSeconds = 900;
  // Where the project's events are posted (http or https; "" : nowhere), signed under
  // `webhookSecret`. The secret is never shown back whole.
  std::string webhookUrl;
  std::string webhookSecret;
  // The secret the app's backend signs user ids under (HMAC-SHA256, sent by the app as
  // metadata "user_signature"); "" : none. Only a signed user is ever evicted, and with
  // `requireSignedUsers` an unsigned attach is refused. Never shown back whole.
  std::string userSecret;
  bool requireSignedUsers = false;
  // Whether the owner (a user with an e-mail address) is told by e-mail of each device that
  // attaches for the first time, with a code that signs it out.
  bool newDeviceNotices = false;
  // How long a device whose attach was confirmed with a code of a challenge stays trusted: no
  // limit logs it out by itself (evict_oldest passes it by). 0: devices are never trusted.
  int trustedDeviceDays = 0;
  // How many devices may be signed out by another device of the user (the device limiter, the
  // owner's device list) within `deviceChangesDays`; more are refused until the oldest change
  // is that old. 0: no cap.
  int deviceChangesLimit = 0;
  int deviceChangesDays = 30;
};

// What the service knows of a user besides their devices; "" : unknown.
struct UserProfile {
  std::string email, phone;
};

}  // namespace zelk::server
