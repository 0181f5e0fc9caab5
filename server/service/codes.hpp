// SPDX-License-Identifier: Apache-2.0
// The one-time code rules, as plain functions over one user's records: sending a code of a
// challenge within the resend limits, and checking one within its lifetime and checks.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "service/user_edit.hpp"

namespace zelk::server {

// How one-time codes are limited.
struct CodePolicy {
  std::chrono::seconds lifetime{600};       // a code is void this long after it was sent
  int maxChecks = 5;                        // checks one code takes; then it is void
  std::chrono::seconds resendInterval{30};  // least time between two codes of a challenge
  int maxSendsPerHour = 5;                  // codes of a challenge within any hour
};

// What the code rules are decided with.
struct CodeContext {
  const ProjectSettings& settings;
  const CodePolicy& policy;
  const std::string& key;  // codes are kept only as an HMAC under it
  Clock::time_point now;   // the time the rules go by
  // Codes go to the outbox too, to be sent by e-mail or text message.
  bool deliver = false;
};

// A code just made, for whatever delivers it. The only place the code itself appears.
struct SentCode {
  std::string project, challenge, user;
  std::string channel;  // "email" or "text"
  std::string code;
  UserProfile contact;  // where it goes
};

enum class CodeSend { sent, unknownChallenge, tooSoon };

struct SendCodeResult {
  CodeSend status = CodeSend::unknownChallenge;
  std::optional<SentCode> sent;  // with status sent
  // With status tooSoon: when the next code may be sent.
  std::chrono::seconds retryAfter{0};
};

// Makes a new six-digit code of `challenge` from the CSPRNG for `channel` ("" : the channel of
// the last code, or "email") and keeps only its HMAC; the code itself is in the result, for
// delivery. Refused (tooSoon) within the resend interval of the last code or past the sends of
// an hour; the last code then stays good.
SendCodeResult sendCode(UserEdit& edit, Challenge& challenge, const std::string& channel,
                        const CodeContext& context);
// Whether `code` is the last code sent for `challenge`, still within its lifetime and its
// checks, compared in constant time; a right one verifies the challenge. Every check counts
// against the code, a right one included.
bool checkCode(UserEdit& edit, Challenge& challenge, const std::string& code,
               const CodeContext& context);

// A challenge as the operator views show it.
nlohmann::json challengeState(const Challenge& challenge, const CodePolicy& policy);

}  // namespace zelk::server
