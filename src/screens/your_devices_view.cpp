// SPDX-License-Identifier: Apache-2.0
#include <zelk/challenge_view_model.hpp>
#include <zelk/client.hpp>
#include <zelk/localization.hpp>
#include <zelk/your_devices.hpp>

#include "screens/async.hpp"
#include "screens/counted_texts.hpp"
#include "screens/elements.hpp"
#include "screens/resources.hpp"

#include <algorithm>

namespace zelk {

using namespace screens;

namespace {

std::string_view deviceIcon(const std::optional<std::string>& type) {
  if (type == "mobile") return "iphone";
  if (type == "tablet") return "ipad.landscape";
  return "laptopcomputer";
}

std::string typeText(const std::optional<std::string>& type) {
  if (type == "mobile") return localized("Phone");
  if (type == "tablet") return localized("Tablet");
  if (type == "computer") return localized("Computer");
  return {};
}

// "Berlin, Germany", or whichever of the two the service knows.
std::string placeText(const std::optional<Access>& access) {
  if (!access || !access->geolocation) return {};
  const Geolocation& place = *access->geolocation;
  std::string text = place.city.value_or("");
  if (place.country && !place.country->empty()) {
    if (!text.empty()) text += ", ";
    text += *place.country;
  }
  return text;
}

Element caption(std::string content) {
  return text(std::move(content), TextStyle::caption, FontWeight::regular,
              Paint::of(Paint::Role::secondary));
}

Element badge(std::string label, Paint foreground, Paint background) {
  Element element = text(std::move(label), TextStyle::caption, FontWeight::regular, foreground);
  element.kind = ElementKind::badge;
  element.background = background;
  element.cornerRadius = 20;
  return element;
}

Element plainButton(std::string label, std::string action, bool enabled, Paint foreground) {
  Element element = text(std::move(label), TextStyle::subheadline, FontWeight::medium, foreground);
  element.kind = ElementKind::button;
  element.action = std::move(action);
  element.enabled = enabled;
  return element;
}

// The language the screen's own compositions (the day of the next change) follow.
std::string_view screenLanguage() {
  return translationLanguage().value_or("en");
}

}  // namespace

std::shared_ptr<YourDevicesView> YourDevicesView::create(std::shared_ptr<Zelk> zelk) {
  auto screen = adopt(new YourDevicesView(std::make_shared<ChallengeViewModel>(), std::move(zelk)));
  screen->refresh();
  return screen;
}

std::string YourDevicesView::nextChangeText() const {
  std::optional<Date> next = nextChangeAt_;
  if (!next && swaps_) next = swaps_->nextChangeAt;
  if (!next) return {};
  return localized("You can change devices again on %@.", dayText(screenLanguage(), *next));
}

void YourDevicesView::refresh() {
  const auto zelk = zelk_.lock();
  if (!zelk) return;
  loading_ = true;
  changed();
  zelk->devices([weak = weak_from_this()](const std::optional<ZelkUserDevices>& list,
                                          const std::optional<ZelkServiceError>& error) {
    // Called at once or on the main queue: either way on the main thread.
    if (auto screen = weak.lock()) static_cast<YourDevicesView&>(*screen).applyList(list, error);
  });
}

void YourDevicesView::applyList(const std::optional<ZelkUserDevices>& list,
                                const std::optional<ZelkServiceError>& error) {
  loading_ = false;
  if (list) {
    loaded_ = true;
    devices_ = list->devices;
    // The device in the user's hand comes first; the others keep the service's order.
    std::stable_partition(devices_.begin(), devices_.end(),
                          [](const ZelkUserDevice& entry) { return entry.current; });
    swaps_ = list->swaps;
    if (swaps_ && !swaps_->nextChangeAt) nextChangeAt_.reset();  // the cap allows changes again
    const bool stillListed =
        std::any_of(devices_.begin(), devices_.end(),
                    [this](const ZelkUserDevice& entry) { return entry.device.id == confirming_; });
    if (!stillListed) confirming_.clear();
  } else if (error) {
    problem_ = error->status == 401 || error->message == "no device attached"
                   ? localized("This device is no longer signed in.")
               : error->status == 429 ? localized("Too many attempts. Please try again later.")
                                      : localized("Could not load your devices.");
  }
  changed();
}

void YourDevicesView::askToSignOut(const std::string& deviceID) {
  const auto found = std::find_if(devices_.begin(), devices_.end(), [&](const ZelkUserDevice& e) {
    return e.device.id == deviceID && !e.current;
  });
  if (found == devices_.end()) return;
  confirming_ = deviceID;
  changed();
}

void YourDevicesView::cancelSignOut() {
  confirming_.clear();
  changed();
}

void YourDevicesView::confirmSignOut() {
  const auto zelk = zelk_.lock();
  if (!zelk || confirming_.empty() || signingOut_) return;
  signingOut_ = true;
  problem_.clear();
  changed();
  zelk->logoutDevice(confirming_, [weak = weak_from_this()](const auto& reply, const auto& error) {
    if (auto screen = weak.lock()) {
      static_cast<YourDevicesView&>(*screen).applySignOut(reply, error, false);
    }
  });
}

void YourDevicesView::codeChanged(std::string code) {
  code_ = std::move(code);
  changed();
}

void YourDevicesView::signOutWithCode() {
  const auto zelk = zelk_.lock();
  if (!zelk || signingOut_) return;
  signingOut_ = true;
  problem_.clear();
  changed();
  zelk->logoutDeviceWithCode(
      code_, [weak = weak_from_this()](const auto& reply, const auto& error) {
        if (auto screen = weak.lock()) {
          static_cast<YourDevicesView&>(*screen).applySignOut(reply, error, true);
        }
      });
}

void YourDevicesView::applySignOut(const std::optional<ZelkAttachResponse>& reply,
                                   const std::optional<ZelkServiceError>& error, bool byCode) {
  signingOut_ = false;
  if (reply && reply->success) {
    const std::string gone = reply->deviceID.value_or(confirming_);
    std::erase_if(devices_, [&gone](const ZelkUserDevice& e) { return e.device.id == gone; });
    confirming_.clear();
    if (byCode) code_.clear();
    problem_.clear();
    nextChangeAt_.reset();
    changed();
    refresh();  // the cap's count and the list as the service now has them
    return;
  }
  if (error && error->nextChangeAt) {
    nextChangeAt_ = error->nextChangeAt;
    problem_.clear();  // the day of the next change says it all
  } else if (error && error->status == 401) {
    problem_ = localized("This device is no longer signed in.");
  } else if (error && error->status == 429) {
    problem_ = localized("Too many attempts. Please try again later.");
  } else if (error && byCode && error->status == 404) {
    problem_ = localized("That code is not valid.");
  } else if (error && error->status == 404) {
    problem_ = localized("That device is not signed in to your account.");
  } else {
    problem_ = localized("Could not sign the device out.");
  }
  confirming_.clear();
  changed();
}

Element YourDevicesView::deviceRow(const ZelkUserDevice& entry) const {
  const ZelkDevice& device = entry.device;
  const auto& details = device.info.device;
  const std::optional<std::string> type = details ? details->type : std::nullopt;
  Element row = plain(ElementKind::row);
  row.fullWidth = true;

  Element icon = plain(ElementKind::image);
  icon.image = deviceIcon(type);
  icon.style = TextStyle::title;
  icon.size = 40;
  row.children.push_back(std::move(icon));

  Element about = plain(ElementKind::column);
  about.alignment = Alignment::leading;
  const bool named = details && details->model && !details->model->empty();
  about.children.push_back(
      text(named ? *details->model : builtinText("Unknown"), TextStyle::body, FontWeight::bold));
  std::string kind = typeText(type);
  if (const std::string place = placeText(device.lastAccess); !place.empty()) {
    kind += (kind.empty() ? "" : " · ") + place;
  }
  if (!kind.empty()) about.children.push_back(caption(std::move(kind)));
  if (device.createdAt) {
    about.children.push_back(
        caption(localized("First seen: %@", formattedDate(*device.createdAt))));
  }
  if (device.updatedAt) {
    about.children.push_back(caption(localized("Last seen: %@", formattedDate(*device.updatedAt))));
  }
  Element marks = plain(ElementKind::row);
  if (entry.current) {
    marks.children.push_back(badge(localized("This device"), Paint::of(Paint::Role::white),
                                   Paint::of(Paint::Role::blue)));
  }
  if (entry.trustedUntil) {
    marks.children.push_back(
        badge(localized("Trusted"), Paint::exact(successDark()), Paint::exact(successLight())));
  }
  if (!marks.children.empty()) about.children.push_back(std::move(marks));
  row.children.push_back(std::move(about));
  row.children.push_back(plain(ElementKind::spacer));

  if (entry.current) return row;
  const bool busy = signingOut_ || loading_;
  if (confirming_ == device.id) {
    Element ask = plain(ElementKind::column);
    ask.alignment = Alignment::trailing;
    ask.children.push_back(text(localized("Sign out this device?"), TextStyle::subheadline));
    Element choices = plain(ElementKind::row);
    if (signingOut_) {
      choices.children.push_back(plain(ElementKind::progress));
    } else {
      choices.children.push_back(
          plainButton(localized("Cancel"), "cancel", !busy, Paint::of(Paint::Role::secondary)));
      choices.children.push_back(plainButton(localized("Sign out"), "confirm:" + device.id, !busy,
                                             Paint::of(Paint::Role::red)));
    }
    ask.children.push_back(std::move(choices));
    row.children.push_back(std::move(ask));
  } else {
    row.children.push_back(plainButton(localized("Sign out"), "signOut:" + device.id, !busy,
                                       Paint::of(Paint::Role::red)));
  }
  return row;
}

std::vector<Element> YourDevicesView::elements() const {
  std::vector<Element> list;
  list.push_back(titleText(localized("Your devices")));
  if (!problem_.empty()) {
    list.push_back(
        text(problem_, TextStyle::body, FontWeight::regular, Paint::of(Paint::Role::red)));
  }
  if (const std::string next = nextChangeText(); !next.empty()) list.push_back(secondaryText(next));

  if (loading_ && !loaded_) {
    list.push_back(plain(ElementKind::progress));
  } else {
    Element rows = plain(ElementKind::list);
    for (const ZelkUserDevice& entry : devices_) rows.children.push_back(deviceRow(entry));
    list.push_back(std::move(rows));
  }
  list.push_back(plain(ElementKind::divider));

  list.push_back(
      secondaryText(localized("Got an e-mail about a new device? Enter its code to sign that "
                              "device out.")));
  Element field = plain(ElementKind::textField);
  field.text = code_;
  field.placeholder = localized("Code from the e-mail");
  field.action = "code";
  field.fullWidth = true;
  field.enabled = !signingOut_;
  list.push_back(std::move(field));
  const bool hasCode = code_.find_first_not_of(" \t\r\n") != std::string::npos;
  if (signingOut_ && confirming_.empty()) {
    list.push_back(busyButton(ElementKind::button, "signOutWithCode", false));
  } else {
    list.push_back(filledButton(localized("Sign out with code"),
                                Paint::of(hasCode ? Paint::Role::red : Paint::Role::secondary),
                                "signOutWithCode", hasCode && !signingOut_));
  }
  list.push_back(plain(ElementKind::spacer));
  if (loading_ && loaded_) {
    list.push_back(busyButton(ElementKind::button, "refresh", false));
  } else {
    list.push_back(plainButton(localized("Refresh"), "refresh", !loading_ && !signingOut_,
                               Paint::of(Paint::Role::blue)));
  }
  return list;
}

void YourDevicesView::run(std::string_view action) {
  if (action == "refresh") return refresh();
  if (action == "cancel") return cancelSignOut();
  if (action == "signOutWithCode") return signOutWithCode();
  if (action.starts_with("signOut:")) return askToSignOut(std::string(action.substr(8)));
  if (action.starts_with("confirm:") && action.substr(8) == confirming_) return confirmSignOut();
}

}  // namespace zelk
