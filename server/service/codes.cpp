// SPDX-License-Identifier: Apache-2.0
#include "service/codes.hpp"

#include <algorithm>
#include <stdexcept>
#include <string_view>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "service/ids.hpp"

namespace zelk::server {
namespace {

using nlohmann::json;

std::string codeHash(const std::string& key, const std::string& challengeId,
                     const std::string& code) {
  // Bound to the challenge, so that one code's HMAC says nothing of another challenge's.
  const std::string message = challengeId + ":" + code;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
            reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest,
            &length))
    throw std::runtime_error("cannot compute an HMAC");
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 0xf];
  }
  return hex;
}

}  // namespace

SendCodeResult sendCode(UserEdit& edit, Challenge& challenge, const std::string& channel,
                        const CodeContext& context) {
  SendCodeResult result;
  const auto at = context.now;
  const CodePolicy& policy = context.policy;
  std::erase_if(challenge.recentSends,
                [&](Clock::time_point sent) { return sent <= at - std::chrono::hours(1); });
  std::optional<Clock::time_point> allowedFrom;
  if (!challenge.recentSends.empty() && at < challenge.recentSends.back() + policy.resendInterval)
    allowedFrom = challenge.recentSends.back() + policy.resendInterval;
  if (static_cast<int>(challenge.recentSends.size()) >= policy.maxSendsPerHour) {
    const auto hourOver =
        challenge.recentSends[challenge.recentSends.size() -
                              static_cast<std::size_t>(std::max(policy.maxSendsPerHour, 1))] +
        std::chrono::hours(1);
    allowedFrom = std::max(allowedFrom.value_or(hourOver), hourOver);
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
  if (!channel.empty()) {
    challenge.channel = channel;
  } else if (challenge.channel.empty()) {
    challenge.channel = "email";
  }
  ++challenge.codesSent;
  edit.touchChallenge(challenge.id);
  const std::string& project = edit.user().key.project;
  addAudit(edit.changes(), project, "code.sent", challenge.user,
           {{"challenge", challenge.id}, {"channel", challenge.channel}});
  const UserProfile& contact = edit.user().profile;
  if (context.deliver) {
    // The code waits in the outbox only until it is sent or its lifetime is over; then the
    // delivery worker wipes it from the payload.
    OutboxMessage message;
    message.id = newId("msg_");
    message.kind = challenge.channel;
    message.project = project;
    message.payload =
        columns::dumpJSON(json{{"challenge", challenge.id},
                               {"user", challenge.user},
                               {"to", challenge.channel == "text" ? contact.phone : contact.email},
                               {"code", code}});
    message.createdAt = message.nextAttemptAt = Clock::now();
    edit.changes().outbox.push_back(std::move(message));
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
  } else if (challenge.codeChecks >= context.policy.maxChecks) {
    why = "code void";
  } else if (context.now >= challenge.codeSentAt + context.policy.lifetime) {
    why = "code expired";
  } else {
    ++challenge.codeChecks;
    // Both sides are hex of one length: the comparison takes the same time wherever they differ.
    const std::string given = codeHash(context.key, challenge.id, code);
    right = given.size() == challenge.codeHash.size() &&
            CRYPTO_memcmp(given.data(), challenge.codeHash.data(), given.size()) == 0;
    why = "wrong code";
  }
  if (right) challenge.verified = true;
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

json challengeState(const Challenge& challenge, const CodePolicy& policy) {
  return {{"challenge", challenge.id},
          {"client_id", challenge.project},
          {"user", challenge.user},
          {"reason", challenge.reason},
          {"created_at", isoTimeMillis(challenge.createdAt)},
          {"channel", challenge.channel.empty() ? json(nullptr) : json(challenge.channel)},
          {"code_sent_at",
           challenge.codeHash.empty() ? json(nullptr) : json(isoTimeMillis(challenge.codeSentAt))},
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
