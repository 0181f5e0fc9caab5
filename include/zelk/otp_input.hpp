// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/export.hpp>

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace zelk {

// Text handling for the code boxes. A "character" is one UTF-8 code point: a lead byte and the
// continuation bytes (10xxxxxx) that follow it, at most three. A stray continuation byte counts
// as a character of its own, so malformed input never makes a count smaller than it looks.

/// The number of characters in `text`.
ZELK_EXPORT std::size_t utf8CharacterCount(std::string_view text);

/// The first character of `text`, or an empty text when `text` is empty.
ZELK_EXPORT std::string utf8FirstCharacter(std::string_view text);

/// Whether a code box accepts an edit. `currentText` is the box's content as the native field
/// reports it (absent when the field has none to report), `rangeLength` the number of
/// characters the edit replaces (where they are does not matter) and `replacement` the text
/// that replaces them. An empty box takes at most one character; a full box accepts the
/// deletion of its character and a single character replacing its whole content; everything
/// else, a multi-character paste included, is refused.
ZELK_EXPORT bool otpEditAccepted(const std::optional<std::string_view>& currentText,
                                 std::size_t rangeLength, std::string_view replacement);

/// The platform's single-line text field behind one code box, implemented by the UI layer.
struct ZELK_EXPORT NativeTextField {
  /// The keyboard type value of the numeric keypad.
  static constexpr int kNumberPad = 4;

  virtual ~NativeTextField() = default;
  /// Shows `text` as the field's whole content.
  virtual void setText(std::string text) = 0;
  /// Moves the keyboard focus to this field.
  virtual void becomeFirstResponder() = 0;

  /// The keyboard the field asks for; code boxes set it to `kNumberPad`.
  int keyboardType = 0;
};

class OTPInput;

/// One box of the code input: its text (at most one character) and whether the row wants the
/// keyboard in it. Owned by its `OTPInput`, which it must not outlive.
class ZELK_EXPORT OTPField {
 public:
  /// Decides which edits of one native field are accepted, and when that field takes the
  /// keyboard focus. One per native field, created with it.
  class Coordinator {
   public:
    /// Writes the box's text.
    using TextBinding = std::function<void(std::string)>;
    /// Receives the replacement text of every accepted edit.
    using OnChange = std::function<void(const std::string&)>;

    /// A coordinator that writes accepted text through `text` and reports it to `onChange`.
    Coordinator(TextBinding text, OnChange onChange);

    /// The native field's edit filter. When `otpEditAccepted` allows the edit, writes the first
    /// character of `replacement` (empty for a deletion) to the box's text, passes
    /// `replacement` to the change callback and returns true: the native field then applies
    /// the edit itself. Otherwise changes nothing and returns false.
    bool shouldChangeCharacters(const std::optional<std::string_view>& currentText,
                                std::size_t rangeLength, std::string_view replacement);

    /// Brings `field` up to date with the box: shows `text`, then, if `isFirstResponder` and
    /// this coordinator has never done so, gives `field` the keyboard focus. A field is
    /// therefore handed the keyboard at most once; afterwards only the user's tap moves it
    /// there.
    void update(NativeTextField& field, const std::string& text, bool isFirstResponder);

    /// Whether `update` has given the field the keyboard focus.
    bool didBecomeFirstResponder() const { return didBecomeFirstResponder_; }

   private:
    TextBinding text_;
    OnChange onChange_;
    bool didBecomeFirstResponder_ = false;
  };

  OTPField(const OTPField&) = delete;
  OTPField& operator=(const OTPField&) = delete;

  /// The box's place in the row, from 0.
  std::size_t index() const { return index_; }
  /// The box's text: one character, or empty.
  const std::string& text() const { return text_; }
  /// True when this box is the row's `currentFocus`.
  bool isFirstResponder() const;

  /// Binds the native field that shows this box, replacing any earlier one along with its
  /// coordinator: sets its keyboard to the numeric keypad and updates it (see `update`). The
  /// field must stay alive until `detach` or the input's destruction.
  void attach(NativeTextField& field);
  /// Unbinds the native field, if any, and drops its coordinator.
  void detach();

  /// The coordinator of the attached native field; null when none is attached. The native
  /// field routes its edits through `Coordinator::shouldChangeCharacters`.
  Coordinator* coordinator() { return coordinator_.get(); }
  /// The coordinator of the attached native field; null when none is attached.
  const Coordinator* coordinator() const { return coordinator_.get(); }

  /// Brings the attached native field, if any, up to date with this box's text and focus.
  void update();

 private:
  friend class OTPInput;
  OTPField(OTPInput& input, std::size_t index) : input_(input), index_(index) {}

  OTPInput& input_;
  std::size_t index_;
  std::string text_;
  NativeTextField* native_ = nullptr;
  std::unique_ptr<Coordinator> coordinator_;
};

/// The row of six code boxes. Tracks which box should hold the keyboard, moves it as the user
/// types and deletes, and reports the whole code after every accepted edit.
///
/// The UI layer shows `field(i)` for every box, calls `tap` when the user taps one, and, after
/// `changed` fires and any native edit has been applied, calls `update` to bring the native
/// fields in line (an update during an edit would show the edit twice).
///
/// Threads: main thread only.
class ZELK_EXPORT OTPInput {
 public:
  static constexpr std::size_t kBoxCount = 6;  ///< The number of boxes, one per code character.
  /// Receives the six boxes' texts joined in order, without separators.
  using OnChange = std::function<void(const std::string& code)>;

  /// A row of empty boxes with the keyboard meant for box `currentFocus`, reporting the code to
  /// `onChange`.
  explicit OTPInput(int currentFocus = 0, OnChange onChange = {});
  OTPInput(const OTPInput&) = delete;
  OTPInput& operator=(const OTPInput&) = delete;

  /// The index of the box that should hold the keyboard.
  int currentFocus() const { return currentFocus_; }
  /// Each box's text as last reported by its change handler.
  const std::array<std::string, kBoxCount>& digits() const { return digits_; }
  /// `digits` joined in order.
  std::string code() const;

  /// Box `index`; throws `std::out_of_range` past the last box.
  OTPField& field(std::size_t index) { return *fields_.at(index); }
  /// Box `index`; throws `std::out_of_range` past the last box.
  const OTPField& field(std::size_t index) const { return *fields_.at(index); }

  /// The user tapped box `index`: it becomes the `currentFocus`. Ignored past the last box.
  void tap(std::size_t index);

  /// Brings every attached native field up to date with its box (see `OTPField::update`).
  void update();

  /// Types `text` one character at a time into the box that has the focus, each edit going
  /// through the same acceptance rule as a native field's, for hosts without native fields
  /// (terminals, scripts). Stops at the first refused character; returns how many were taken.
  std::size_t typeText(std::string_view text);

  /// Called after every change of a box's text, the digits or the focus.
  std::function<void()> changed;

 private:
  friend class OTPField;
  // The per-box change handler: stores `value`, reports the code, prints the focus step and
  // moves the focus by it.
  void boxChanged(std::size_t index, const std::string& value);
  void notifyChanged();

  int currentFocus_;
  OnChange onChange_;
  std::array<std::string, kBoxCount> digits_;
  std::array<std::unique_ptr<OTPField>, kBoxCount> fields_;
};

}  // namespace zelk
