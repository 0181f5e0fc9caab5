// SPDX-License-Identifier: Apache-2.0
#include <zelk/challenge_screens.hpp>
#include <zelk/client.hpp>
#include <zelk/localization.hpp>

#include "challenge/challenge_calls.hpp"
#include "client/service_client.hpp"
#include "screens/elements.hpp"

namespace zelk {

using namespace screens;

namespace {

// An option's link: the contact on a light grey pill, or a progress indicator in its place.
Element option(std::string label, std::string action, bool sending, bool enabled) {
  if (sending) {
    Element busy = busyButton(ElementKind::link, std::move(action), enabled);
    busy.destination = "VerificationCodeView";
    return busy;
  }
  Element link =
      text(std::move(label), TextStyle::body, FontWeight::regular, Paint::of(Paint::Role::primary));
  link.kind = ElementKind::link;
  link.background = Paint::of(Paint::Role::secondary, 0.1);
  link.cornerRadius = 8;
  link.fullWidth = true;
  link.enabled = enabled;
  link.action = std::move(action);
  link.destination = "VerificationCodeView";
  return link;
}

}  // namespace

VerificationOptionsView::VerificationOptionsView(std::shared_ptr<ChallengeViewModel> viewModel,
                                                 std::shared_ptr<Zelk> zelk)
    : ChallengeScreen(std::move(viewModel), zelk),
      codeClient_(zelk ? detail::screenClient(*zelk).codeRequests() : nullptr) {}

std::shared_ptr<VerificationOptionsView> VerificationOptionsView::create(
    std::shared_ptr<ChallengeViewModel> viewModel, std::shared_ptr<Zelk> zelk) {
  return adopt(new VerificationOptionsView(std::move(viewModel), std::move(zelk)));
}

std::vector<Element> VerificationOptionsView::elements() const {
  const auto& details = viewModel_->challengeDetails();
  const bool enabled = !emailCodeSending_ && !smsCodeSending_;
  std::vector<Element> list;
  list.push_back(logoElement(details));
  list.push_back(titleText(localized("Verification method")));
  list.push_back(
      text(localized("Choose a method from the list below. We'll send you a code to verify.")));
  list.push_back(plain(ElementKind::spacer));
  const auto* user = details && details->user ? &*details->user : nullptr;
  if (user && user->email) {
    list.push_back(option(localized("Email: %@", *user->email), "requestEmailCode",
                          emailCodeSending_, enabled));
  }
  if (user && user->phone) {
    if (smsCodeSending_) {
      list.push_back(plain(ElementKind::progress));
    } else {
      list.push_back(
          option(localized("Text: %@", *user->phone), "requestTextCode", false, enabled));
    }
  }
  return list;
}

void VerificationOptionsView::requestCode(ChallengeChannel channel) {
  const auto& details = viewModel_->challengeDetails();
  if (!details || !codeClient_) return;
  (channel == ChallengeChannel::email ? emailCodeSending_ : smsCodeSending_) = true;
  changed();
  detail::verify(detail::screenClient(*codeClient_), details->_id, channel,
                 [weak = weak_from_this(), viewModel = viewModel_, queue = mainQueue_, channel] {
                   queue->post([weak, viewModel, channel] {
                     // The channel used is recorded even when the screen is gone by now.
                     if (auto details = viewModel->challengeDetails()) {
                       if (!details->channels) details->channels.emplace();
                       details->channels->push_back(channel);
                       viewModel->setChallengeDetails(std::move(details));
                     }
                     if (auto screen = weak.lock()) {
                       static_cast<VerificationOptionsView&>(*screen).codeSent(channel);
                     }
                   });
                 });
}

void VerificationOptionsView::codeSent(ChallengeChannel channel) {
  const bool email = channel == ChallengeChannel::email;
  (email ? emailCodeSending_ : smsCodeSending_) = false;
  (email ? emailCodeSent_ : smsCodeSent_) = true;
  const auto zelk = zelk_.lock();
  // The code screen already shown (after an earlier request) stays.
  if (zelk && !destination()) {
    setDestination(VerificationCodeView::create(viewModel_, zelk));
  } else {
    changed();
  }
}

void VerificationOptionsView::linkDismissed() {
  emailCodeSent_ = false;
  smsCodeSent_ = false;
  setDestination(nullptr);
}

void VerificationOptionsView::run(std::string_view action) {
  if (action == "requestEmailCode") requestCode(ChallengeChannel::email);
  if (action == "requestTextCode") requestCode(ChallengeChannel::text);
}

}  // namespace zelk
