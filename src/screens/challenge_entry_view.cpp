// SPDX-License-Identifier: Apache-2.0
#include <zelk/challenge_screens.hpp>
#include <zelk/client.hpp>
#include <zelk/localization.hpp>

#include "client/service_client.hpp"
#include "platform/http_transport.hpp"
#include "screens/elements.hpp"

namespace zelk {

using namespace screens;

namespace {

std::string projectName(const std::optional<ChallengeDetails>& details) {
  return details && details->project ? details->project->name : std::string();
}

}  // namespace

Element logoElement(const std::optional<ChallengeDetails>& details) {
  if (details && details->brand && details->brand->logo &&
      detail::HttpTransport::isValidURL(*details->brand->logo)) {
    Element logo = plain(ElementKind::logo);
    logo.url = *details->brand->logo;
    logo.size = 40;
    return logo;
  }
  return titleText(projectName(details));
}

Color brandColor(const std::optional<ChallengeDetails>& details) {
  const bool hasColor = details && details->brand && details->brand->primary_color;
  return colorFromHex(hasColor ? *details->brand->primary_color : std::string());
}

std::shared_ptr<ChallengeEntryView> ChallengeEntryView::create(
    std::shared_ptr<ChallengeViewModel> viewModel, std::shared_ptr<Zelk> zelk) {
  return adopt(new ChallengeEntryView(std::move(viewModel), std::move(zelk)));
}

std::string ChallengeEntryView::title() const {
  return localized("Start your own %@ account today", projectName(viewModel_->challengeDetails()));
}

bool ChallengeEntryView::verifiesFirst() const {
  const auto& details = viewModel_->challengeDetails();
  return details && details->brand && details->brand->require_verification.value_or(false) &&
         details->user && (details->user->email || details->user->phone);
}

std::vector<Element> ChallengeEntryView::elements() const {
  const auto& details = viewModel_->challengeDetails();
  std::vector<Element> list;
  list.push_back(logoElement(details));
  list.push_back(titleText(title()));
  list.push_back(secondaryText(
      localized("We detected multiple people using this account. Please create your own account to "
                "continue.")));
  list.push_back(plain(ElementKind::spacer));

  Element logOut = text(localized("Log out of this device"), TextStyle::subheadline,
                        FontWeight::medium, Paint::of(Paint::Role::secondary));
  logOut.kind = ElementKind::button;
  logOut.cornerRadius = 8;
  logOut.fullWidth = true;
  logOut.action = "logOutOfThisDevice";
  list.push_back(std::move(logOut));

  Element create = filledButton(localized("Create an account now"),
                                Paint::exact(brandColor(details)), "createAccount", true);
  create.image = "arrow.right";
  list.push_back(std::move(create));

  Element row = plain(ElementKind::row);
  row.style = TextStyle::subheadline;
  row.children.push_back(
      text(localized("Is this your account?"), TextStyle::subheadline, FontWeight::medium));
  Element link = text(localized("Verify to continue"), TextStyle::subheadline, FontWeight::medium);
  link.kind = ElementKind::link;
  link.action = "verifyToContinue";
  link.destination = verifiesFirst() ? "VerificationOptionsView" : "DeviceLimiterView";
  row.children.push_back(std::move(link));
  list.push_back(std::move(row));
  return list;
}

void ChallengeEntryView::logOutOfThisDevice() {
  const auto zelk = zelk_.lock();
  if (zelk) {
    zelk->detach();
    if (const auto callback = zelk->onLogoutCurrentDevice) callback();
  }
  viewModel_->setChallengeVisible(false);
  if (zelk) detail::screenClient(*zelk).hideChallenge();
}

void ChallengeEntryView::createAccount() {
  const auto zelk = zelk_.lock();
  if (zelk) {
    if (const auto callback = zelk->onCreateNewAccount) callback();
    zelk->detach();
  }
  viewModel_->setChallengeVisible(false);
  if (zelk) detail::screenClient(*zelk).hideChallenge();
}

void ChallengeEntryView::verifyToContinue() {
  const auto zelk = zelk_.lock();
  if (!zelk) return;
  if (verifiesFirst()) {
    setDestination(VerificationOptionsView::create(viewModel_, zelk));
  } else {
    setDestination(DeviceLimiterView::create(viewModel_, zelk));
  }
}

void ChallengeEntryView::run(std::string_view action) {
  if (action == "logOutOfThisDevice") logOutOfThisDevice();
  if (action == "createAccount") createAccount();
  if (action == "verifyToContinue") verifyToContinue();
}

}  // namespace zelk
