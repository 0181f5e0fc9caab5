// SPDX-License-Identifier: Apache-2.0
#include <zelk/otp_input.hpp>

#include <iostream>
#include <utility>

namespace zelk {

namespace {

bool isContinuationByte(char byte) {
  return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// The byte length of the character starting at `text[start]`.
std::size_t characterLength(std::string_view text, std::size_t start) {
  std::size_t end = start + 1;
  while (end < text.size() && end - start < 4 && isContinuationByte(text[end])) ++end;
  return end - start;
}

}  // namespace

std::size_t utf8CharacterCount(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t at = 0; at < text.size(); at += characterLength(text, at)) ++count;
  return count;
}

std::string utf8FirstCharacter(std::string_view text) {
  if (text.empty()) return {};
  return std::string(text.substr(0, characterLength(text, 0)));
}

bool otpEditAccepted(const std::optional<std::string_view>& currentText, std::size_t rangeLength,
                     std::string_view replacement) {
  const std::size_t replacementCount = utf8CharacterCount(replacement);
  bool accepted = replacement.empty();
  if (currentText && currentText->empty()) accepted = replacementCount <= 1;
  if (currentText && utf8CharacterCount(*currentText) == rangeLength) {
    return replacementCount == 1 || accepted;
  }
  return accepted;
}

OTPField::Coordinator::Coordinator(TextBinding text, OnChange onChange)
    : text_(std::move(text)), onChange_(std::move(onChange)) {}

bool OTPField::Coordinator::shouldChangeCharacters(
    const std::optional<std::string_view>& currentText, std::size_t rangeLength,
    std::string_view replacement) {
  if (!otpEditAccepted(currentText, rangeLength, replacement)) return false;
  if (text_) text_(utf8FirstCharacter(replacement));
  if (onChange_) onChange_(std::string(replacement));
  return true;
}

void OTPField::Coordinator::update(NativeTextField& field, const std::string& text,
                                   bool isFirstResponder) {
  field.setText(text);
  if (isFirstResponder && !didBecomeFirstResponder_) {
    field.becomeFirstResponder();
    didBecomeFirstResponder_ = true;
  }
}

bool OTPField::isFirstResponder() const {
  return input_.currentFocus() >= 0 && static_cast<std::size_t>(input_.currentFocus()) == index_;
}

void OTPField::attach(NativeTextField& field) {
  native_ = &field;
  coordinator_ = std::make_unique<Coordinator>(
      [this](std::string text) { text_ = std::move(text); },
      [this](const std::string& value) { input_.boxChanged(index_, value); });
  field.keyboardType = NativeTextField::kNumberPad;
  update();
}

void OTPField::detach() {
  native_ = nullptr;
  coordinator_.reset();
}

void OTPField::update() {
  if (native_ && coordinator_) coordinator_->update(*native_, text_, isFirstResponder());
}

OTPInput::OTPInput(int currentFocus, OnChange onChange)
    : currentFocus_(currentFocus), onChange_(std::move(onChange)) {
  for (std::size_t i = 0; i < kBoxCount; ++i) {
    fields_[i] = std::unique_ptr<OTPField>(new OTPField(*this, i));
  }
}

std::string OTPInput::code() const {
  std::string joined;
  for (const auto& digit : digits_) joined += digit;
  return joined;
}

void OTPInput::tap(std::size_t index) {
  if (index >= kBoxCount) return;
  currentFocus_ = static_cast<int>(index);
  notifyChanged();
}

void OTPInput::update() {
  for (auto& field : fields_) field->update();
}

std::size_t OTPInput::typeText(std::string_view text) {
  std::size_t taken = 0;
  for (std::size_t at = 0; at < text.size(); ++taken) {
    const std::string character = utf8FirstCharacter(text.substr(at));
    at += character.size();
    if (currentFocus_ < 0 || currentFocus_ >= static_cast<int>(kBoxCount)) break;
    OTPField& box = *fields_[static_cast<std::size_t>(currentFocus_)];
    if (!otpEditAccepted(box.text_, 0, character)) break;
    box.text_ = character;
    boxChanged(box.index_, character);
    update();
  }
  return taken;
}

void OTPInput::boxChanged(std::size_t index, const std::string& value) {
  digits_[index] = value;
  if (onChange_) onChange_(code());
  int step = 0;
  if (value.empty()) {
    step = index > 0 ? -1 : 0;
  } else {
    step = index < kBoxCount - 1 ? 1 : 0;
  }
  std::cout << "change: " << step << std::endl;
  currentFocus_ = static_cast<int>(index) + step;
  notifyChanged();
}

void OTPInput::notifyChanged() {
  if (changed) changed();
}

}  // namespace zelk
