// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/challenge.hpp>

#include "client/service_client.hpp"
#include "platform/console.hpp"

#include <functional>
#include <optional>
#include <string>

namespace zelk::detail {

/// <base>/v2/challenge/<id><suffix>. The identifier comes from the service: encoded, it stays one
/// path segment whatever it holds.
std::string challengeURL(const ServiceClient& zelk, const std::string& challengeId,
                         const char* suffix = "");

/// A read whose callback runs only with a decoded reply: no reply bytes end it silently, bytes
/// that do not decode print the decoding error. `onSettled`, when given, runs last in every case.
template <class Record, class Decode>
void fetch(ServiceClient& zelk, const std::string& url, Decode decode,
           std::function<void(const Record&)> onComplete,
           std::function<void()> onSettled = nullptr) {
  zelk.httpRequest(HTTPRequestType::get, url, std::nullopt,
                   [decode, onComplete = std::move(onComplete),
                    onSettled = std::move(onSettled)](std::optional<std::string> data) {
                     if (data) {
                       std::string error;
                       std::optional<Record> record = decode(*data, &error);
                       if (!record) {
                         printSDKMessage(error);
                       } else if (onComplete) {
                         onComplete(*record);
                       }
                     }
                     if (onSettled) onSettled();
                   });
}

/// GET <base>/v2/challenge/<id>: the details of a challenge the realtime stream names. Returns at
/// once; `onComplete` runs only with a decoded reply (on the HTTP thread), and `onSettled`, when
/// given, after it in every case, once the request has ended however it ended. A reply is
/// decoded whatever its HTTP status.
void getChallenge(ServiceClient& zelk, const std::string& challengeId,
                  std::function<void(const ChallengeDetails&)> onComplete,
                  std::function<void()> onSettled = nullptr);

}  // namespace zelk::detail
