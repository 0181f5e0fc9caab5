// SPDX-License-Identifier: Apache-2.0
#include <zelk/challenge_view_model.hpp>

namespace zelk {

ChallengeViewModel::ChallengeViewModel(std::string currentDeviceID,
                                       std::vector<ZelkDevice> attachedDevices)
    : currentDeviceID_(std::move(currentDeviceID)), attachedDevices_(std::move(attachedDevices)) {}

void ChallengeViewModel::setCurrentDeviceID(std::string value) {
  currentDeviceID_ = std::move(value);
  changed();
}

void ChallengeViewModel::setAttachedDevices(std::vector<ZelkDevice> value) {
  attachedDevices_ = std::move(value);
  changed();
}

void ChallengeViewModel::setLoadingDevices(bool value) {
  loadingDevices_ = value;
  changed();
}

void ChallengeViewModel::setDetachLoading(bool value) {
  detachLoading_ = value;
  changed();
}

void ChallengeViewModel::setChallengeVisible(bool value) {
  challengeVisible_ = value;
  changed();
}

void ChallengeViewModel::setChallengeDetails(std::optional<ChallengeDetails> value) {
  challengeDetails_ = std::move(value);
  changed();
}

ChallengeViewModel::Token ChallengeViewModel::subscribe(Observer observer) {
  return observers_.add(std::move(observer));
}

void ChallengeViewModel::unsubscribe(Token token) {
  observers_.remove(token);
}

void ChallengeViewModel::changed() {
  observers_.notify();
}

}  // namespace zelk
