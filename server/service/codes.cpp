// SPDX-License-Identifier: Apache-2.0
#include "service/codes.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string_view>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include "service/ids.hpp"

namespace zelk::server {
namespace {

using nlohmann::json;

std::string codeHash(const std::string& key, const std::string& challengeId,
                     const std::string& code) {
  // Bound to the challenge, so that one code's HMAC says nothing of another challenge's.
  return hmacSha256Hex(key, challengeId + ":" + code);
}

std::optional<std::string> fromHex(std::string_view hex) {
  if (hex.size() % 2) return std::nullopt;
  const auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string bytes;
  bytes.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = nibble(hex[i]), low = nibble(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes += static_cast<char>(high << 4 | low);
  }
  return bytes;
}

// The key codes are sealed under in the outbox: derived from the code key, so that it is never
// the key their HMACs are made with.
std::array<unsigned char, 32> sealingKey(const std::string& codeKey) {
  std::array<unsigned char, 32> key{};
  unsigned int length = 0;
  static constexpr std::string_view kPurpose = "zelk outbox code";
  if (!HMAC(EVP_sha256(), codeKey.data(), static_cast<int>(codeKey.size()),
            reinterpret_cast<const unsigned char*>(kPurpose.data()), kPurpose.size(), key.data(),
            &length) ||
      length != key.size())
    throw std::runtime_error("cannot compute an HMAC");
  return key;
}

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

constexpr int kNonceBytes = 12, kTagBytes = 16;

bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

std::string undeliverableWhy(const std::string& channel, const CodeChannels& channels) {
  if (channel == "email")
    return channels.email ? "the user has no e-mail address" : "this service sends no e-mail";
  return channels.text ? "the user has no phone number" : "this service sends no text messages";
}

// When the code sends of the last hour in `sends` (any order) allow another, given at most `max`.
std::optional<Clock::time_point> hourFull(std::vector<Clock::time_point> sends, int max,
                                          Clock::time_point at) {
  std::erase_if(sends, [&](Clock::time_point sent) { return sent <= at - std::chrono::hours(1); });
  if (static_cast<int>(sends.size()) < max) return std::nullopt;
  std::sort(sends.begin(), sends.end());
  return sends[sends.size() - static_cast<std::size_t>(std::max(max, 1))] + std::chrono::hours(1);
}

// Where a code by `channel` goes, as the limit per destination counts it: e-mail addresses in
// any case are one.
std::string destinationOf(const UserProfile& contact, const std::string& channel) {
  if (channel == "text") return "text:" + contact.phone;
  std::string address = contact.email;
  for (char& c : address) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return "email:" + address;
}

}  // namespace

DestinationSends::DestinationSends(std::size_t maxDestinations)
    : maxDestinations_(std::max<std::size_t>(maxDestinations, 1)) {}

std::optional<Clock::time_point> DestinationSends::take(const std::string& destination, int perHour,
                                                        Clock::time_point now) {
  std::lock_guard lock(mutex_);
  Sends& sends = sends_[destination];
  sends.used = ++counter_;
  std::erase_if(sends.times,
                [&](Clock::time_point sent) { return sent <= now - std::chrono::hours(1); });
  if (static_cast<int>(sends.times.size()) >= perHour) {
    const std::size_t oldestThatCounts =
        sends.times.size() - static_cast<std::size_t>(std::max(perHour, 1));
    return sends.times[oldestThatCounts] + std::chrono::hours(1);
  }
  sends.times.push_back(now);
  if (sends_.size() > maxDestinations_) trim(now);
  return std::nullopt;
}

void DestinationSends::trim(Clock::time_point now) {
  std::erase_if(sends_, [&](const auto& entry) {
    const auto& times = entry.second.times;
    return times.empty() || times.back() <= now - std::chrono::hours(1);
  });
  while (sends_.size() > maxDestinations_) {
    const auto oldest = std::min_element(
        sends_.begin(), sends_.end(),
        [](const auto& a, const auto& b) { return a.second.used < b.second.used; });
    sends_.erase(oldest);
  }
}

std::vector<std::string> codeChannels(const UserProfile& user, const CodeChannels& channels) {
  std::vector<std::string> possible;
  if (channels.revealed || (channels.email && !user.email.empty())) possible.push_back("email");
  if (channels.revealed || (channels.text && !user.phone.empty())) possible.push_back("text");
  return possible;
}

std::string sealCode(const std::string& codeKey, const std::string& code) {
  const auto key = sealingKey(codeKey);
  unsigned char nonce[kNonceBytes];
  if (RAND_bytes(nonce, sizeof nonce) != 1)
    throw std::runtime_error("the random number generator failed");
  CipherContext cipher(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  std::string sealed(code.size() + kTagBytes, '\0');
  auto* out = reinterpret_cast<unsigned char*>(sealed.data());
  int written = 0, last = 0;
  if (!cipher ||
      EVP_EncryptInit_ex(cipher.get(), EVP_aes_256_gcm(), nullptr, key.data(), nonce) != 1 ||
      EVP_EncryptUpdate(cipher.get(), out, &written,
                        reinterpret_cast<const unsigned char*>(code.data()),
                        static_cast<int>(code.size())) != 1 ||
      EVP_EncryptFinal_ex(cipher.get(), out + written, &last) != 1 ||
      EVP_CIPHER_CTX_ctrl(cipher.get(), EVP_CTRL_GCM_GET_TAG, kTagBytes, out + code.size()) != 1)
    throw std::runtime_error("cannot seal a code");
  return toHex(std::string_view(reinterpret_cast<const char*>(nonce), sizeof nonce)) +
         toHex(sealed);
}

std::optional<std::string> unsealCode(const std::string& codeKey, const std::string& sealed) {
  const std::optional<std::string> bytes = fromHex(sealed);
  if (!bytes || bytes->size() < kNonceBytes + kTagBytes) return std::nullopt;
  const auto key = sealingKey(codeKey);
  const auto* in = reinterpret_cast<const unsigned char*>(bytes->data());
  const int length = static_cast<int>(bytes->size()) - kNonceBytes - kTagBytes;
  std::string code(static_cast<std::size_t>(length), '\0');
  unsigned char tag[kTagBytes];
  std::memcpy(tag, in + kNonceBytes + length, kTagBytes);
  CipherContext cipher(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  int written = 0, last = 0;
  if (!cipher ||
      EVP_DecryptInit_ex(cipher.get(), EVP_aes_256_gcm(), nullptr, key.data(), in) != 1 ||
      EVP_DecryptUpdate(cipher.get(), reinterpret_cast<unsigned char*>(code.data()), &written,
                        in + kNonceBytes, length) != 1 ||
      EVP_CIPHER_CTX_ctrl(cipher.get(), EVP_CTRL_GCM_SET_TAG, kTagBytes, tag) != 1 ||
      EVP_DecryptFinal_ex(cipher.get(), reinterpret_cast<unsigned char*>(code.data()) + written,
                          &last) != 1)
    return std::nullopt;
  return code;
}

SendCodeResult sendCode(UserEdit& edit, Challenge& challenge, const std::string& channel,
                        const CodeContext& context) {
  SendCodeResult result;
  const auto at = context.now;
  const CodePolicy& policy = context.policy;
  const std::vector<std::string> possible = codeChannels(edit.user().profile, context.channels);
  std::string chosen = channel;
  if (chosen.empty()) {
    chosen = challenge.channel;
    if (!contains(possible, chosen)) chosen = possible.empty() ? "" : possible.front();
  }
  if (!contains(possible, chosen)) {
    result.status = CodeSend::undeliverable;
    result.why =
        chosen.empty() ? "no channel reaches the user" : undeliverableWhy(chosen, context.channels);
    return result;
  }
  std::erase_if(challenge.recentSends,
                [&](Clock::time_point sent) { return sent <= at - std::chrono::hours(1); });
  std::optional<Clock::time_point> allowedFrom;
  if (!challenge.recentSends.empty() && at < challenge.recentSends.back() + policy.resendInterval)
    allowedFrom = challenge.recentSends.back() + policy.resendInterval;
  std::vector<Clock::time_point> userSends;
  for (const Challenge& each : edit.user().challenges)
    userSends.insert(userSends.end(), each.recentSends.begin(), each.recentSends.end());
  for (const auto hourOver : {hourFull(challenge.recentSends, policy.maxSendsPerHour, at),
                              hourFull(std::move(userSends), policy.maxUserSendsPerHour, at)}) {
    if (hourOver) allowedFrom = std::max(allowedFrom.value_or(*hourOver), *hourOver);
  }
  const bool delivered = chosen == "email" ? context.channels.email : context.channels.text;
  if (!allowedFrom && delivered && context.destinations) {
    // Counted last, once every other limit let the code go.
    allowedFrom = context.destinations->take(destinationOf(edit.user().profile, chosen),
                                             policy.maxDestinationSendsPerHour, at);
  }
  if (allowedFrom) {
    result.status = CodeSend::tooSoon;
    result.retryAfter = std::max(std::chrono::seconds(1),
                                 std::chrono::ceil<std::chrono::seconds>(*allowedFrom - at));
    return result;
  }

  std::string code, hash;
  do {
    code = newCode({});
    hash = codeHash(context.key, challenge.id, code);
  } while (hash == challenge.codeHash);
  challenge.codeHash = hash;
  challenge.codeSentAt = at;
  challenge.codeChecks = 0;
  challenge.recentSends.push_back(at);
  challenge.channel = chosen;
  ++challenge.codesSent;
  edit.touchChallenge(challenge.id);
  const std::string& project = edit.user().key.project;
  addAudit(edit.changes(), project, "code.sent", challenge.user,
           {{"challenge", challenge.id}, {"channel", challenge.channel}});
  const UserProfile& contact = edit.user().profile;
  if (delivered) {
    // The code waits in the outbox, sealed, only until it is sent or its lifetime is over; then
    // the delivery worker wipes it from the payload.
    OutboxMessage message;
    message.id = newId("msg_");
    message.kind = challenge.channel;
    message.project = project;
    message.payload =
        columns::dumpJSON(json{{"challenge", challenge.id},
                               {"user", challenge.user},
                               {"to", challenge.channel == "text" ? contact.phone : contact.email},
                               {"sealed", sealCode(context.key, code)}});
    message.createdAt = message.nextAttemptAt = Clock::now();
    edit.changes().outbox.push_back(std::move(message));
    result.queued = true;
  }
  result.status = CodeSend::sent;
  result.sent =
      SentCode{project, challenge.id, challenge.user, challenge.channel, std::move(code), contact};
  return result;
}

bool checkCode(UserEdit& edit, Challenge& challenge, const std::string& code,
               const CodeContext& context) {
  ++challenge.checks;
  bool right = false;
  const char* why = "no code sent";
  if (challenge.codeHash.empty()) {
    if (challenge.verified) why = "code used";
  } else if (challenge.codeChecks >= context.policy.maxChecks) {
    why = "code void";
  } else if (context.now >= challenge.codeSentAt + context.policy.lifetime) {
    why = "code expired";
  } else {
    ++challenge.codeChecks;
    // Both sides are hex of one length: the comparison takes the same time wherever they differ.
    right = sameSecret(codeHash(context.key, challenge.id, code), challenge.codeHash);
    why = "wrong code";
  }
  if (right) {
    // A code verifies once: the check that finds it right voids it in the same decision, so of
    // checks racing with it, exactly one is right.
    challenge.verified = true;
    challenge.codeHash.clear();
  }
  edit.touchChallenge(challenge.id);
  Changes& changes = edit.changes();
  const std::string& project = edit.user().key.project;
  if (right) {
    addAudit(changes, project, "code.accepted", challenge.user, {{"challenge", challenge.id}});
    addEvent(changes, project, context.settings, "challenge.verified",
             {{"user", challenge.user}, {"challenge", {{"id", challenge.id}}}});
  } else {
    addAudit(changes, project, "code.rejected", challenge.user,
             {{"challenge", challenge.id}, {"reason", why}});
    // The check that used the last one the code takes voids it.
    if (std::string_view(why) == "wrong code" && challenge.codeChecks >= context.policy.maxChecks)
      addAudit(changes, project, "code.voided", challenge.user,
               {{"challenge", challenge.id}, {"checks", challenge.codeChecks}});
  }
  return right;
}

void codeUndelivered(UserEdit& edit, Challenge& challenge, const std::string& code,
                     const CodeContext& context) {
  if (challenge.codeHash.empty() || challenge.recentSends.empty()) return;
  if (!sameSecret(codeHash(context.key, challenge.id, code), challenge.codeHash))
    return;  // a newer code went out since
  challenge.codeHash.clear();
  challenge.recentSends.pop_back();
  edit.touchChallenge(challenge.id);
  addAudit(edit.changes(), edit.user().key.project, "code.undelivered", challenge.user,
           {{"challenge", challenge.id}, {"channel", challenge.channel}});
}

json challengeState(const Challenge& challenge, const CodePolicy& policy) {
  return {{"challenge", challenge.id},
          {"client_id", challenge.project},
          {"user", challenge.user},
          {"reason", challenge.reason},
          {"created_at", isoTimeMillis(challenge.createdAt)},
          {"channel", challenge.channel.empty() ? json(nullptr) : json(challenge.channel)},
          {"code_sent_at",
           challenge.codesSent == 0 ? json(nullptr) : json(isoTimeMillis(challenge.codeSentAt))},
          {"code_expires_at", challenge.codeHash.empty()
                                  ? json(nullptr)
                                  : json(isoTimeMillis(challenge.codeSentAt + policy.lifetime))},
          {"code_checks", challenge.codeChecks},
          {"codes_sent", challenge.codesSent},
          {"checks", challenge.checks},
          {"verified", challenge.verified},
          {"open", challenge.open()}};
}

}  // namespace zelk::server
