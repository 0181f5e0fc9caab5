// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/export.hpp>
#include <zelk/records.hpp>
#include <zelk/screen.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zelk {

class Zelk;

/// The signed-in user's own devices, for the host's account settings: every device with its
/// model, type, location (when known), first and last seen, "This device" on the one the user
/// holds and "Trusted" on trusted ones; a sign-out with a confirm step on every other device; a
/// field for the code of a new-device e-mail; the service's refusals ("You can change devices
/// again on 12 May.", the day as the translations' language writes it) and a refresh.
///
/// The host makes one from its client (`create`) and shows it like a challenge screen: draws
/// `elements()`, passes the actions of what the user activates to `perform`, hands the code
/// field's edits to `codeChanged` and draws again after each change notification. It is not
/// part of a challenge and has no navigation link.
///
/// Actions: "refresh", "signOut:" and a device ID (asks to confirm), "confirm:" and the same ID,
/// "cancel", "signOutWithCode"; the code field's is "code".
///
/// Threads: main thread only; replies are applied on the client's main queue, and ignored once
/// the screen is gone.
class ZELK_EXPORT YourDevicesView final : public ChallengeScreen {
 public:
  /// A new screen of the devices of `zelk`'s signed-in user, already loading them. Main thread.
  static std::shared_ptr<YourDevicesView> create(std::shared_ptr<Zelk> zelk);

  std::string_view name() const override { return "YourDevicesView"; }
  std::vector<Element> elements() const override;

  /// Whether the list is loading.
  bool loading() const { return loading_; }
  /// The devices as last loaded, the current one first; empty until they arrive.
  const std::vector<ZelkUserDevice>& devices() const { return devices_; }
  /// The project's cap on device changes as last loaded, if it has one.
  const std::optional<ZelkSwapAllowance>& swaps() const { return swaps_; }
  /// The device whose sign-out waits for the user's confirmation; empty when none.
  const std::string& confirming() const { return confirming_; }
  /// Whether a sign-out is on its way.
  bool signingOut() const { return signingOut_; }
  /// The code typed so far.
  const std::string& code() const { return code_; }
  /// The line saying why the last call failed, in the screen's language; empty when it did not.
  const std::string& problem() const { return problem_; }
  /// "You can change devices again on 12 May." (that day) while the cap on device changes is used
  /// up, from the last refusal or list; empty otherwise.
  std::string nextChangeText() const;

  /// Loads the list again; `loading` is true until the reply is applied.
  void refresh();
  /// Asks to confirm signing out `deviceID`, one of the listed devices other than this one.
  void askToSignOut(const std::string& deviceID);
  /// Drops the question.
  void cancelSignOut();
  /// Signs out the device waiting for confirmation; the list reloads once the service answers.
  void confirmSignOut();
  /// The code field's change handler.
  void codeChanged(std::string code);
  /// Signs out the device named by the code typed; the field empties once the service accepts
  /// it.
  void signOutWithCode();

 private:
  using ChallengeScreen::ChallengeScreen;
  void run(std::string_view action) override;
  void applyList(const std::optional<ZelkUserDevices>& list,
                 const std::optional<ZelkServiceError>& error);
  void applySignOut(const std::optional<ZelkAttachResponse>& reply,
                    const std::optional<ZelkServiceError>& error, bool byCode);
  Element deviceRow(const ZelkUserDevice& entry) const;

  bool loading_ = false;
  bool loaded_ = false;
  std::vector<ZelkUserDevice> devices_;
  std::optional<ZelkSwapAllowance> swaps_;
  std::optional<Date> nextChangeAt_;  // from the last refusal under the cap
  std::string confirming_;
  bool signingOut_ = false;
  std::string code_;
  std::string problem_;
};

}  // namespace zelk
