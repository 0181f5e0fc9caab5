// SPDX-License-Identifier: Apache-2.0
// What an operator configures: a project's name, brand and device limits, and what the service
// knows of a user besides their devices.
#pragma once

#include <string>

namespace zelk::server {

// A project's settings: its name and brand as challenges show them, and its device limits.
struct ProjectSettings {
  std::string name;  // "" : the client id
  // An attach that leaves the user with more devices than `overallLimit`, or with more devices of
  // the attached device's type than that type's limit, raises a challenge. A per-type limit of 0
  // sets no limit on that type.
  int overallLimit = 3;
  int mobileLimit = 3;
  int tabletLimit = 3;
  int computerLimit = 3;
  std::string logo;                      // URL of the logo; "" : none
  std::string primaryColor = "#4F46E5";  // "" : none
  bool requireVerification = false;
  bool blockOverUsage = false;  // reported by attach as "block_over_usage"
};

// What the service knows of a user besides their devices; "" : unknown.
struct UserProfile {
  std::string email, phone;
};

}  // namespace zelk::server
