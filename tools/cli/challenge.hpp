// SPDX-License-Identifier: Apache-2.0
// zelk challenge: the challenge screens of this device, shown as text in the terminal.
#pragma once

#include <zelk/zelk.hpp>

#include <chrono>
#include <string>

namespace zelk::cli {

struct ChallengeOptions {
  std::string clientID, user;
  Platform platform;
  // Go through the challenge without a person: verify by e-mail (or text) when the project
  // asks for it, read the code from the sandbox's admin endpoint, log the other devices out and
  // continue.
  bool walk = false;
  std::chrono::seconds timeout{90};  // the longest wait for the challenge and for each reply
};

// Attaches this device for the user, waits for a challenge and shows its screens, one action at
// a time, until the challenge closes. Returns the process's exit status.
int runChallenge(const ChallengeOptions& options);

}  // namespace zelk::cli
