// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/challenge.hpp>
#include <zelk/records.hpp>

#include "client/service_calls.hpp"

#include <functional>
#include <string>
#include <vector>

namespace zelk::detail {

// The service calls about a challenge (getChallenge, which the realtime subscription needs too,
// is the client's own). `challengeId` is the `_id` of the challenge's details; it
// goes into the URL as one percent-encoded path segment (unchanged when it is a plain ID). Each
// call returns at once; its callback runs on the HTTP thread, or on the calling thread before the
// call returns when the request is refused before it is sent. Nothing is hopped to the main queue.
// A reply is decoded whatever its HTTP status; a reply that does not decode prints "[Zelk SDK]: "
// and the decoding error.

/// GET <base>/v2/challenge/<id>/devices. `onComplete` runs only with a decoded reply.
void getChallengeDevices(ServiceClient& zelk, const std::string& challengeId,
                         std::function<void(const std::vector<ZelkDevice>&)> onComplete);

/// GET <base>/v2/challenge/<id>/device-limit. `onComplete` runs only with a decoded reply.
void getDeviceLimits(ServiceClient& zelk, const std::string& challengeId,
                     std::function<void(const DeviceLimitState&)> onComplete);

/// POST <base>/v2/challenge/attempt {"challenge", "action": "verify", "channel"}: asks for a code.
/// The reply is not read; `onCompletion` runs exactly once, whatever happens.
void verify(ServiceClient& zelk, const std::string& challengeId, ChallengeChannel channel,
            std::function<void()> onCompletion);

/// POST <base>/v2/challenge/verify {"challenge", "code"}: checks a code. `onCompletion` gets the
/// decoded result, or `success` false when the reply does not decode; it does not run when no
/// reply arrived at all.
void validateCode(ServiceClient& zelk, const std::string& code, const std::string& challengeId,
                  std::function<void(const ChallengeVerificationResult&)> onCompletion);

/// POST <base>/v2/challenge/resend {"challenge"}: asks for the code again. The reply is not read;
/// `onComplete` runs exactly once, whatever happens.
void resendChallengeCode(ServiceClient& zelk, const std::string& challengeId,
                         std::function<void()> onComplete);

}  // namespace zelk::detail
