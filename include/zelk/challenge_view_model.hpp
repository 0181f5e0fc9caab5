// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/challenge.hpp>
#include <zelk/export.hpp>
#include <zelk/observers.hpp>
#include <zelk/records.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zelk {

/// The state that the container and every challenge screen share while a challenge is on
/// screen. Every write notifies the subscribers afterwards, even when the value is unchanged, so
/// a UI layer re-renders on each change.
///
/// Threads: main thread only, for reads, writes and subscriptions alike.
class ZELK_EXPORT ChallengeViewModel {
 public:
  using Observer = Observers::Observer;  ///< Called after a write, on the main thread.
  using Token = Observers::Token;        ///< Identifies one subscription.

  /// A state for the device `currentDeviceID` with the devices `attachedDevices`, no challenge,
  /// nothing loading.
  explicit ChallengeViewModel(std::string currentDeviceID = {},
                              std::vector<ZelkDevice> attachedDevices = {});

  /// The service's ID of the device the user holds.
  const std::string& currentDeviceID() const { return currentDeviceID_; }
  /// Writes the value above and notifies the subscribers.
  void setCurrentDeviceID(std::string value);

  /// The devices attached to the challenged account.
  const std::vector<ZelkDevice>& attachedDevices() const { return attachedDevices_; }
  /// Writes the value above and notifies the subscribers.
  void setAttachedDevices(std::vector<ZelkDevice> value);

  /// Whether the devices and limits are loading.
  bool loadingDevices() const { return loadingDevices_; }
  /// Writes the value above and notifies the subscribers.
  void setLoadingDevices(bool value);

  /// Whether selected devices are being logged out.
  bool detachLoading() const { return detachLoading_; }
  /// Writes the value above and notifies the subscribers.
  void setDetachLoading(bool value);

  /// Whether the challenge covers the host's content.
  bool challengeVisible() const { return challengeVisible_; }
  /// Writes the value above and notifies the subscribers.
  void setChallengeVisible(bool value);

  /// The challenge on screen; a later challenge replaces it, nothing clears it.
  const std::optional<ChallengeDetails>& challengeDetails() const { return challengeDetails_; }
  /// Writes the value above and notifies the subscribers.
  void setChallengeDetails(std::optional<ChallengeDetails> value);

  /// Calls `observer` after every write until `unsubscribe`. Returns its token.
  Token subscribe(Observer observer);
  /// Stops the calls of the subscription `token`; unknown tokens are ignored.
  void unsubscribe(Token token);

 private:
  void changed();

  std::string currentDeviceID_;
  std::vector<ZelkDevice> attachedDevices_;
  bool loadingDevices_ = false;
  bool detachLoading_ = false;
  bool challengeVisible_ = false;
  std::optional<ChallengeDetails> challengeDetails_;
  Observers observers_;
};

}  // namespace zelk
