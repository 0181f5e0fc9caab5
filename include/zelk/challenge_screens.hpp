// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/challenge.hpp>
#include <zelk/challenge_view_model.hpp>
#include <zelk/export.hpp>
#include <zelk/otp_input.hpp>
#include <zelk/records.hpp>
#include <zelk/screen.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zelk {

class Zelk;
class ZelkContainer;

// Every screen reads the state shared by the challenge (`ChallengeViewModel`) and the host's
// client; all of them are main-thread objects. Fixed texts go through `localized`.

/// The top of every challenge screen: the logo when the brand names one with a valid address,
/// else the project's name (empty without a project) in bold title text.
ZELK_EXPORT Element logoElement(const std::optional<ChallengeDetails>& details);

/// `Color` of the brand's primary colour (the empty text, so opaque black, without one).
ZELK_EXPORT Color brandColor(const std::optional<ChallengeDetails>& details);

/// The first screen of a challenge: log this device out, create an account, or go on to prove
/// the account is the user's ("Verify to continue").
class ZELK_EXPORT ChallengeEntryView final : public ChallengeScreen {
 public:
  /// A new entry screen over the shared challenge state `viewModel`, calling the service through
  /// `zelk`. Main thread.
  static std::shared_ptr<ChallengeEntryView> create(std::shared_ptr<ChallengeViewModel> viewModel,
                                                    std::shared_ptr<Zelk> zelk);

  std::string_view name() const override { return "ChallengeEntryView"; }
  std::vector<Element> elements() const override;

  /// "Start your own <project> account today".
  std::string title() const;
  /// Whether "Verify to continue" leads to the verification options (the brand requires
  /// verification and the user has an e-mail address or a phone number) rather than to the
  /// device limiter.
  bool verifiesFirst() const;

  /// "Log out of this device": detaches this device, calls the host's `onLogoutCurrentDevice`,
  /// hides the challenge and dismisses the client's own challenge screen.
  void logOutOfThisDevice();
  /// "Create an account now": calls the host's `onCreateNewAccount`, detaches this device,
  /// hides the challenge and dismisses the client's own challenge screen.
  void createAccount();
  /// "Verify to continue": activates the link to a new screen chosen by `verifiesFirst`.
  void verifyToContinue();

 private:
  using ChallengeScreen::ChallengeScreen;
  void run(std::string_view action) override;
  void linkDismissed() override { setDestination(nullptr); }
};

/// Whether the account is over its limits: overall, or on a device type whose limit is at least
/// 1. False without limits.
ZELK_EXPORT bool isOverDeviceLimit(const std::optional<DeviceLimitState>& state);

/// "To proceed, log out of <parts> from the devices below." naming the excess computers,
/// tablets, mobiles and other devices; empty without limits.
///
/// A type's excess is how many of its devices are above its limit: never negative, and 0 when
/// the limit is 0 or less (no limit on that type, as for `isOverDeviceLimit`). The other devices
/// are what the overall excess leaves once the types' excesses are taken out, never negative.
/// So two attached devices under an overall limit of 1 give "1 device" whatever the per-type
/// limits above their counts, and a type without a limit never makes the sentence ask for more
/// devices than the overall limit does.
///
/// With the built-in translations on (`useBuiltinTranslations`) in another language than
/// English, the sentence is in that language: each count with its word in the form the
/// language's CLDR plural rules choose, in its digits, the parts joined as the language joins a
/// list ("1 Tablet und 2 Mobilgeräte"). The English sentence is always the one above.
ZELK_EXPORT std::string devicesToLogout(const std::optional<DeviceLimitState>& state);

/// Loads the account's limits and devices, lets the user pick devices and log them out, and
/// once the account is within its limits confirms "Verification complete".
class ZELK_EXPORT DeviceLimiterView final : public ChallengeScreen {
 public:
  /// A new device limiter over the shared challenge state `viewModel`, calling the service through
  /// `zelk`. Main thread.
  static std::shared_ptr<DeviceLimiterView> create(std::shared_ptr<ChallengeViewModel> viewModel,
                                                   std::shared_ptr<Zelk> zelk);

  std::string_view name() const override { return "DeviceLimiterView"; }
  std::vector<Element> elements() const override;

  /// The account's limits and attached devices as last loaded; absent until they arrive.
  const std::optional<DeviceLimitState>& deviceLimitState() const { return deviceLimitState_; }
  /// The devices the user ticked, in the order they were ticked.
  const std::vector<ZelkDevice>& selected() const { return selected_; }
  /// Whether the user ticked `device`.
  bool isSelected(const ZelkDevice& device) const;
  /// Whether the loaded state exceeds any of the account's limits (see `zelk::isOverDeviceLimit`).
  bool isOverDeviceLimit() const { return zelk::isOverDeviceLimit(deviceLimitState_); }
  /// The text naming what the user must log out (see `zelk::devicesToLogout`).
  std::string devicesToLogout() const { return zelk::devicesToLogout(deviceLimitState_); }

  /// Ticks or unticks the device with `deviceID` (action "toggle:<id>").
  void toggle(const std::string& deviceID);
  /// Reloads the limits and the devices of the challenge; `loadingDevices` is true until both
  /// replies are applied. Runs when the screen appears. Does nothing without a challenge.
  void loadDevices();
  /// The action button: closes the challenge when the account is within its limits or nothing
  /// is ticked; otherwise detaches every ticked device, reloading after each, with
  /// `detachLoading` true until all have answered.
  void logOut();
  /// When the service allows the next device change, after it refused a detach of the last
  /// `logOut` under the project's cap on device changes; the list then says "You can change
  /// devices again on 12 May." with that day. Absent otherwise.
  const std::optional<Date>& nextChangeAt() const { return nextChangeAt_; }

 private:
  using ChallengeScreen::ChallengeScreen;
  void run(std::string_view action) override;
  void appeared() override { loadDevices(); }
  Element deviceRow(const ZelkDevice& device) const;

  std::optional<DeviceLimitState> deviceLimitState_;
  std::vector<ZelkDevice> selected_;
  std::optional<Date> nextChangeAt_;
};

/// Offers the channels the user has a contact for, asks the service to send a code through the
/// chosen one and goes on to the code screen.
///
/// The code requests go through a client of their own that carries a fixed placeholder client
/// ID; one such client serves every options screen of a host client.
class ZELK_EXPORT VerificationOptionsView final : public ChallengeScreen {
 public:
  /// A new verification options screen over the shared challenge state `viewModel`, calling the
  /// service through `zelk`. Main thread.
  static std::shared_ptr<VerificationOptionsView> create(
      std::shared_ptr<ChallengeViewModel> viewModel, std::shared_ptr<Zelk> zelk);

  std::string_view name() const override { return "VerificationOptionsView"; }
  std::vector<Element> elements() const override;

  /// Whether a request for an e-mailed code is on its way.
  bool emailCodeSending() const { return emailCodeSending_; }
  /// Whether a request for a texted code is on its way.
  bool smsCodeSending() const { return smsCodeSending_; }
  /// Whether an e-mailed code was requested and the request has ended.
  bool emailCodeSent() const { return emailCodeSent_; }
  /// Whether a texted code was requested and the request has ended.
  bool smsCodeSent() const { return smsCodeSent_; }

  /// Asks for a code through `channel`. When the request ends, whatever its outcome, appends
  /// the channel to the challenge's `channels` and shows the code screen.
  void requestCode(ChallengeChannel channel);

 private:
  VerificationOptionsView(std::shared_ptr<ChallengeViewModel> viewModel,
                          std::shared_ptr<Zelk> zelk);
  void run(std::string_view action) override;
  void linkDismissed() override;
  void codeSent(ChallengeChannel channel);  // main thread

  std::shared_ptr<Zelk> codeClient_;
  bool emailCodeSending_ = false;
  bool smsCodeSending_ = false;
  bool emailCodeSent_ = false;
  bool smsCodeSent_ = false;
};

/// Takes the six-character code, checks it with the service, offers to resend it after a
/// 30-second countdown, and goes on to the device limiter once the code is accepted.
class ZELK_EXPORT VerificationCodeView final : public ChallengeScreen {
 public:
  /// Seconds the user waits before a code may be sent again.
  static constexpr int kResendDelaySeconds = 30;

  /// A new code screen over the shared challenge state `viewModel`, calling the service through
  /// `zelk`. Main thread.
  static std::shared_ptr<VerificationCodeView> create(std::shared_ptr<ChallengeViewModel> viewModel,
                                                      std::shared_ptr<Zelk> zelk);
  ~VerificationCodeView() override;

  std::string_view name() const override { return "VerificationCodeView"; }
  std::vector<Element> elements() const override;

  /// Whether the code is being checked with the service.
  bool verifying() const { return verifying_; }
  /// False once the service rejected the code, until the code changes.
  bool validCode() const { return validCode_; }
  /// Whether the service accepted the code.
  bool verified() const { return verified_; }
  /// The code typed so far.
  const std::string& code() const { return code_; }
  /// Seconds left before the code may be sent again; 0 when it may.
  int secondsToResend() const { return secondsToResend_; }

  /// "We've sent a code to <channel>. Please enter the code below." naming the last channel
  /// used, or "you" (the channel word translated with the built-in translations, `builtinText`).
  std::string message() const;
  /// "Resend in <n> seconds" or "Resend in now". With the built-in translations on in another
  /// language, and no entry of the host's for the key, the seconds take the language's plural
  /// form ("Wyślij ponownie za 2 sekundy").
  std::string resendLabel() const;

  /// The code boxes, starting with the focus on the first; the UI layer binds its fields here.
  OTPInput& input() { return *input_; }

  /// The input's change handler: keeps `code` and whether it has six characters.
  void codeChanged(const std::string& code);
  /// One tick of the countdown. `ChallengeView` runs it every second while the screen is on
  /// its stack; call it only when showing the screen without one.
  void tick();
  /// Asks for the code again; the countdown restarts when the request ends.
  void resend();
  /// Checks `code`; an accepted code shows the device limiter.
  void verify();

 private:
  VerificationCodeView(std::shared_ptr<ChallengeViewModel> viewModel, std::shared_ptr<Zelk> zelk);
  void run(std::string_view action) override;
  void appeared() override;
  void disappeared() override;
  void linkDismissed() override;
  void scheduleTick();

  std::unique_ptr<OTPInput> input_;
  bool verifying_ = false;
  bool validCode_ = false;
  bool verified_ = false;
  std::string code_;
  int secondsToResend_ = kResendDelaySeconds;
  std::chrono::steady_clock::time_point nextTick_;
  std::uint64_t tickGeneration_ = 0;  // ticks of an earlier showing stop when this changes
};

/// The navigation of a challenge: a stack of screens whose root is the entry screen. A screen's
/// activated link pushes its destination; `back` pops the top screen and resets the link that
/// showed it. A UI layer mirrors the stack, with a back control on every screen but the root.
///
/// Threads: main thread only.
class ZELK_EXPORT ChallengeView {
 public:
  using Observer = Observers::Observer;  ///< Called after a push or pop, on the main thread.
  using Token = Observers::Token;        ///< Identifies one subscription.

  /// A new navigation stack, with the entry screen as its root, over the shared challenge state
  /// `viewModel`, calling the service through `zelk`. Main thread.
  static std::shared_ptr<ChallengeView> create(std::shared_ptr<ChallengeViewModel> viewModel,
                                               std::shared_ptr<Zelk> zelk);
  ~ChallengeView();
  ChallengeView(const ChallengeView&) = delete;
  ChallengeView& operator=(const ChallengeView&) = delete;

  /// The screens from the root to the one on top.
  const std::vector<std::shared_ptr<ChallengeScreen>>& stack() const { return stack_; }
  /// The screen on top. Hold `stack().back()` instead to keep it across a change of the stack.
  ChallengeScreen& top() const { return *stack_.back(); }

  /// Pops the top screen; false at the root.
  bool back();

  /// Calls `observer` after every push and pop.
  Token subscribe(Observer observer);
  /// Stops the calls of the subscription `token`; unknown tokens are ignored.
  void unsubscribe(Token token);

 private:
  ChallengeView() = default;
  void push(std::shared_ptr<ChallengeScreen> screen);
  void popTo(std::size_t size);  // pops screens until `size` are left
  void screenChanged(const ChallengeScreen* screen);
  void notify();

  std::vector<std::shared_ptr<ChallengeScreen>> stack_;
  std::vector<ChallengeScreen::Token> tokens_;  // one per screen of `stack_`
  Observers observers_;
  std::weak_ptr<ChallengeView> self_;
};

}  // namespace zelk
