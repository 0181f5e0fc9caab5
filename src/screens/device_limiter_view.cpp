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

#include <algorithm>
#include <cstdint>
#include <limits>

namespace zelk {

using namespace screens;

namespace {

// Saturating arithmetic: the service's counts and limits are not trusted to stay small.
std::int64_t add(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? std::numeric_limits<std::int64_t>::max()
               : std::numeric_limits<std::int64_t>::min();
}

std::int64_t subtract(std::int64_t a, std::int64_t b) {
  std::int64_t difference = 0;
  if (!__builtin_sub_overflow(a, b, &difference)) return difference;
  return b < 0 ? std::numeric_limits<std::int64_t>::max()
               : std::numeric_limits<std::int64_t>::min();
}

bool overTypeLimit(std::int64_t limit, const std::optional<std::int64_t>& count) {
  return limit >= 1 && count && *count > limit;
}

std::string_view deviceIcon(const ZelkDevice& device) {
  const auto& details = device.info.device;
  const std::string type = details && details->type ? *details->type : std::string();
  if (type == "mobile") return "iphone";
  if (type == "tablet") return "ipad.landscape";
  return "laptopcomputer";
}

}  // namespace

bool isOverDeviceLimit(const std::optional<DeviceLimitState>& state) {
  if (!state) return false;
  const AttachedDeviceTypes& counts = state->attachedDevices.devices;
  return state->attachedDevices.total > state->defaultOverallLimit ||
         overTypeLimit(state->computerDeviceLimit, counts.computers) ||
         overTypeLimit(state->tabletDeviceLimit, counts.tablets) ||
         overTypeLimit(state->mobileDeviceLimit, counts.mobiles);
}

std::string devicesToLogout(const std::optional<DeviceLimitState>& state) {
  if (!state) return {};
  const AttachedDeviceTypes& counts = state->attachedDevices.devices;
  // A type below its limit has nothing to log out, and one without a limit (0 or less) asks
  // for nothing on its own: its devices count towards the overall limit only.
  const auto excess = [](const std::optional<std::int64_t>& count, std::int64_t limit) {
    if (limit < 1) return std::int64_t{0};
    return std::max<std::int64_t>(subtract(count.value_or(0), limit), 0);
  };
  const std::int64_t computers = excess(counts.computers, state->computerDeviceLimit);
  const std::int64_t tablets = excess(counts.tablets, state->tabletDeviceLimit);
  const std::int64_t mobiles = excess(counts.mobiles, state->mobileDeviceLimit);
  const std::int64_t remainder = std::max<std::int64_t>(
      subtract(subtract(state->attachedDevices.total, state->defaultOverallLimit),
               add(add(computers, tablets), mobiles)),
      0);

  std::vector<std::pair<Counted, std::int64_t>> parts;
  for (const auto& [what, count] :
       {std::pair{Counted::computer, computers}, std::pair{Counted::tablet, tablets},
        std::pair{Counted::mobile, mobiles}, std::pair{Counted::device, remainder}}) {
    if (count >= 1) parts.emplace_back(what, count);
  }
  return devicesToLogoutSentence(translatedLanguage().value_or("en"), parts);
}

std::shared_ptr<DeviceLimiterView> DeviceLimiterView::create(
    std::shared_ptr<ChallengeViewModel> viewModel, std::shared_ptr<Zelk> zelk) {
  return adopt(new DeviceLimiterView(std::move(viewModel), std::move(zelk)));
}

bool DeviceLimiterView::isSelected(const ZelkDevice& device) const {
  return std::find(selected_.begin(), selected_.end(), device) != selected_.end();
}

void DeviceLimiterView::toggle(const std::string& deviceID) {
  const auto found = std::find_if(selected_.begin(), selected_.end(),
                                  [&deviceID](const ZelkDevice& d) { return d.id == deviceID; });
  if (found != selected_.end()) {
    selected_.erase(found);
  } else {
    const auto& devices = viewModel_->attachedDevices();
    const auto device = std::find_if(devices.begin(), devices.end(),
                                     [&deviceID](const ZelkDevice& d) { return d.id == deviceID; });
    if (device == devices.end()) return;
    selected_.push_back(*device);
  }
  changed();
}

void DeviceLimiterView::loadDevices() {
  const auto& details = viewModel_->challengeDetails();
  const auto zelk = zelk_.lock();
  if (!details || !zelk) return;
  viewModel_->setLoadingDevices(true);
  auto group = std::make_shared<CompletionGroup>(mainQueue_);
  group->enter();
  group->enter();
  detail::ServiceClient& client = detail::screenClient(*zelk);
  detail::getDeviceLimits(
      client, details->_id,
      [weak = weak_from_this(), queue = mainQueue_, group](const DeviceLimitState& state) {
        postToScreen<DeviceLimiterView>(queue, weak, [state](DeviceLimiterView& screen) {
          screen.deviceLimitState_ = state;
          screen.changed();
        });
        group->leave();
      });
  detail::getChallengeDevices(
      client, details->_id,
      [viewModel = viewModel_, queue = mainQueue_, group](const std::vector<ZelkDevice>& devices) {
        queue->post([viewModel, devices] { viewModel->setAttachedDevices(devices); });
        group->leave();
      });
  group->notify([viewModel = viewModel_] { viewModel->setLoadingDevices(false); });
}

void DeviceLimiterView::logOut() {
  const auto zelk = zelk_.lock();
  if (!isOverDeviceLimit() || selected_.empty() || !zelk) {
    viewModel_->setChallengeVisible(false);
    if (zelk) detail::screenClient(*zelk).hideChallenge();
    return;
  }
  viewModel_->setDetachLoading(true);
  nextChangeAt_.reset();
  auto group = std::make_shared<CompletionGroup>(mainQueue_);
  for (const ZelkDevice& device : selected_) {
    group->enter();
    // A refusal under the cap on device changes says when a change is allowed again.
    auto onRefusal = [weak = weak_from_this(), queue = mainQueue_](const ZelkServiceError& error) {
      if (!error.nextChangeAt) return;
      postToScreen<DeviceLimiterView>(queue, weak, [next = *error.nextChangeAt](auto& screen) {
        screen.nextChangeAt_ = next;
        screen.changed();
      });
    };
    detail::screenClient(*zelk).detachDevice(
        device.id,
        [weak = weak_from_this(), viewModel = viewModel_, queue = mainQueue_, group,
         id = device.id](const std::optional<ZelkAttachResponse>& reply) {
          queue->post([weak, viewModel, group, id, success = reply && reply->success] {
            if (success) {
              auto devices = viewModel->attachedDevices();
              std::erase_if(devices, [&id](const ZelkDevice& d) { return d.id == id; });
              viewModel->setAttachedDevices(std::move(devices));
            }
            if (auto screen = weak.lock()) static_cast<DeviceLimiterView&>(*screen).loadDevices();
            group->leave();
          });
        },
        std::move(onRefusal));
  }
  selected_.clear();
  changed();
  group->notify([viewModel = viewModel_] { viewModel->setDetachLoading(false); });
}

Element DeviceLimiterView::deviceRow(const ZelkDevice& device) const {
  const bool selected = isSelected(device);
  Element row = plain(ElementKind::row);
  row.action = "toggle:" + device.id;
  row.selected = selected;
  row.fullWidth = true;
  row.background = Paint::of(selected ? Paint::Role::fill : Paint::Role::background);

  Element mark = plain(ElementKind::image);
  mark.image = selected ? "checkmark.circle.fill" : "circle";
  mark.size = 24;
  mark.foreground = Paint::of(selected ? Paint::Role::blue : Paint::Role::primary);
  row.children.push_back(std::move(mark));

  Element icon = plain(ElementKind::image);
  icon.image = deviceIcon(device);
  icon.style = TextStyle::title;
  icon.size = 50;
  row.children.push_back(std::move(icon));

  Element name = plain(ElementKind::column);
  name.alignment = Alignment::leading;
  if (device.id == viewModel_->currentDeviceID()) {
    name.children.push_back(text(std::string(libraryString(kCurrentDeviceKey)), TextStyle::body,
                                 FontWeight::regular, Paint::of(Paint::Role::red)));
  } else {
    const auto& os = device.info.os;
    name.children.push_back(text(os && os->name ? *os->name : builtinText("Unknown")));
  }
  Element badge = text(std::string(libraryString(kAttachedKey)), TextStyle::caption,
                       FontWeight::regular, Paint::exact(successDark()));
  badge.kind = ElementKind::badge;
  badge.background = Paint::exact(successLight());
  badge.cornerRadius = 20;
  name.children.push_back(std::move(badge));
  row.children.push_back(std::move(name));

  row.children.push_back(plain(ElementKind::spacer));

  Element update = plain(ElementKind::column);
  update.alignment = Alignment::trailing;
  update.children.push_back(text(std::string(libraryString(kLastUpdateKey)), TextStyle::caption,
                                 FontWeight::regular, Paint::of(Paint::Role::secondary)));
  update.children.push_back(
      text(device.updatedAt ? formattedDate(*device.updatedAt) : "-", TextStyle::footnote));
  row.children.push_back(std::move(update));
  return row;
}

std::vector<Element> DeviceLimiterView::elements() const {
  const auto& details = viewModel_->challengeDetails();
  const bool loading = viewModel_->loadingDevices();
  const bool detaching = viewModel_->detachLoading();
  const bool over = isOverDeviceLimit();
  std::vector<Element> list;
  list.push_back(logoElement(details));
  if (loading) {
    list.push_back(plain(ElementKind::progress));
  } else if (over) {
    list.push_back(titleText(localized("Too many devices using this account.")));
    list.push_back(secondaryText(devicesToLogout()));
    list.push_back(plain(ElementKind::divider));
    Element devices = plain(ElementKind::list);
    devices.enabled = !detaching;
    for (const ZelkDevice& device : viewModel_->attachedDevices()) {
      devices.children.push_back(deviceRow(device));
    }
    list.push_back(std::move(devices));
    if (nextChangeAt_) {
      const std::string day = dayText(translationLanguage().value_or("en"), *nextChangeAt_);
      list.push_back(text(localized("You can change devices again on %@.", day), TextStyle::body,
                          FontWeight::regular, Paint::of(Paint::Role::red)));
    }
  } else {
    Element heading = plain(ElementKind::row);
    heading.children.push_back(titleText(localized("Verification complete")));
    Element tick = plain(ElementKind::image);
    tick.image = "checkmark.circle.fill";
    tick.size = 24;
    tick.foreground = Paint::exact(successDark());
    heading.children.push_back(std::move(tick));
    list.push_back(std::move(heading));
    list.push_back(secondaryText(
        localized("Thank you for completing the verification. We are committed to ensuring your "
                  "account's security and will alert you if we detect misuse.")));
  }
  list.push_back(plain(ElementKind::spacer));
  list.push_back(plain(ElementKind::divider));

  const bool enabled = !loading && !detaching;
  if (detaching) {
    list.push_back(busyButton(ElementKind::button, "logOut", enabled));
  } else if (over) {
    list.push_back(filledButton(localized("Log out the selected devices"),
                                Paint::of(loading ? Paint::Role::secondary : Paint::Role::red),
                                "logOut", enabled));
  } else {
    const std::string project =
        details && details->project ? details->project->name : localized("the app");
    list.push_back(filledButton(localized("Continue to %@", project),
                                Paint::exact(brandColor(details)), "logOut", enabled));
  }
  return list;
}

void DeviceLimiterView::run(std::string_view action) {
  if (action == "logOut") logOut();
  if (action.starts_with("toggle:")) toggle(std::string(action.substr(7)));
}

}  // namespace zelk
