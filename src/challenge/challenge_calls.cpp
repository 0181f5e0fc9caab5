// SPDX-License-Identifier: Apache-2.0
#include "challenge/challenge_calls.hpp"

#include "client/service_calls.hpp"
#include "platform/console.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <utility>

namespace zelk::detail {

using nlohmann::json;

namespace {

// A write whose reply is not read: the callback runs once whatever arrives.
void post(ServiceClient& zelk, const std::string& url, json body, std::function<void()> onDone) {
  zelk.httpRequest(HTTPRequestType::post, url, std::move(body),
                   [onDone = std::move(onDone)](std::optional<std::string>) {
                     if (onDone) onDone();
                   });
}

}  // namespace

void getChallengeDevices(ServiceClient& zelk, const std::string& challengeId,
                         std::function<void(const std::vector<ZelkDevice>&)> onComplete) {
  fetch<std::vector<ZelkDevice>>(
      zelk, challengeURL(zelk, challengeId, "/devices"),
      [](std::string_view data, std::string* error) { return decodeDeviceList(data, error); },
      std::move(onComplete));
}

void getDeviceLimits(ServiceClient& zelk, const std::string& challengeId,
                     std::function<void(const DeviceLimitState&)> onComplete) {
  fetch<DeviceLimitState>(
      zelk, challengeURL(zelk, challengeId, "/device-limit"),
      [](std::string_view data, std::string* error) {
        return DeviceLimitState::decode(data, error);
      },
      std::move(onComplete));
}

void verify(ServiceClient& zelk, const std::string& challengeId, ChallengeChannel channel,
            std::function<void()> onCompletion) {
  post(zelk, zelk.serviceURL() + "/v2/challenge/attempt",
       {{"challenge", challengeId}, {"action", "verify"}, {"channel", std::string(text(channel))}},
       std::move(onCompletion));
}

void validateCode(ServiceClient& zelk, const std::string& code, const std::string& challengeId,
                  std::function<void(const ChallengeVerificationResult&)> onCompletion) {
  zelk.httpRequest(HTTPRequestType::post, zelk.serviceURL() + "/v2/challenge/verify",
                   json{{"challenge", challengeId}, {"code", code}},
                   [onCompletion = std::move(onCompletion)](std::optional<std::string> data) {
                     if (!data) return;
                     std::string error;
                     auto result = ChallengeVerificationResult::decode(*data, &error);
                     if (!result) {
                       printSDKMessage(error);
                       result = ChallengeVerificationResult{false};
                     }
                     if (onCompletion) onCompletion(*result);
                   });
}

void resendChallengeCode(ServiceClient& zelk, const std::string& challengeId,
                         std::function<void()> onComplete) {
  post(zelk, zelk.serviceURL() + "/v2/challenge/resend", {{"challenge", challengeId}},
       std::move(onComplete));
}

}  // namespace zelk::detail
