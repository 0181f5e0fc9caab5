// SPDX-License-Identifier: Apache-2.0
// The one-time code rules, as plain functions over one user's records: sending a code of a
// challenge within the resend limits, and checking one within its lifetime and checks.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/user_edit.hpp"

namespace zelk::server {

// How one-time codes are limited.
struct CodePolicy {
  std::chrono::seconds lifetime{600};       // a code is void this long after it was sent
  int maxChecks = 5;                        // checks one code takes; then it is void
  std::chrono::seconds resendInterval{30};  // least time between two codes of a challenge
  int maxSendsPerHour = 5;                  // codes of a challenge within any hour
  int maxUserSendsPerHour = 10;             // codes of all of a user's challenges within any hour
  // Codes this instance sends to one e-mail address or phone number within any hour, whoever
  // they are for.
  int maxDestinationSendsPerHour = 10;
};

// The codes this instance sent to each destination (an e-mail address, a phone number) in the
// last hour, whichever user they were for: an address given to many users gets no more than
// the policy allows. Keeps at most `maxDestinations`; past them, the ones with nothing sent
// within the hour go first, then the least recently counted. Every member may be called from
// any thread.
class DestinationSends {
 public:
  explicit DestinationSends(std::size_t maxDestinations = 100'000);
  DestinationSends(const DestinationSends&) = delete;
  DestinationSends& operator=(const DestinationSends&) = delete;

  // Counts a code to `destination` at `now` and returns nullopt when fewer than `perHour` went
  // there within the hour before; otherwise counts nothing and returns when one more may go.
  std::optional<Clock::time_point> take(const std::string& destination, int perHour,
                                        Clock::time_point now);

 private:
  struct Sends {
    std::vector<Clock::time_point> times;  // oldest first, within the hour
    std::uint64_t used = 0;                // when it was last counted, by `counter_`
  };
  void trim(Clock::time_point now);

  const std::size_t maxDestinations_;
  std::mutex mutex_;
  std::unordered_map<std::string, Sends> sends_;
  std::uint64_t counter_ = 0;
};

// Which channels codes can go by: the ones this server sends itself (it has an SMTP relay, a
// text message provider), to users with a contact for them; and every channel, to anyone, when
// the program reveals codes itself (the sandbox's hooks, a test's sink).
struct CodeChannels {
  bool email = false, text = false;
  bool revealed = false;
};

// What the code rules are decided with.
struct CodeContext {
  const ProjectSettings& settings;
  const CodePolicy& policy;
  const std::string& key;  // codes are kept only as an HMAC under it
  Clock::time_point now;   // the time the rules go by
  // A code goes to the outbox when this server sends its channel.
  CodeChannels channels;
  // What this instance sent to each destination; nullptr: no limit per destination.
  DestinationSends* destinations = nullptr;
};

// The channels ("email", "text", in that order) a code of `user` can go by.
std::vector<std::string> codeChannels(const UserProfile& user, const CodeChannels& channels);

// A code just made, for whatever delivers it. The only place the code itself appears.
struct SentCode {
  std::string project, challenge, user;
  std::string channel;  // "email" or "text"
  std::string code;
  UserProfile contact;  // where it goes
};

enum class CodeSend { sent, unknownChallenge, tooSoon, undeliverable };

struct SendCodeResult {
  CodeSend status = CodeSend::unknownChallenge;
  std::optional<SentCode> sent;  // with status sent
  bool queued = false;           // with status sent: it went to the outbox, to be delivered
  // With status tooSoon: when the next code may be sent.
  std::chrono::seconds retryAfter{0};
  // With status undeliverable: why no code can go by the channel asked for.
  std::string why;
};

// Makes a new six-digit code of `challenge` from the CSPRNG for `channel` ("" : the channel of
// the last code, or "email") and keeps only its HMAC; the code itself is in the result, for
// delivery. Refused (tooSoon) within the resend interval of the last code or past the sends of
// an hour, of the challenge or of all of the user's; the last code then stays good. Refused
// (undeliverable) when the code could not reach the user by that channel; "" asks for the last
// channel used while it can still be, else the first one that can.
SendCodeResult sendCode(UserEdit& edit, Challenge& challenge, const std::string& channel,
                        const CodeContext& context);
// Whether `code` is the last code sent for `challenge`, still within its lifetime and its
// checks, compared in constant time; a right one verifies the challenge and voids the code, which
// is good for one verification only. Every check counts against the code, a right one included.
bool checkCode(UserEdit& edit, Challenge& challenge, const std::string& code,
               const CodeContext& context);

// A code whose delivery failed for good: when it is still the challenge's last code, it is void
// and counts against no send limit, so that the user may ask for another at once. `code` is the
// one the delivery carried.
void codeUndelivered(UserEdit& edit, Challenge& challenge, const std::string& code,
                     const CodeContext& context);

// A code as the outbox keeps it until it is sent: sealed (AES-256-GCM) under a key derived from
// the code key, so that neither the database nor its log ever holds it in the clear. unsealCode
// answers nullopt for text that is not a code sealed under that key.
std::string sealCode(const std::string& codeKey, const std::string& code);
std::optional<std::string> unsealCode(const std::string& codeKey, const std::string& sealed);

// A challenge as the operator views show it.
nlohmann::json challengeState(const Challenge& challenge, const CodePolicy& policy);

}  // namespace zelk::server
