// SPDX-License-Identifier: Apache-2.0
// The container, the host's subscriptions to what it shows, and the screens as snapshots.
#include "client.hpp"
#include "container.hpp"
#include "records.hpp"
#include "support.hpp"

#include <zelk/challenge_screens.hpp>
#include <zelk/otp_input.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <map>

namespace zelk::capi {

namespace {

// A container as the host holds it. It follows the container's state, the challenge's stack and
// the screen on top, and tells the host's subscribers after each change. Main thread.
class ContainerHandle final : public std::enable_shared_from_this<ContainerHandle> {
 public:
  ContainerHandle(std::shared_ptr<ZelkContainer> container, std::shared_ptr<MainQueue> queue)
      : container_(std::move(container)), queue_(std::move(queue)) {}

  ~ContainerHandle() {
    if (top_) top_->unsubscribe(topToken_);
    if (view_) view_->unsubscribe(viewToken_);
    container_->viewModel()->unsubscribe(modelToken_);
  }

  void start() {
    modelToken_ = container_->viewModel()->subscribe([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->sync();
    });
  }

  const std::shared_ptr<ZelkContainer>& container() const { return container_; }
  const std::shared_ptr<MainQueue>& queue() const { return queue_; }
  const std::shared_ptr<ChallengeView>& view() {
    sync(false);
    return view_;
  }

  std::uint64_t subscribe(zelk_notify_fn callback, UserDataPtr user) {
    const std::uint64_t token = nextToken_++;
    subscribers_.push_back({token, callback, std::move(user)});
    return token;
  }

  void unsubscribe(std::uint64_t token) {
    std::erase_if(subscribers_, [token](const Subscriber& s) { return s.token == token; });
  }

 private:
  struct Subscriber {
    std::uint64_t token;
    zelk_notify_fn callback;
    UserDataPtr user;
  };

  // Follows the stack (made on the first look after the challenge shows, dropped when it hides)
  // and its top screen; tells the subscribers when asked to.
  void sync(bool notify = true) {
    auto view = container_->challengeView();
    if (view != view_) {
      if (view_) view_->unsubscribe(viewToken_);
      view_ = std::move(view);
      if (view_) {
        viewToken_ = view_->subscribe([weak = weak_from_this()] {
          if (auto self = weak.lock()) self->sync();
        });
      }
    }
    auto top = view_ ? view_->stack().back() : nullptr;
    if (top != top_) {
      if (top_) top_->unsubscribe(topToken_);
      top_ = std::move(top);
      if (top_) {
        topToken_ = top_->subscribe([weak = weak_from_this()] {
          if (auto self = weak.lock()) self->notifySubscribers();
        });
      }
    }
    if (notify) notifySubscribers();
  }

  void notifySubscribers() {
    const auto keep = shared_from_this();
    const auto current = subscribers_;  // a callback may subscribe or unsubscribe
    for (const Subscriber& subscriber : current) {
      const bool still =
          std::any_of(subscribers_.begin(), subscribers_.end(),
                      [&](const Subscriber& s) { return s.token == subscriber.token; });
      if (!still) continue;
      InCallback hook;
      subscriber.callback(subscriber.user->get());
    }
  }

  std::shared_ptr<ZelkContainer> container_;
  std::shared_ptr<MainQueue> queue_;
  ChallengeViewModel::Token modelToken_ = 0;
  std::shared_ptr<ChallengeView> view_;
  ChallengeView::Token viewToken_ = 0;
  std::shared_ptr<ChallengeScreen> top_;
  ChallengeScreen::Token topToken_ = 0;
  std::vector<Subscriber> subscribers_;
  std::uint64_t nextToken_ = 1;
};

// A screen as it was when the snapshot was taken, with the way back to the live screen for its
// actions.
struct ScreenSnapshot {
  zelk_screen_kind kind = ZELK_SCREEN_ENTRY;
  std::string name;
  std::int64_t depth = 0;
  std::vector<Element> elements;
  std::vector<const Element*> flat;                // pre-order
  std::vector<std::vector<std::size_t>> children;  // of each element in `flat`
  std::vector<std::size_t> roots;
  std::string plainText;
  std::map<zelk_screen_value, std::string> texts;
  std::map<zelk_screen_value, std::int64_t> numbers;
  std::optional<DeviceLimitState> limit;
  std::vector<ZelkDevice> selected;

  std::weak_ptr<ChallengeScreen> live;
  std::weak_ptr<ChallengeView> view;
  std::shared_ptr<MainQueue> queue;

  std::size_t add(const Element& element) {
    const std::size_t index = flat.size();
    flat.push_back(&element);
    children.emplace_back();
    for (const Element& child : element.children) {
      const std::size_t childIndex = add(child);
      children[index].push_back(childIndex);
    }
    return index;
  }
};

nlohmann::json paintJson(const std::optional<Paint>& paint) {
  if (!paint) return nullptr;
  return {{"role", std::string(name(paint->role))},
          {"argb", paint->color.toARGB8()},
          {"opacity", paint->opacity}};
}

nlohmann::json elementJson(const Element& element) {
  nlohmann::json children = nlohmann::json::array();
  for (const Element& child : element.children) children.push_back(elementJson(child));
  return {{"kind", std::string(name(element.kind))},
          {"text", element.text},
          {"image", element.image},
          {"url", element.url},
          {"style", std::string(name(element.style))},
          {"weight", std::string(name(element.weight))},
          {"alignment", std::string(name(element.alignment))},
          {"foreground", paintJson(element.foreground)},
          {"background", paintJson(element.background)},
          {"cornerRadius", element.cornerRadius},
          {"size", element.size},
          {"fullWidth", element.fullWidth},
          {"enabled", element.enabled},
          {"selected", element.selected},
          {"action", element.action},
          {"destination", element.destination},
          {"children", std::move(children)}};
}

std::shared_ptr<ScreenSnapshot> snapshot(ChallengeScreen& screen, const ChallengeView& view,
                                         std::shared_ptr<MainQueue> queue) {
  auto shot = std::make_shared<ScreenSnapshot>();
  shot->name = std::string(screen.name());
  shot->elements = screen.elements();
  for (const Element& element : shot->elements) shot->roots.push_back(shot->add(element));
  shot->plainText = zelk::plainText(shot->elements);
  nlohmann::json tree = nlohmann::json::array();
  for (const Element& element : shot->elements) tree.push_back(elementJson(element));
  shot->texts[ZELK_SCREEN_NAME] = shot->name;
  shot->texts[ZELK_SCREEN_PLAIN_TEXT] = shot->plainText;
  shot->texts[ZELK_SCREEN_ELEMENTS_JSON] = tree.dump();
  const auto& stack = view.stack();
  for (std::size_t i = 0; i < stack.size(); ++i) {
    if (stack[i].get() == &screen) shot->depth = static_cast<std::int64_t>(i + 1);
  }
  shot->numbers[ZELK_SCREEN_DEPTH] = shot->depth;
  if (auto* entry = dynamic_cast<ChallengeEntryView*>(&screen)) {
    shot->kind = ZELK_SCREEN_ENTRY;
    shot->texts[ZELK_SCREEN_TITLE] = entry->title();
    shot->numbers[ZELK_SCREEN_VERIFIES_FIRST] = entry->verifiesFirst();
  } else if (auto* limiter = dynamic_cast<DeviceLimiterView*>(&screen)) {
    shot->kind = ZELK_SCREEN_DEVICE_LIMITER;
    shot->texts[ZELK_SCREEN_DEVICES_TO_LOGOUT] = limiter->devicesToLogout();
    shot->numbers[ZELK_SCREEN_OVER_LIMIT] = limiter->isOverDeviceLimit();
    shot->limit = limiter->deviceLimitState();
    shot->selected = limiter->selected();
  } else if (auto* options = dynamic_cast<VerificationOptionsView*>(&screen)) {
    shot->kind = ZELK_SCREEN_VERIFICATION_OPTIONS;
    shot->numbers[ZELK_SCREEN_EMAIL_CODE_SENDING] = options->emailCodeSending();
    shot->numbers[ZELK_SCREEN_EMAIL_CODE_SENT] = options->emailCodeSent();
    shot->numbers[ZELK_SCREEN_TEXT_CODE_SENDING] = options->smsCodeSending();
    shot->numbers[ZELK_SCREEN_TEXT_CODE_SENT] = options->smsCodeSent();
  } else if (auto* code = dynamic_cast<VerificationCodeView*>(&screen)) {
    shot->kind = ZELK_SCREEN_VERIFICATION_CODE;
    shot->texts[ZELK_SCREEN_CODE] = code->code();
    shot->texts[ZELK_SCREEN_MESSAGE] = code->message();
    shot->texts[ZELK_SCREEN_RESEND_LABEL] = code->resendLabel();
    shot->numbers[ZELK_SCREEN_CODE_FOCUS] = code->input().currentFocus();
    shot->numbers[ZELK_SCREEN_SECONDS_TO_RESEND] = code->secondsToResend();
    shot->numbers[ZELK_SCREEN_VERIFYING] = code->verifying();
    shot->numbers[ZELK_SCREEN_VALID_CODE] = code->validCode();
    shot->numbers[ZELK_SCREEN_VERIFIED] = code->verified();
  }
  shot->live = screen.shared_from_this();
  shot->queue = std::move(queue);
  return shot;
}

std::shared_ptr<ContainerHandle> needContainer(zelk_container* container, const char* function,
                                               bool mainThread = true) {
  auto handle = need<ContainerHandle>(container, Kind::container, function, "container");
  if (mainThread) requireMainThread(*handle->queue(), function);
  return handle;
}

std::shared_ptr<ScreenSnapshot> needScreen(zelk_screen* screen, const char* function) {
  return need<ScreenSnapshot>(screen, Kind::screen, function, "screen");
}

const Element& elementAt(const ScreenSnapshot& shot, std::size_t element, const char* function) {
  if (element >= shot.flat.size()) {
    raise(ZELK_ERROR_OUT_OF_RANGE, std::string(function) + ": element " + std::to_string(element) +
                                       " is past the screen's " + std::to_string(shot.flat.size()) +
                                       " elements");
  }
  return *shot.flat[element];
}

const std::vector<std::size_t>& childrenOf(const ScreenSnapshot& shot, std::size_t parent,
                                           const char* function) {
  if (parent == ZELK_SCREEN_ROOT) return shot.roots;
  elementAt(shot, parent, function);
  return shot.children[parent];
}

// The live screen of a snapshot, for an action: on the main thread, outside callbacks, while it
// is still the top of its stack.
std::shared_ptr<ChallengeScreen> liveScreen(const ScreenSnapshot& shot, const char* function,
                                            zelk_screen_kind kind, bool anyKind) {
  requireMainThread(*shot.queue, function);
  refuseInsideCallback(function);
  if (!anyKind && shot.kind != kind) {
    raise(ZELK_ERROR_UNAVAILABLE,
          std::string(function) + " is not an action of the " + shot.name + " screen");
  }
  auto screen = shot.live.lock();
  auto view = shot.view.lock();
  if (!screen || !view || view->stack().empty() || view->stack().back() != screen) {
    raise(ZELK_ERROR_UNAVAILABLE, std::string(function) + ": the " + shot.name +
                                      " screen is no longer on top; take a new snapshot");
  }
  return screen;
}

// A field that the snapshot's kind of screen does not have.
[[noreturn]] void notOnScreen(const ScreenSnapshot& shot, const char* function, int value) {
  raise(ZELK_ERROR_UNAVAILABLE, std::string(function) + ": value " + std::to_string(value) +
                                    " is not one of the " + shot.name + " screen");
}

// Types or deletes through a native field's edit, as a host with real text fields does.
class SilentField final : public NativeTextField {
 public:
  void setText(std::string) override {}
  void becomeFirstResponder() override {}
};

}  // namespace

zelk_container* makeContainer(std::shared_ptr<ZelkContainer> container,
                              std::shared_ptr<MainQueue> queue) {
  auto handle = std::make_shared<ContainerHandle>(std::move(container), std::move(queue));
  handle->start();
  return makeHandle<zelk_container>(Kind::container, std::move(handle));
}

}  // namespace zelk::capi

using namespace zelk;
using namespace zelk::capi;

extern "C" {

zelk_status zelk_container_new(zelk_client* client, zelk_container** out) {
  clear(out);
  return guarded([&, function = __func__] {
    require(out, function, "out");
    auto handle = need<ClientHandle>(client, Kind::client, function, "client");
    requireMainThread(*handle->queue, function);
    refuseInsideCallback(function);
    *out = makeContainer(ZelkContainer::create(handle->zelk), handle->queue);
    return ZELK_OK;
  });
}

void zelk_container_free(zelk_container* container) {
  guardedVoid([&] {
    auto object = Registry::instance().erase(container, Kind::container);
    if (!object) return;
    auto queue = std::static_pointer_cast<ContainerHandle>(object)->queue();
    releaseOnMainThread(std::move(object), queue);
  });
}

zelk_status zelk_container_set_scene_phase(zelk_container* container, zelk_scene_phase phase) {
  return guarded([&, function = __func__] {
    auto handle = needContainer(container, function);
    refuseInsideCallback(function);
    switch (phase) {
      case ZELK_SCENE_ACTIVE:
        handle->container()->setScenePhase(ScenePhase::active);
        break;
      case ZELK_SCENE_INACTIVE:
        handle->container()->setScenePhase(ScenePhase::inactive);
        break;
      case ZELK_SCENE_BACKGROUND:
        handle->container()->setScenePhase(ScenePhase::background);
        break;
      default:
        raise(ZELK_ERROR_INVALID_ARGUMENT, "zelk_container_set_scene_phase: unknown phase");
    }
    return ZELK_OK;
  });
}

zelk_status zelk_container_flag(zelk_container* container, zelk_container_state state,
                                bool* value) {
  clear(value);
  return guarded([&, function = __func__] {
    require(value, function, "value");
    const auto& model = *needContainer(container, function)->container()->viewModel();
    switch (state) {
      case ZELK_CONTAINER_CHALLENGE_VISIBLE:
        *value = model.challengeVisible();
        break;
      case ZELK_CONTAINER_LOADING_DEVICES:
        *value = model.loadingDevices();
        break;
      case ZELK_CONTAINER_DETACH_LOADING:
        *value = model.detachLoading();
        break;
      default:
        raise(ZELK_ERROR_INVALID_ARGUMENT, "zelk_container_flag: unknown state");
    }
    return ZELK_OK;
  });
}

zelk_status zelk_container_current_device_id(zelk_container* container, char** device_id,
                                             size_t* length) {
  clear(device_id);
  clear(length);
  return guarded([&, function = __func__] {
    require(device_id, function, "device_id");
    const auto& id =
        needContainer(container, function)->container()->viewModel()->currentDeviceID();
    writeText(id.empty() ? std::nullopt : std::optional(id), device_id, length);
    return ZELK_OK;
  });
}

zelk_status zelk_container_challenge(zelk_container* container, zelk_challenge** out) {
  clear(out);
  return guarded([&, function = __func__] {
    require(out, function, "out");
    const auto& details =
        needContainer(container, function)->container()->viewModel()->challengeDetails();
    if (details) *out = makeChallenge(*details);
    return ZELK_OK;
  });
}

zelk_status zelk_container_attached_devices(zelk_container* container, zelk_device_list** out) {
  clear(out);
  return guarded([&, function = __func__] {
    require(out, function, "out");
    *out = makeDeviceList(
        needContainer(container, function)->container()->viewModel()->attachedDevices());
    return ZELK_OK;
  });
}

zelk_status zelk_container_subscribe(zelk_container* container, zelk_notify_fn callback,
                                     void* user_data, zelk_free_fn free_user_data,
                                     uint64_t* token) {
  auto user = userData(user_data, free_user_data);
  clear(token);
  return guarded([&, function = __func__] {
    auto handle = needContainer(container, function);
    require(callback, function, "callback");
    const auto made = handle->subscribe(callback, std::move(user));
    if (token != nullptr) *token = made;
    return ZELK_OK;
  });
}

zelk_status zelk_container_unsubscribe(zelk_container* container, uint64_t token) {
  return guarded([&, function = __func__] {
    needContainer(container, function)->unsubscribe(token);
    return ZELK_OK;
  });
}

zelk_status zelk_container_screen(zelk_container* container, zelk_screen** out) {
  clear(out);
  return guarded([&, function = __func__] {
    require(out, function, "out");
    auto handle = needContainer(container, function);
    const auto& view = handle->view();
    if (!view || view->stack().empty()) return ZELK_OK;
    auto shot = snapshot(*view->stack().back(), *view, handle->queue());
    shot->view = view;
    *out = makeHandle<zelk_screen>(Kind::screen, std::move(shot));
    return ZELK_OK;
  });
}

zelk_status zelk_container_back(zelk_container* container, bool* popped) {
  clear(popped);
  return guarded([&, function = __func__] {
    auto handle = needContainer(container, function);
    refuseInsideCallback(function);
    const auto view = handle->view();
    const bool done = view && view->back();
    if (popped != nullptr) *popped = done;
    return ZELK_OK;
  });
}

void zelk_screen_free(zelk_screen* screen) {
  guardedVoid([&] { Registry::instance().erase(screen, Kind::screen); });
}

zelk_status zelk_screen_kind_of(zelk_screen* screen, zelk_screen_kind* kind) {
  clear(kind);
  return guarded([&, function = __func__] {
    require(kind, function, "kind");
    *kind = needScreen(screen, function)->kind;
    return ZELK_OK;
  });
}

zelk_status zelk_screen_text(zelk_screen* screen, zelk_screen_value value, char** text,
                             size_t* length) {
  clear(text);
  clear(length);
  return guarded([&, function = __func__] {
    require(text, function, "text");
    auto shot = needScreen(screen, function);
    const auto found = shot->texts.find(value);
    if (found == shot->texts.end()) notOnScreen(*shot, function, value);
    writeText(found->second, text, length);
    return ZELK_OK;
  });
}

zelk_status zelk_screen_number(zelk_screen* screen, zelk_screen_value value, int64_t* number) {
  clear(number);
  return guarded([&, function = __func__] {
    require(number, function, "number");
    auto shot = needScreen(screen, function);
    const auto found = shot->numbers.find(value);
    if (found == shot->numbers.end()) notOnScreen(*shot, function, value);
    *number = found->second;
    return ZELK_OK;
  });
}

zelk_status zelk_screen_device_limit(zelk_screen* screen, zelk_device_limit** out) {
  clear(out);
  return guarded([&, function = __func__] {
    require(out, function, "out");
    auto shot = needScreen(screen, function);
    if (shot->kind != ZELK_SCREEN_DEVICE_LIMITER) notOnScreen(*shot, function, -1);
    if (shot->limit) *out = makeDeviceLimit(*shot->limit);
    return ZELK_OK;
  });
}

zelk_status zelk_screen_selected_devices(zelk_screen* screen, zelk_device_list** out) {
  clear(out);
  return guarded([&, function = __func__] {
    require(out, function, "out");
    auto shot = needScreen(screen, function);
    if (shot->kind != ZELK_SCREEN_DEVICE_LIMITER) notOnScreen(*shot, function, -1);
    *out = makeDeviceList(shot->selected);
    return ZELK_OK;
  });
}

zelk_status zelk_screen_child_count(zelk_screen* screen, size_t parent, size_t* count) {
  clear(count);
  return guarded([&, function = __func__] {
    require(count, function, "count");
    auto shot = needScreen(screen, function);
    *count = childrenOf(*shot, parent, function).size();
    return ZELK_OK;
  });
}

zelk_status zelk_screen_child(zelk_screen* screen, size_t parent, size_t position,
                              size_t* element) {
  clear(element);
  return guarded([&, function = __func__] {
    require(element, function, "element");
    auto shot = needScreen(screen, function);
    const auto& children = childrenOf(*shot, parent, function);
    if (position >= children.size()) {
      raise(ZELK_ERROR_OUT_OF_RANGE, std::string(function) + ": position " +
                                         std::to_string(position) + " is past the " +
                                         std::to_string(children.size()) + " children");
    }
    *element = children[position];
    return ZELK_OK;
  });
}

zelk_status zelk_screen_element_text(zelk_screen* screen, size_t element, zelk_element_field field,
                                     char** text, size_t* length) {
  clear(text);
  clear(length);
  return guarded([&, function = __func__] {
    require(text, function, "text");
    auto shot = needScreen(screen, function);
    const Element& e = elementAt(*shot, element, function);
    switch (field) {
      case ZELK_ELEMENT_FIELD_TEXT:
        writeText(e.text, text, length);
        break;
      case ZELK_ELEMENT_FIELD_IMAGE:
        writeText(e.image, text, length);
        break;
      case ZELK_ELEMENT_FIELD_URL:
        writeText(e.url, text, length);
        break;
      case ZELK_ELEMENT_FIELD_ACTION:
        writeText(e.action, text, length);
        break;
      case ZELK_ELEMENT_FIELD_DESTINATION:
        writeText(e.destination, text, length);
        break;
      default:
        raise(ZELK_ERROR_INVALID_ARGUMENT,
              "zelk_screen_element_text: field " + std::to_string(field) + " is not a text");
    }
    return ZELK_OK;
  });
}

zelk_status zelk_screen_element_number(zelk_screen* screen, size_t element,
                                       zelk_element_field field, int64_t* number) {
  clear(number);
  return guarded([&, function = __func__] {
    require(number, function, "number");
    auto shot = needScreen(screen, function);
    const Element& e = elementAt(*shot, element, function);
    const auto milli = [](double points) {
      return static_cast<int64_t>(std::llround(points * 1000));
    };
    switch (field) {
      case ZELK_ELEMENT_FIELD_KIND:
        *number = static_cast<int64_t>(e.kind);
        break;
      case ZELK_ELEMENT_FIELD_STYLE:
        *number = static_cast<int64_t>(e.style);
        break;
      case ZELK_ELEMENT_FIELD_WEIGHT:
        *number = static_cast<int64_t>(e.weight);
        break;
      case ZELK_ELEMENT_FIELD_ALIGNMENT:
        *number = static_cast<int64_t>(e.alignment);
        break;
      case ZELK_ELEMENT_FIELD_ENABLED:
        *number = e.enabled;
        break;
      case ZELK_ELEMENT_FIELD_SELECTED:
        *number = e.selected;
        break;
      case ZELK_ELEMENT_FIELD_FULL_WIDTH:
        *number = e.fullWidth;
        break;
      case ZELK_ELEMENT_FIELD_CORNER_RADIUS_MILLI:
        *number = milli(e.cornerRadius);
        break;
      case ZELK_ELEMENT_FIELD_SIZE_MILLI:
        *number = milli(e.size);
        break;
      default:
        raise(ZELK_ERROR_INVALID_ARGUMENT,
              "zelk_screen_element_number: field " + std::to_string(field) + " is not a number");
    }
    return ZELK_OK;
  });
}

zelk_status zelk_screen_element_paint(zelk_screen* screen, size_t element, zelk_paint_slot slot,
                                      bool* present, zelk_paint_role* role, uint32_t* argb,
                                      double* opacity) {
  clear(present);
  clear(role);
  clear(argb);
  clear(opacity);
  return guarded([&, function = __func__] {
    require(present, function, "present");
    auto shot = needScreen(screen, function);
    const Element& e = elementAt(*shot, element, function);
    std::optional<Paint> paint;
    switch (slot) {
      case ZELK_SLOT_FOREGROUND:
        paint = e.foreground;
        break;
      case ZELK_SLOT_BACKGROUND:
        paint = e.background;
        break;
      default:
        raise(ZELK_ERROR_INVALID_ARGUMENT, "zelk_screen_element_paint: unknown slot");
    }
    *present = paint.has_value();
    if (paint) {
      if (role != nullptr) *role = static_cast<zelk_paint_role>(paint->role);
      if (argb != nullptr) *argb = paint->color.toARGB8();
      if (opacity != nullptr) *opacity = paint->opacity;
    }
    return ZELK_OK;
  });
}

zelk_status zelk_screen_perform(zelk_screen* screen, const char* action, size_t action_length,
                                bool* performed) {
  clear(performed);
  return guarded([&, function = __func__] {
    auto shot = needScreen(screen, function);
    const auto name = readText(action, action_length, function, "action");
    auto live = liveScreen(*shot, function, shot->kind, true);
    const bool ran = live->perform(*name);
    if (performed != nullptr) *performed = ran;
    return ZELK_OK;
  });
}

zelk_status zelk_screen_toggle_device(zelk_screen* screen, const char* device_id,
                                      size_t device_id_length, bool* performed) {
  clear(performed);
  return guarded([&, function = __func__] {
    auto shot = needScreen(screen, function);
    const auto id = readText(device_id, device_id_length, function, "device_id");
    auto live = liveScreen(*shot, function, ZELK_SCREEN_DEVICE_LIMITER, false);
    const bool ran = live->perform("toggle:" + std::string(*id));
    if (performed != nullptr) *performed = ran;
    return ZELK_OK;
  });
}

zelk_status zelk_screen_type_code(zelk_screen* screen, const char* text, size_t text_length,
                                  size_t* taken) {
  clear(taken);
  return guarded([&, function = __func__] {
    auto shot = needScreen(screen, function);
    const auto typed = readText(text, text_length, function, "text");
    auto live = liveScreen(*shot, function, ZELK_SCREEN_VERIFICATION_CODE, false);
    const std::size_t count = static_cast<VerificationCodeView&>(*live).input().typeText(*typed);
    if (taken != nullptr) *taken = count;
    return ZELK_OK;
  });
}

zelk_status zelk_screen_delete_code_character(zelk_screen* screen, bool* deleted) {
  clear(deleted);
  return guarded([&, function = __func__] {
    auto shot = needScreen(screen, function);
    auto live = liveScreen(*shot, function, ZELK_SCREEN_VERIFICATION_CODE, false);
    OTPInput& input = static_cast<VerificationCodeView&>(*live).input();
    const int focus = input.currentFocus();
    bool done = false;
    if (focus >= 0 && static_cast<std::size_t>(focus) < OTPInput::kBoxCount) {
      OTPField& box = input.field(static_cast<std::size_t>(focus));
      if (!box.text().empty()) {
        // The edit a native field asks for when its delete key is pressed.
        SilentField field;
        box.attach(field);
        const std::string current = box.text();
        done = box.coordinator()->shouldChangeCharacters(current, 1, "");
        input.update();
        box.detach();
      }
    }
    if (deleted != nullptr) *deleted = done;
    return ZELK_OK;
  });
}

zelk_status zelk_screen_tap_code_box(zelk_screen* screen, size_t index) {
  return guarded([&, function = __func__] {
    auto shot = needScreen(screen, function);
    auto live = liveScreen(*shot, function, ZELK_SCREEN_VERIFICATION_CODE, false);
    if (index >= OTPInput::kBoxCount) {
      raise(ZELK_ERROR_OUT_OF_RANGE, "zelk_screen_tap_code_box: there are six boxes, 0 to 5");
    }
    static_cast<VerificationCodeView&>(*live).input().tap(index);
    return ZELK_OK;
  });
}

}  // extern "C"
