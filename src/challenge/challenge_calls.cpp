// SPDX-License-Identifier: Apache-2.0
#include "challenge/challenge_calls.hpp"

#include "platform/console.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <utility>

namespace zelk::detail {

using nlohmann::json;

namespace {

std::string challengeURL(const Zelk::Impl& zelk, const std::string& challengeId,
                         const char* suffix = "") {
  return zelk.baseURL + "/v2/challenge/" + challengeId + suffix;
}

// A read whose callback runs only with a decoded reply: no reply bytes end it silently, bytes
// that do not decode print the decoding error.
template <class Record, class Decode>
void fetch(Zelk::Impl& zelk, const std::string& url, Decode decode,
           std::function<void(const Record&)> onComplete) {
  zelk.httpRequest(HTTPRequestType::get, url, std::nullopt,
                   [decode, onComplete = std::move(onComplete)](std::optional<std::string> data) {
                     if (!data) return;
                     std::string error;
                     std::optional<Record> record = decode(*data, &error);
                     if (!record) {
                       printSDKMessage(error);
                       return;
                     }
                     if (onComplete) onComplete(*record);
                   });
}

// A write whose reply is not read: the callback runs once whatever arrives.
void post(Zelk::Impl& zelk, const std::string& url, json body, std::function<void()> onDone) {
  zelk.httpRequest(HTTPRequestType::post, url, std::move(body),
                   [onDone = std::move(onDone)](std::optional<std::string>) {
                     if (onDone) onDone();
                   });
}

}  // namespace

void getChallenge(Zelk::Impl& zelk, const std::string& challengeId,
                  std::function<void(const ChallengeDetails&)> onComplete) {
  fetch<ChallengeDetails>(
      zelk, challengeURL(zelk, challengeId),
      [](std::string_view data, std::string* error) {
        return ChallengeDetails::decode(data, error);
      },
      std::move(onComplete));
}

void getChallengeDevices(Zelk::Impl& zelk, const std::string& challengeId,
                         std::function<void(const std::vector<ZelkDevice>&)> onComplete) {
  fetch<std::vector<ZelkDevice>>(
      zelk, challengeURL(zelk, challengeId, "/devices"),
      [](std::string_view data, std::string* error) { return decodeDeviceList(data, error); },
      std::move(onComplete));
}

void getDeviceLimits(Zelk::Impl& zelk, const std::string& challengeId,
                     std::function<void(const DeviceLimitState&)> onComplete) {
  fetch<DeviceLimitState>(
      zelk, challengeURL(zelk, challengeId, "/device-limit"),
      [](std::string_view data, std::string* error) {
        return DeviceLimitState::decode(data, error);
      },
      std::move(onComplete));
}

void verify(Zelk::Impl& zelk, const std::string& challengeId, ChallengeChannel channel,
            std::function<void()> onCompletion) {
  post(zelk, zelk.baseURL + "/v2/challenge/attempt",
       {{"challenge", challengeId}, {"action", "verify"}, {"channel", std::string(text(channel))}},
       std::move(onCompletion));
}

void validateCode(Zelk::Impl& zelk, const std::string& code, const std::string& challengeId,
                  std::function<void(const ChallengeVerificationResult&)> onCompletion) {
  zelk.httpRequest(HTTPRequestType::post, zelk.baseURL + "/v2/challenge/verify",
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

void resendChallengeCode(Zelk::Impl& zelk, const std::string& challengeId,
                         std::function<void()> onComplete) {
  post(zelk, zelk.baseURL + "/v2/challenge/resend", {{"challenge", challengeId}},
       std::move(onComplete));
}

}  // namespace zelk::detail
