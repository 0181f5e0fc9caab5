#include <zelk/screen.hpp>

#include <zelk/run_loop.hpp>

#include "client/zelk_impl.hpp"

#include <cmath>

namespace zelk {

namespace {

std::string_view kindName(ElementKind kind) {
  switch (kind) {
    case ElementKind::logo:
      return "logo";
    case ElementKind::text:
      return "text";
    case ElementKind::button:
      return "button";
    case ElementKind::link:
      return "link";
    case ElementKind::progress:
      return "progress";
    case ElementKind::spacer:
      return "spacer";
    case ElementKind::divider:
      return "divider";
    case ElementKind::image:
      return "image";
    case ElementKind::badge:
      return "badge";
    case ElementKind::row:
      return "row";
    case ElementKind::column:
      return "column";
    case ElementKind::list:
      return "list";
    case ElementKind::codeInput:
      return "code input";
  }
  return "element";
}

std::string_view styleName(TextStyle style) {
  switch (style) {
    case TextStyle::body:
      return "";
    case TextStyle::title:
      return "title";
    case TextStyle::subheadline:
      return "subheadline";
    case TextStyle::caption:
      return "caption";
    case TextStyle::footnote:
      return "footnote";
  }
  return "";
}

std::string_view weightName(FontWeight weight) {
  switch (weight) {
    case FontWeight::regular:
      return "";
    case FontWeight::medium:
      return "medium";
    case FontWeight::bold:
      return "bold";
  }
  return "";
}

// The one-line description of `element` and, for a row, its children.
void describe(const Element& element, std::string& out) {
  out += kindName(element.kind);
  for (std::string_view word : {styleName(element.style), weightName(element.weight)}) {
    if (!word.empty()) out.append(" ").append(word);
  }
  if (element.selected) out += " selected";
  if (!element.enabled) out += " disabled";
  if (element.foreground) out += " in " + element.foreground->description();
  if (element.background) out += " on " + element.background->description();
  if (!element.url.empty()) out += " " + element.url;
  if (!element.image.empty()) out += " [" + element.image + "]";
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

std::string Paint::description() const {
  std::string text;
  switch (role) {
    case Role::primary:
      text = "primary";
      break;
    case Role::secondary:
      text = "secondary";
      break;
    case Role::white:
      text = "white";
      break;
    case Role::red:
      text = "red";
      break;
    case Role::blue:
      text = "blue";
      break;
    case Role::fill:
      text = "fill";
      break;
    case Role::background:
      text = "background";
      break;
    case Role::exact:
      text = color.toHexARGB();
      break;
  }
  if (opacity != 1)
    text += " " + std::to_string(static_cast<int>(std::lround(opacity * 100))) + "%";
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
      mainQueue_(zelk ? ZelkInternals::of(*zelk).mainQueue : RunLoop::main()) {}

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
