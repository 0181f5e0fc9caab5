// SPDX-License-Identifier: Apache-2.0
#include <zelk/screen.hpp>

#include <zelk/client.hpp>
#include <zelk/run_loop.hpp>

#include "client/service_client.hpp"

#include <array>
#include <cmath>

namespace zelk {

namespace {

// The name of `value` in `names`, which lists the enumeration's values in order.
template <typename Enum, std::size_t N>
std::string_view lookup(const std::array<std::string_view, N>& names, Enum value) {
  const auto index = static_cast<std::size_t>(value);
  return index < N ? names[index] : std::string_view("?");
}

// The one-line description of `element` and, for a row, its children.
void describe(const Element& element, std::string& out) {
  out += name(element.kind);
  if (element.style != TextStyle::body) out.append(" ").append(name(element.style));
  if (element.weight != FontWeight::regular) out.append(" ").append(name(element.weight));
  if (element.selected) out += " selected";
  if (!element.enabled) out += " disabled";
  if (element.foreground) out += " in " + element.foreground->description();
  if (element.background) out += " on " + element.background->description();
  if (!element.url.empty()) out += " " + element.url;
  if (!element.image.empty()) out += " [" + element.image + "]";
  if (!element.placeholder.empty()) out += " \"" + element.placeholder + "\"";
  if (!element.text.empty()) out += ": " + element.text;
  if (!element.action.empty()) out += " -> " + element.action;
  if (!element.destination.empty()) out += " (" + element.destination + ")";
  if (element.kind != ElementKind::list && !element.children.empty()) {
    out += " {";
    bool first = true;
    for (const Element& child : element.children) {
      out += first ? " " : " | ";
      first = false;
      describe(child, out);
    }
    out += " }";
  }
}

// Whether an element shown in `elements` carries `action` and is enabled along with its parents.
bool enabledAction(const std::vector<Element>& elements, std::string_view action) {
  for (const Element& element : elements) {
    if (!element.enabled) continue;
    if (element.action == action || enabledAction(element.children, action)) return true;
  }
  return false;
}

}  // namespace

std::string_view name(ElementKind kind) {
  static constexpr std::array<std::string_view, 14> names = {
      "logo",  "text",  "button", "link",   "progress", "spacer",    "divider",
      "image", "badge", "row",    "column", "list",     "codeInput", "textField"};
  return lookup(names, kind);
}

std::string_view name(TextStyle style) {
  static constexpr std::array<std::string_view, 5> names = {"body", "title", "subheadline",
                                                            "caption", "footnote"};
  return lookup(names, style);
}

std::string_view name(FontWeight weight) {
  static constexpr std::array<std::string_view, 3> names = {"regular", "medium", "bold"};
  return lookup(names, weight);
}

std::string_view name(Alignment alignment) {
  static constexpr std::array<std::string_view, 3> names = {"center", "leading", "trailing"};
  return lookup(names, alignment);
}

std::string_view name(Paint::Role role) {
  static constexpr std::array<std::string_view, 8> names = {
      "primary", "secondary", "white", "red", "blue", "fill", "background", "exact"};
  return lookup(names, role);
}

std::string Paint::description() const {
  std::string text = role == Role::exact ? color.toHexARGB() : std::string(name(role));
  if (opacity != 1) {
    // Appended piece by piece: GCC 12 at -O3 misreads `" " + std::string` as an overlapping copy.
    text += ' ';
    text += std::to_string(static_cast<int>(std::lround(opacity * 100)));
    text += '%';
  }
  return text;
}

std::string Element::plainText() const {
  std::string out;
  describe(*this, out);
  if (kind == ElementKind::list) {
    for (const Element& child : children) out += "\n  " + child.plainText();
  }
  return out;
}

std::string plainText(const std::vector<Element>& elements) {
  std::string out;
  for (const Element& element : elements) out += element.plainText() + "\n";
  return out;
}

ChallengeScreen::ChallengeScreen(std::shared_ptr<ChallengeViewModel> viewModel,
                                 std::shared_ptr<Zelk> zelk)
    : viewModel_(std::move(viewModel)),
      zelk_(zelk),
      mainQueue_(zelk ? detail::screenClient(*zelk).mainThread() : RunLoop::main()) {}

ChallengeScreen::~ChallengeScreen() {
  if (viewModelToken_ != 0) viewModel_->unsubscribe(viewModelToken_);
}

void ChallengeScreen::observeViewModel() {
  viewModelToken_ = viewModel_->subscribe([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->changed();
  });
}

bool ChallengeScreen::perform(std::string_view action) {
  if (action.empty() || !enabledAction(elements(), action)) return false;
  const auto keep = weak_from_this().lock();  // an action may close the whole challenge
  run(action);
  return true;
}

ChallengeScreen::Token ChallengeScreen::subscribe(Observer observer) {
  return observers_.add(std::move(observer));
}

void ChallengeScreen::unsubscribe(Token token) {
  observers_.remove(token);
}

void ChallengeScreen::setDestination(std::shared_ptr<ChallengeScreen> destination) {
  destination_ = std::move(destination);
  changed();
}

void ChallengeScreen::changed() {
  // An observer may drop the last other owner of this screen (a pop); keep it for the call.
  const auto keep = weak_from_this().lock();
  observers_.notify();
}

}  // namespace zelk
