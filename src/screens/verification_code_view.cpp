// SPDX-License-Identifier: Apache-2.0
#include <zelk/challenge_screens.hpp>
#include <zelk/client.hpp>
#include <zelk/localization.hpp>

#include "challenge/challenge_calls.hpp"
#include "client/service_client.hpp"
#include "screens/async.hpp"
#include "screens/counted_texts.hpp"
#include "screens/elements.hpp"
#include "screens/resources.hpp"

#include <chrono>

namespace zelk {

using namespace screens;

VerificationCodeView::VerificationCodeView(std::shared_ptr<ChallengeViewModel> viewModel,
                                           std::shared_ptr<Zelk> zelk)
    : ChallengeScreen(std::move(viewModel), std::move(zelk)),
      input_(
          std::make_unique<OTPInput>(0, [this](const std::string& code) { codeChanged(code); })) {
  input_->changed = [this] { changed(); };
}

VerificationCodeView::~VerificationCodeView() = default;

std::shared_ptr<VerificationCodeView> VerificationCodeView::create(
    std::shared_ptr<ChallengeViewModel> viewModel, std::shared_ptr<Zelk> zelk) {
  return adopt(new VerificationCodeView(std::move(viewModel), std::move(zelk)));
}

std::string VerificationCodeView::message() const {
  const auto& details = viewModel_->challengeDetails();
  const bool named = details && details->channels && !details->channels->empty();
  return localized("We've sent a code to %@. Please enter the code below.",
                   named ? builtinText(text(details->channels->back())) : localized("you"));
}

std::string VerificationCodeView::resendLabel() const {
  if (secondsToResend_ < 1) return localized("Resend in now");
  const std::string count = std::to_string(secondsToResend_);
  // The host's own entry comes first; the built-in translations count the seconds in the
  // language's plural forms.
  constexpr std::string_view key = "Resend in %@ seconds";
  if (const auto language = translatedLanguage();
      language && localized(key) == builtinTranslation(key, *language)) {
    return resendSentence(*language, secondsToResend_);
  }
  return localized(key, count);
}

std::vector<Element> VerificationCodeView::elements() const {
  const auto& details = viewModel_->challengeDetails();
  std::vector<Element> list;
  list.push_back(logoElement(details));
  list.push_back(titleText(localized("Verify your account to continue")));
  list.push_back(screens::text(message()));

  Element boxes = plain(ElementKind::codeInput);
  for (const std::string& digit : input_->digits()) {
    boxes.text += "[" + (digit.empty() ? std::string(" ") : digit) + "]";
  }
  list.push_back(std::move(boxes));

  Element resendButton = screens::text(resendLabel());
  resendButton.kind = ElementKind::button;
  resendButton.enabled = secondsToResend_ < 1;
  resendButton.action = "resend";
  list.push_back(std::move(resendButton));
  list.push_back(plain(ElementKind::spacer));

  Element verifyButton = verifying_ ? busyButton(ElementKind::link, "verifyCode", validCode_)
                                    : filledButton(localized("Verify code"),
                                                   validCode_ ? Paint::exact(brandColor(details))
                                                              : Paint::of(Paint::Role::secondary),
                                                   "verifyCode", validCode_);
  verifyButton.kind = ElementKind::link;
  verifyButton.destination = "DeviceLimiterView";
  list.push_back(std::move(verifyButton));
  return list;
}

void VerificationCodeView::codeChanged(const std::string& code) {
  code_ = code;
  validCode_ = utf8CharacterCount(code_) == 6;
  changed();
}

void VerificationCodeView::tick() {
  if (secondsToResend_ >= 1) --secondsToResend_;
  changed();
}

void VerificationCodeView::appeared() {
  nextTick_ = std::chrono::steady_clock::now();
  scheduleTick();
}

void VerificationCodeView::disappeared() {
  ++tickGeneration_;
}

void VerificationCodeView::scheduleTick() {
  // Ticks are due at whole seconds from the first showing, so late ticks do not add up.
  nextTick_ += std::chrono::seconds(1);
  const auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(
      nextTick_ - std::chrono::steady_clock::now());
  mainQueue_->postAfter(std::max(delay, std::chrono::milliseconds(0)),
                        [weak = weak_from_this(), generation = tickGeneration_] {
                          auto alive = weak.lock();
                          if (!alive) return;
                          auto& screen = static_cast<VerificationCodeView&>(*alive);
                          if (screen.tickGeneration_ != generation) return;
                          screen.tick();
                          screen.scheduleTick();
                        });
}

void VerificationCodeView::resend() {
  const auto& details = viewModel_->challengeDetails();
  const auto zelk = zelk_.lock();
  if (!details || !zelk) return;
  detail::resendChallengeCode(
      detail::screenClient(*zelk), details->_id, [weak = weak_from_this(), queue = mainQueue_] {
        postToScreen<VerificationCodeView>(queue, weak, [](VerificationCodeView& screen) {
          screen.secondsToResend_ = kResendDelaySeconds;
          screen.changed();
        });
      });
}

void VerificationCodeView::verify() {
  verifying_ = true;
  changed();
  const auto& details = viewModel_->challengeDetails();
  const auto zelk = zelk_.lock();
  if (!details || !zelk) return;
  detail::validateCode(
      detail::screenClient(*zelk), code_, details->_id,
      [weak = weak_from_this(), queue = mainQueue_](const ChallengeVerificationResult& result) {
        postToScreen<VerificationCodeView>(
            queue, weak, [success = result.success](VerificationCodeView& screen) {
              screen.verifying_ = false;
              screen.verified_ = success;
              const auto zelk = screen.zelk_.lock();
              // A second accepted check (a double tap) keeps the limiter already shown.
              if (success && zelk && !screen.destination()) {
                screen.setDestination(DeviceLimiterView::create(screen.viewModel_, zelk));
              } else {
                screen.changed();
              }
            });
      });
}

void VerificationCodeView::linkDismissed() {
  verified_ = false;
  setDestination(nullptr);
}

void VerificationCodeView::run(std::string_view action) {
  if (action == "resend") resend();
  if (action == "verifyCode") verify();
}

}  // namespace zelk
