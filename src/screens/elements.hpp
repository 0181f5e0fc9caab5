// SPDX-License-Identifier: Apache-2.0
// Builders for the elements the challenge screens are made of.
#pragma once

#include <zelk/screen.hpp>

#include <optional>
#include <string>
#include <utility>

namespace zelk::screens {

inline Element text(std::string content, TextStyle style = TextStyle::body,
                    FontWeight weight = FontWeight::regular,
                    std::optional<Paint> foreground = std::nullopt) {
  Element element;
  element.kind = ElementKind::text;
  element.text = std::move(content);
  element.style = style;
  element.weight = weight;
  element.foreground = std::move(foreground);
  return element;
}

inline Element titleText(std::string content) {
  return text(std::move(content), TextStyle::title, FontWeight::bold);
}

inline Element secondaryText(std::string content) {
  return text(std::move(content), TextStyle::body, FontWeight::regular,
              Paint::of(Paint::Role::secondary));
}

inline Element plain(ElementKind kind) {
  Element element;
  element.kind = kind;
  return element;
}

// A full-width button with a bold white label on `fill`, corners of radius 8.
inline Element filledButton(std::string label, Paint fill, std::string action, bool enabled) {
  Element element =
      text(std::move(label), TextStyle::body, FontWeight::bold, Paint::of(Paint::Role::white));
  element.kind = ElementKind::button;
  element.background = fill;
  element.cornerRadius = 8;
  element.fullWidth = true;
  element.enabled = enabled;
  element.action = std::move(action);
  return element;
}

// A button (or link) showing only a progress indicator in place of its label.
inline Element busyButton(ElementKind kind, std::string action, bool enabled) {
  Element element = plain(kind);
  element.children.push_back(plain(ElementKind::progress));
  element.cornerRadius = 8;
  element.fullWidth = true;
  element.enabled = enabled;
  element.action = std::move(action);
  return element;
}

}  // namespace zelk::screens
