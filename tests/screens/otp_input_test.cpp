// SPDX-License-Identifier: Apache-2.0
#include <zelk/otp_input.hpp>

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelk {
namespace {

using Texts = std::vector<std::string>;

// A native field that keeps its text and counts how often it was given the keyboard.
struct FakeField : NativeTextField {
  void setText(std::string value) override {
    text = std::move(value);
    ++setTextCalls;
  }
  void becomeFirstResponder() override { ++focusGrants; }

  std::string text;
  int setTextCalls = 0;
  int focusGrants = 0;
};

// An input on a code screen: focus on the first box, every box shown by a fake native field,
// every reported code recorded.
class OTPInputTest : public ::testing::Test {
 protected:
  OTPInputTest() : input(0, [this](const std::string& code) { reported.push_back(code); }) {
    for (std::size_t i = 0; i < OTPInput::kBoxCount; ++i) input.field(i).attach(fields[i]);
  }

  // Runs one edit of box `index` the way the native field does: asks the coordinator, applies
  // an accepted edit to its own text, then the UI layer updates the fields.
  bool edit(std::size_t index, std::size_t rangeLength, const std::string& replacement) {
    FakeField& field = fields[index];
    const bool accepted = input.field(index).coordinator()->shouldChangeCharacters(
        field.text, rangeLength, replacement);
    if (accepted) field.text.replace(0, rangeLength, replacement);
    input.update();
    return accepted;
  }
  bool type(std::size_t index, const std::string& character) { return edit(index, 0, character); }
  bool erase(std::size_t index) { return edit(index, utf8CharacterCount(fields[index].text), ""); }

  // Types 1 to 6 into the row, leaving nothing reported or printed behind.
  void fillRow() {
    testing::internal::CaptureStdout();
    for (std::size_t i = 0; i < OTPInput::kBoxCount; ++i) type(i, std::to_string(i + 1));
    testing::internal::GetCapturedStdout();
    reported.clear();
  }

  std::array<FakeField, OTPInput::kBoxCount> fields;
  std::vector<std::string> reported;
  OTPInput input;
};

TEST(OTPTextTest, CountsOneCodePointAsOneCharacter) {
  EXPECT_EQ(utf8CharacterCount(""), 0u);
  EXPECT_EQ(utf8CharacterCount("123"), 3u);
  EXPECT_EQ(utf8CharacterCount("\xC3\xA9"), 1u);           // é
  EXPECT_EQ(utf8CharacterCount("\xF0\x9F\x94\x91x"), 2u);  // a four-byte symbol, then x
  EXPECT_EQ(utf8CharacterCount("\x80\x80\x80\x80\x80"), 2u);
  EXPECT_EQ(utf8FirstCharacter(""), "");
  EXPECT_EQ(utf8FirstCharacter("42"), "4");
  EXPECT_EQ(utf8FirstCharacter("\xC3\xA9z"), "\xC3\xA9");
}

TEST(OTPAcceptanceTest, EmptyBoxTakesAtMostOneCharacter) {
  EXPECT_TRUE(otpEditAccepted("", 0, "7"));
  EXPECT_TRUE(otpEditAccepted("", 0, "a"));  // the keypad limits typing to digits, not the rule
  EXPECT_TRUE(otpEditAccepted("", 0, "\xC3\xA9"));
  EXPECT_TRUE(otpEditAccepted("", 0, ""));
  EXPECT_FALSE(otpEditAccepted("", 0, "12"));
  EXPECT_FALSE(otpEditAccepted("", 0, "123456"));
}

TEST(OTPAcceptanceTest, FullBoxAcceptsOnlyDeletionAndWholeReplacement) {
  EXPECT_FALSE(otpEditAccepted("5", 0, "7"));  // typed before or after the character
  EXPECT_TRUE(otpEditAccepted("5", 1, ""));
  EXPECT_TRUE(otpEditAccepted("5", 1, "7"));
  EXPECT_FALSE(otpEditAccepted("5", 1, "78"));
  EXPECT_FALSE(otpEditAccepted("5", 0, "123456"));
  EXPECT_TRUE(otpEditAccepted("\xC3\xA9", 1, "8"));  // a two-byte character is one character
}

TEST(OTPAcceptanceTest, ContentNotWhollyReplacedOrUnknownAllowsOnlyDeletion) {
  EXPECT_TRUE(otpEditAccepted("56", 1, ""));
  EXPECT_FALSE(otpEditAccepted("56", 1, "7"));
  EXPECT_TRUE(otpEditAccepted(std::nullopt, 0, ""));
  EXPECT_FALSE(otpEditAccepted(std::nullopt, 0, "7"));
  EXPECT_FALSE(otpEditAccepted(std::nullopt, 1, "7"));
}

TEST(OTPCoordinatorTest, AcceptedEditWritesFirstCharacterThenReportsReplacement) {
  std::vector<std::string> events;
  OTPField::Coordinator coordinator([&](std::string text) { events.push_back("text=" + text); },
                                    [&](const std::string& r) { events.push_back("change=" + r); });

  EXPECT_TRUE(coordinator.shouldChangeCharacters("", 0, "\xC3\xA9"));
  EXPECT_TRUE(coordinator.shouldChangeCharacters("\xC3\xA9", 1, ""));
  EXPECT_EQ(events, Texts({"text=\xC3\xA9", "change=\xC3\xA9", "text=", "change="}));
}

TEST(OTPCoordinatorTest, RefusedEditChangesNothing) {
  int calls = 0;
  OTPField::Coordinator coordinator([&](std::string) { ++calls; },
                                    [&](const std::string&) { ++calls; });

  EXPECT_FALSE(coordinator.shouldChangeCharacters("", 0, "123456"));
  EXPECT_FALSE(coordinator.shouldChangeCharacters("1", 0, "2"));
  EXPECT_EQ(calls, 0);
}

TEST(OTPCoordinatorTest, GivesTheKeyboardAtMostOnceAndAlwaysShowsText) {
  OTPField::Coordinator coordinator({}, {});
  FakeField field;

  coordinator.update(field, "1", false);
  EXPECT_EQ(field.focusGrants, 0);
  EXPECT_FALSE(coordinator.didBecomeFirstResponder());

  coordinator.update(field, "2", true);
  coordinator.update(field, "3", true);
  coordinator.update(field, "", false);
  coordinator.update(field, "4", true);
  EXPECT_EQ(field.focusGrants, 1);
  EXPECT_TRUE(coordinator.didBecomeFirstResponder());
  EXPECT_EQ(field.text, "4");
  EXPECT_EQ(field.setTextCalls, 5);
}

TEST_F(OTPInputTest, StartsEmptyWithKeyboardInInitialBox) {
  EXPECT_EQ(input.currentFocus(), 0);
  EXPECT_EQ(input.code(), "");
  EXPECT_TRUE(input.field(0).isFirstResponder());
  EXPECT_FALSE(input.field(1).isFirstResponder());
  EXPECT_EQ(fields[0].focusGrants, 1);
  EXPECT_EQ(fields[1].focusGrants, 0);
  for (const auto& field : fields) EXPECT_EQ(field.keyboardType, NativeTextField::kNumberPad);
}

TEST_F(OTPInputTest, TypingSixDigitsReportsGrowingCodeAndStopsOnLastBox) {
  testing::internal::CaptureStdout();
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_TRUE(type(input.currentFocus(), std::to_string(i + 1)));
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "change: 1\nchange: 1\nchange: 1\nchange: 1\nchange: 1\nchange: 0\n");

  EXPECT_EQ(reported, Texts({"1", "12", "123", "1234", "12345", "123456"}));
  EXPECT_EQ(input.currentFocus(), 5);
  EXPECT_TRUE(input.field(5).isFirstResponder());
  EXPECT_EQ(input.field(3).text(), "4");
  EXPECT_EQ(input.digits(),
            (std::array<std::string, OTPInput::kBoxCount>{"1", "2", "3", "4", "5", "6"}));
  for (const auto& field : fields) EXPECT_EQ(field.focusGrants, 1);
}

TEST_F(OTPInputTest, SeventhDigitIntoFullLastBoxIsRefused) {
  fillRow();

  testing::internal::CaptureStdout();
  EXPECT_FALSE(type(5, "7"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  EXPECT_TRUE(reported.empty());
  EXPECT_EQ(input.code(), "123456");
  EXPECT_EQ(fields[5].text, "6");
  EXPECT_EQ(input.currentFocus(), 5);
}

TEST_F(OTPInputTest, DeletingMiddleBoxJoinsRestAndFocusesLeftWithoutMovingKeyboard) {
  fillRow();

  testing::internal::CaptureStdout();
  EXPECT_TRUE(erase(3));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "change: -1\n");

  EXPECT_EQ(reported, Texts({"12356"}));
  EXPECT_EQ(input.currentFocus(), 2);
  EXPECT_EQ(input.field(3).text(), "");
  EXPECT_EQ(fields[3].text, "");
  // Box 2 already had the keyboard while it was typed into: it is not given it again.
  EXPECT_EQ(fields[2].focusGrants, 1);
}

TEST_F(OTPInputTest, DeletingFirstBoxKeepsFocusThere) {
  testing::internal::CaptureStdout();
  type(0, "1");
  testing::internal::GetCapturedStdout();
  input.tap(0);
  reported.clear();

  testing::internal::CaptureStdout();
  EXPECT_TRUE(erase(0));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "change: 0\n");
  EXPECT_EQ(reported, Texts({""}));
  EXPECT_EQ(input.currentFocus(), 0);
}

TEST_F(OTPInputTest, PastedCodeIsRefusedAndNothingReported) {
  int changes = 0;
  input.changed = [&] { ++changes; };

  testing::internal::CaptureStdout();
  EXPECT_FALSE(type(0, "123456"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  EXPECT_TRUE(reported.empty());
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(input.field(0).text(), "");
  EXPECT_EQ(fields[0].text, "");
  EXPECT_EQ(input.currentFocus(), 0);
}

TEST_F(OTPInputTest, TappingBoxFourThenTypingReportsThatDigit) {
  input.tap(4);
  EXPECT_EQ(input.currentFocus(), 4);
  EXPECT_TRUE(input.field(4).isFirstResponder());

  testing::internal::CaptureStdout();
  EXPECT_TRUE(type(4, "8"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "change: 1\n");

  EXPECT_EQ(reported, Texts({"8"}));
  EXPECT_EQ(input.currentFocus(), 5);
}

TEST_F(OTPInputTest, SelectedCharacterReplacedBySingleCharacterIsAccepted) {
  fillRow();

  testing::internal::CaptureStdout();
  EXPECT_TRUE(edit(2, 1, "9"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "change: 1\n");

  EXPECT_EQ(reported, Texts({"129456"}));
  EXPECT_EQ(input.field(2).text(), "9");
  EXPECT_EQ(fields[2].text, "9");
  EXPECT_EQ(input.currentFocus(), 3);
}

TEST_F(OTPInputTest, NotifiesObserverAfterEachChange) {
  std::vector<int> focusSeen;
  input.changed = [&] { focusSeen.push_back(input.currentFocus()); };

  testing::internal::CaptureStdout();
  type(0, "1");
  input.tap(3);
  erase(0);
  testing::internal::GetCapturedStdout();

  EXPECT_EQ(focusSeen, std::vector<int>({1, 3, 0}));
}

TEST_F(OTPInputTest, UpdateShowsBoxTextInNativeField) {
  testing::internal::CaptureStdout();
  type(0, "1");
  testing::internal::GetCapturedStdout();
  fields[0].text = "stale";

  input.update();
  EXPECT_EQ(fields[0].text, "1");
  EXPECT_EQ(fields[1].text, "");
}

TEST_F(OTPInputTest, ReattachedFieldGetsFreshCoordinator) {
  FakeField replacement;
  input.field(0).attach(replacement);
  EXPECT_EQ(replacement.focusGrants, 1);
  EXPECT_EQ(fields[0].focusGrants, 1);

  input.field(1).detach();
  EXPECT_EQ(input.field(1).coordinator(), nullptr);
  input.tap(1);
  input.update();
  EXPECT_EQ(fields[1].focusGrants, 0);
}

TEST(OTPInputBareTest, WorksWithoutCallbacksOrNativeFields) {
  OTPInput input(2);
  EXPECT_TRUE(input.field(2).isFirstResponder());
  EXPECT_EQ(input.field(0).coordinator(), nullptr);
  input.tap(6);
  EXPECT_EQ(input.currentFocus(), 2);
  EXPECT_THROW(input.field(6), std::out_of_range);
  input.update();  // no native fields attached: nothing to do, nothing to crash
}

TEST(OTPInputBareTest, TypedTextFillsTheBoxesUnderTheSameRule) {
  std::vector<std::string> reported;
  OTPInput input(0, [&](const std::string& code) { reported.push_back(code); });
  testing::internal::CaptureStdout();
  EXPECT_EQ(input.typeText("12é"), 3u);
  EXPECT_EQ(input.typeText("4567"), 3u);  // the seventh finds the last box full
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "change: 1\nchange: 1\nchange: 1\nchange: 1\nchange: 1\nchange: 0\n");
  EXPECT_EQ(reported.back(), "12é456");
  EXPECT_EQ(reported.size(), 6u);
  EXPECT_EQ(input.field(2).text(), "é");
  EXPECT_EQ(input.currentFocus(), 5);

  OTPInput outside(9);
  EXPECT_EQ(outside.typeText("1"), 0u);  // no box has the focus
}

}  // namespace
}  // namespace zelk
