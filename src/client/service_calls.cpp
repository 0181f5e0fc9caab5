// SPDX-License-Identifier: Apache-2.0
#include "client/service_calls.hpp"

#include "client/url_text.hpp"

#include <utility>

namespace zelk::detail {

std::string challengeURL(const ServiceClient& zelk, const std::string& challengeId,
                         const char* suffix) {
  return zelk.serviceURL() + "/v2/challenge/" + percentEncodePathSegment(challengeId) + suffix;
}

void getChallenge(ServiceClient& zelk, const std::string& challengeId,
                  std::function<void(const ChallengeDetails&)> onComplete,
                  std::function<void()> onSettled) {
  fetch<ChallengeDetails>(
      zelk, challengeURL(zelk, challengeId),
      [](std::string_view data, std::string* error) {
        return ChallengeDetails::decode(data, error);
      },
      std::move(onComplete), std::move(onSettled));
}

}  // namespace zelk::detail
