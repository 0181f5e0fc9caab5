// SPDX-License-Identifier: Apache-2.0
#include "screens/resources.hpp"
#include <zelk/color.hpp>
#include <zelk/date.hpp>
#include <zelk/localization.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace zelk::screens {
namespace {

// ---- colorFromHex ---------------------------------------------------------------------------

void expectColor(std::string_view hex, int alpha, int red, int green, int blue) {
  SCOPED_TRACE(std::string("text '") + std::string(hex) + "'");
  const Color color = colorFromHex(hex);
  EXPECT_DOUBLE_EQ(color.opacity, alpha / 255.0);
  EXPECT_DOUBLE_EQ(color.red, red / 255.0);
  EXPECT_DOUBLE_EQ(color.green, green / 255.0);
  EXPECT_DOUBLE_EQ(color.blue, blue / 255.0);
}

TEST(ColorFromHex, ThreeDigitsGiveOpaqueWhite) {
  expectColor("#FFF", 255, 255, 255, 255);
}

TEST(ColorFromHex, SixDigitsGiveOpaqueRed) {
  expectColor("#ff0000", 255, 255, 0, 0);
}

TEST(ColorFromHex, EightDigitsReadAlphaFirst) {
  expectColor("#80FF0000", 128, 255, 0, 0);
  // Alpha last would make this translucent black-ish red; alpha first makes it opaque dark blue.
  expectColor("FF000080", 255, 0, 0, 0x80);
}

TEST(ColorFromHex, EmptyTextGivesOpaqueBlack) {
  expectColor("", 255, 0, 0, 0);
}

TEST(ColorFromHex, FiveCharactersGiveOpaqueBlack) {
  expectColor("12345", 255, 0, 0, 0);
}

TEST(ColorFromHex, NoDigitsGiveOpaqueBlack) {
  expectColor("GGGGGG", 255, 0, 0, 0);
}

TEST(ColorFromHex, SurroundingSpacesAndHashAreTrimmed) {
  expectColor(" #00ff00 ", 255, 0, 255, 0);
}

TEST(ColorFromHex, ThreeDigitsRepeatEachNibble) {
  expectColor("#abc", 255, 0xAA, 0xBB, 0xCC);
  expectColor("123", 255, 0x11, 0x22, 0x33);
}

TEST(ColorFromHex, OtherCountsGiveOpaqueBlack) {
  for (std::string_view text : {"F", "FF", "FFFF", "FFFFFFF", "FFFFFFFFF", "FFFFFFFFFFFF", "#"}) {
    expectColor(text, 255, 0, 0, 0);
  }
}

TEST(ColorFromHex, CountIsOfCharactersNotOfDigitsRead) {
  // "0x" belongs to the text's length but not to the number.
  expectColor("0x123456", 0x00, 0x12, 0x34, 0x56);
  expectColor("0XFFFF", 255, 0x00, 0xFF, 0xFF);
  // Reading stops at the first character that is not a hexadecimal digit.
  expectColor("12G456", 255, 0x00, 0x00, 0x12);
  expectColor("#FFFZZZ", 255, 0x00, 0x0F, 0xFF);
}

TEST(ColorFromHex, CharactersInsideAreKept) {
  // Five characters after trimming: not a colour layout.
  expectColor("#FF FF", 255, 0, 0, 0);
  // Six characters, the number stops at the space.
  expectColor("FF 0000", 255, 0, 0, 0);
  expectColor("F F F", 255, 0, 0, 0);
}

TEST(ColorFromHex, PunctuationAtBothEndsIsTrimmed) {
  expectColor("#FF0000;", 255, 255, 0, 0);
  expectColor("(#0000ff)", 255, 0, 0, 255);
  expectColor("\t\n#fff\r\n", 255, 255, 255, 255);
}

TEST(ColorFromHex, TrimmingFollowsUnicodeLettersAndDigits) {
  // Guillemets, arrows and a no-break space are neither letters nor digits: they go.
  expectColor("\xC2\xAB#FFF\xC2\xBB", 255, 255, 255, 255);
  expectColor(
      "\xE2\x86\x92"
      "00FF00"
      "\xE2\x86\x90",
      255, 0, 255, 0);
  expectColor(
      "\xC2\xA0"
      "0000FF"
      "\xC2\xA0",
      255, 0, 0, 255);
  // A trailing 'é' is a letter: it stays and counts as one character (3 in all).
  expectColor("FF\xC3\xA9", 255, 0x00, 0xFF, 0xFF);
  // An Arabic-Indic digit three is a digit: it stays, making four characters.
  expectColor(
      "\xD9\xA3"
      "FFF",
      255, 0, 0, 0);
}

TEST(ColorFromHex, IllFormedBytesAreTrimmedLikeSymbols) {
  expectColor(
      "\xFF"
      "FFF"
      "\xC3",
      255, 255, 255, 255);
}

TEST(ColorFromHex, CaseDoesNotMatter) {
  EXPECT_EQ(colorFromHex("#aBcDeF"), colorFromHex("#ABCDEF"));
  EXPECT_EQ(colorFromHex("#abcdef"), colorFromHex("#ABCDEF"));
}

TEST(ColorFromHex, VeryLongNumbersStillGiveBlack) {
  expectColor("FFFFFFFFFFFFFFFFFFFFFFFF", 255, 0, 0, 0);
}

TEST(Color, HexARGBRoundTrips) {
  EXPECT_EQ(colorFromHex("#80FF0000").toHexARGB(), "#80FF0000");
  EXPECT_EQ(colorFromHex("#fff").toHexARGB(), "#FFFFFFFF");
  EXPECT_EQ(colorFromHex("").toHexARGB(), "#FF000000");
  for (std::string_view hex : {"#00000000", "#7F123456", "#FFABCDEF", "#01FEDCBA"}) {
    const Color color = colorFromHex(hex);
    EXPECT_EQ(color.toHexARGB(), hex);
    EXPECT_EQ(colorFromHex(color.toHexARGB()), color);
  }
}

TEST(Color, ARGB8RoundsAndClamps) {
  EXPECT_EQ((Color{0.5, 1.5, -1, 1}).toARGB8(), 0xFF80FF00u);
  EXPECT_EQ(Color::fromARGB8(0x12, 0x34, 0x56, 0x78).toARGB8(), 0x12345678u);
}

// ---- The library's string table -------------------------------------------------------------

TEST(LibraryStrings, EveryKeyHasATextInEveryLanguage) {
  for (std::string_view language : kLibraryLanguages) {
    std::set<std::string_view> texts;
    for (std::string_view key : kLibraryStringKeys) {
      SCOPED_TRACE(std::string(language) + "/" + std::string(key));
      const std::string_view text = libraryString(key, language);
      EXPECT_FALSE(text.empty());
      EXPECT_NE(text, key);
      texts.insert(text);
    }
    // The three labels of one language are distinct.
    EXPECT_EQ(texts.size(), kLibraryStringKeys.size()) << language;
  }
}

TEST(LibraryStrings, EveryOtherLanguageIsTranslated) {
  for (std::string_view language : kLibraryLanguages) {
    if (language == "en") continue;
    bool differs = false;
    for (std::string_view key : kLibraryStringKeys) {
      differs = differs || libraryString(key, language) != libraryString(key, "en");
    }
    EXPECT_TRUE(differs) << language;
  }
}

TEST(LibraryStrings, EnglishTexts) {
  EXPECT_EQ(libraryString("current_device", "en"), "This device");
  EXPECT_EQ(libraryString("attached", "en"), "Attached");
  EXPECT_EQ(libraryString("last_update", "en"), "Last update");
}

TEST(LibraryStrings, LocaleNamesPickTheirLanguage) {
  EXPECT_EQ(libraryLanguage("fr_FR.UTF-8"), "fr");
  EXPECT_EQ(libraryLanguage("de"), "de");
  EXPECT_EQ(libraryLanguage("en-US"), "en");
  EXPECT_EQ(libraryLanguage("ES"), "es");
  EXPECT_EQ(libraryLanguage("it_IT@euro"), "it");
  EXPECT_EQ(libraryLanguage("pt-BR"), "pt");
  EXPECT_EQ(libraryLanguage("pt.UTF-8"), "pt");
  EXPECT_EQ(libraryLanguage("fr_CA"), "fr");
  for (std::string_view key : kLibraryStringKeys) {
    EXPECT_EQ(libraryString(key, "fr_FR.UTF-8"), libraryString(key, "fr"));
    EXPECT_EQ(libraryString(key, "de_AT"), libraryString(key, "de"));
  }
  EXPECT_NE(libraryString("last_update", "fr_FR.UTF-8"), libraryString("last_update", "en"));
}

TEST(LibraryStrings, UnknownLocalesFallBackToEnglish) {
  for (std::string_view locale :
       {"", "C", "POSIX", "C.UTF-8", "xx_YY", "ja_JP.UTF-8", "f", "fra", "french", "_FR", "-"}) {
    EXPECT_EQ(libraryLanguage(locale), "en") << "'" << locale << "'";
    for (std::string_view key : kLibraryStringKeys) {
      EXPECT_EQ(libraryString(key, locale), libraryString(key, "en")) << locale;
    }
  }
}

TEST(LibraryStrings, UnknownKeyIsReturnedUnchanged) {
  EXPECT_EQ(libraryString("no_such_key", "fr"), "no_such_key");
  EXPECT_EQ(libraryString("", "de"), "");
}

// Sets the locale variables for one test and puts the previous values back.
class LocaleEnvironment : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kNames) {
      const char* value = std::getenv(name);
      saved_.push_back(value ? std::optional<std::string>(value) : std::nullopt);
      unsetenv(name);
    }
  }
  void TearDown() override {
    for (std::size_t i = 0; i < kNames.size(); ++i) {
      if (saved_[i]) {
        setenv(kNames[i], saved_[i]->c_str(), 1);
      } else {
        unsetenv(kNames[i]);
      }
    }
  }
  static constexpr std::array<const char*, 4> kNames = {"LC_ALL", "LC_MESSAGES", "LANG", "LC_TIME"};
  std::vector<std::optional<std::string>> saved_;
};

TEST_F(LocaleEnvironment, NoVariablesGiveEmptyLocaleAndEnglish) {
  EXPECT_EQ(hostLocale(), "");
  EXPECT_EQ(libraryString("attached"), libraryString("attached", "en"));
}

TEST_F(LocaleEnvironment, VariablesAreReadInPrecedenceOrder) {
  setenv("LANG", "de_DE.UTF-8", 1);
  EXPECT_EQ(hostLocale(), "de_DE.UTF-8");
  EXPECT_EQ(libraryString("current_device"), libraryString("current_device", "de"));

  setenv("LC_MESSAGES", "it_IT", 1);
  EXPECT_EQ(hostLocale(), "it_IT");
  EXPECT_EQ(libraryString("current_device"), libraryString("current_device", "it"));

  setenv("LC_ALL", "fr_FR.UTF-8", 1);
  EXPECT_EQ(hostLocale(), "fr_FR.UTF-8");
  EXPECT_EQ(libraryString("current_device"), libraryString("current_device", "fr"));
}

TEST_F(LocaleEnvironment, EmptyVariablesAreSkipped) {
  setenv("LC_ALL", "", 1);
  setenv("LC_MESSAGES", "", 1);
  setenv("LANG", "es_ES.UTF-8", 1);
  EXPECT_EQ(hostLocale(), "es_ES.UTF-8");
  EXPECT_EQ(libraryString("last_update"), libraryString("last_update", "es"));
}

// ---- Colour assets --------------------------------------------------------------------------

double relativeLuminance(const Color& color) {
  const auto linear = [](double c) {
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * linear(color.red) + 0.7152 * linear(color.green) + 0.0722 * linear(color.blue);
}

TEST(ColorAssets, NamesGiveTheAssets) {
  EXPECT_EQ(colorAsset("successDark"), successDark());
  EXPECT_EQ(colorAsset("successLight"), successLight());
  EXPECT_EQ(colorAsset("success"), std::nullopt);
  EXPECT_EQ(colorAsset("successdark"), std::nullopt);
}

TEST(ColorAssets, AreOpaqueGreensDarkAndLight) {
  for (const Color& color : {successDark(), successLight()}) {
    EXPECT_EQ(color.opacity, 1.0);
    EXPECT_GT(color.green, color.red);
    EXPECT_GT(color.green, color.blue);
  }
  EXPECT_LT(relativeLuminance(successDark()), relativeLuminance(successLight()));
}

TEST(ColorAssets, BadgeTextIsReadableOnItsBackground) {
  // The "attached" badge draws successDark text on successLight: WCAG AA asks for 4.5:1.
  const double light = relativeLuminance(successLight());
  const double dark = relativeLuminance(successDark());
  EXPECT_GE((light + 0.05) / (dark + 0.05), 4.5);
  // The verified tick draws successDark on the screen's (white) background.
  EXPECT_GE((1.0 + 0.05) / (dark + 0.05), 4.5);
}

// ---- The host's localiser -------------------------------------------------------------------

class Localization : public ::testing::Test {
 protected:
  void TearDown() override { setLocalizer({}); }
};

TEST_F(Localization, DefaultReturnsTheKey) {
  EXPECT_EQ(localized("Verify code"), "Verify code");
  EXPECT_EQ(localized(""), "");
}

TEST_F(Localization, ReplacementIsUsedAndCanBeReset) {
  std::vector<std::string> asked;
  setLocalizer([&asked](std::string_view key) {
    asked.emplace_back(key);
    return key == "Verify code" ? std::string("Code prüfen") : std::string(key);
  });
  EXPECT_EQ(localized("Verify code"), "Code prüfen");
  EXPECT_EQ(localized("Log out"), "Log out");
  EXPECT_EQ(asked, (std::vector<std::string>{"Verify code", "Log out"}));

  setLocalizer({});
  EXPECT_EQ(localized("Verify code"), "Verify code");
  EXPECT_EQ(asked.size(), 2u);
}

TEST_F(Localization, LocalizerMayReplaceItself) {
  setLocalizer([](std::string_view key) {
    setLocalizer([](std::string_view) { return std::string("second"); });
    return "first:" + std::string(key);
  });
  EXPECT_EQ(localized("a"), "first:a");
  EXPECT_EQ(localized("a"), "second");
}

TEST_F(Localization, ReadersAndAWriterRunTogether) {
  std::atomic<bool> stop{false};
  std::atomic<int> unexpected{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        const std::string text = localized("key");
        if (text != "key" && text != "KEY") ++unexpected;
      }
    });
  }
  for (int i = 0; i < 2000; ++i) {
    if (i % 2 == 0) {
      setLocalizer([](std::string_view) { return std::string("KEY"); });
    } else {
      setLocalizer({});
    }
  }
  stop = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(unexpected.load(), 0);
}

// ---- The built-in translations --------------------------------------------------------------

class Translations : public ::testing::Test {
 protected:
  void TearDown() override {
    stopBuiltinTranslations();
    setLocalizer({});
  }
};

std::size_t placeholders(std::string_view text) {
  std::size_t count = 0;
  for (auto at = text.find("%@"); at != std::string_view::npos; at = text.find("%@", at + 2)) {
    ++count;
  }
  return count;
}

TEST_F(Translations, EveryKeyHasATextInEveryLanguageThatKeepsItsPlaceholder) {
  const auto keys = screenTextKeys();
  EXPECT_EQ(keys.size(), 44u);
  EXPECT_EQ(std::set<std::string_view>(keys.begin(), keys.end()).size(), keys.size());
  for (std::string_view language : kLibraryLanguages) {
    std::set<std::string> texts;
    for (std::string_view key : keys) {
      SCOPED_TRACE(std::string(language) + ": " + std::string(key));
      const auto text = builtinTranslation(key, language);
      ASSERT_TRUE(text);
      EXPECT_FALSE(text->empty());
      EXPECT_EQ(placeholders(*text), placeholders(key));
      EXPECT_EQ(text->find("  "), std::string::npos);
      texts.insert(*text);
      if (language == "en") {
        EXPECT_EQ(*text, key);
      } else if (std::count(key.begin(), key.end(), ' ') >= 2) {
        EXPECT_NE(*text, key);  // a sentence left in English is a gap, not a translation
      }
    }
    EXPECT_EQ(texts.size(), keys.size()) << language;  // no two keys share a text
  }
  EXPECT_FALSE(builtinTranslation("Log out", "fr"));
  EXPECT_EQ(builtinTranslation("Verify code", "de_CH.UTF-8"),
            builtinTranslation("Verify code", "de"));
  EXPECT_EQ(builtinTranslation("Verify code", "ja_JP"), "Verify code");
}

TEST_F(Translations, AreOffUntilSwitchedOnAndFollowTheChosenLanguage) {
  EXPECT_EQ(localized("Verify code"), "Verify code");
  EXPECT_EQ(localized("Continue to %@", "Acme"), "Continue to Acme");
  useBuiltinTranslations("fr_FR.UTF-8");
  EXPECT_EQ(localized("Verify code"), "Vérifier le code");
  EXPECT_EQ(localized("Continue to %@", "Acme"), "Accéder à Acme");
  EXPECT_EQ(libraryString(kLastUpdateKey), libraryString(kLastUpdateKey, "fr"));
  useBuiltinTranslations("de");
  EXPECT_EQ(localized("Resend in %@ seconds", "30"), "Erneut senden in 30 Sekunden");
  EXPECT_EQ(libraryString(kLastUpdateKey), "Zuletzt aktualisiert");
  useBuiltinTranslations("xx_YY");
  EXPECT_EQ(localized("Verify code"), "Verify code");
  // Texts that are not the screens' keys pass through.
  useBuiltinTranslations("es");
  EXPECT_EQ(localized("Something else"), "Something else");
  stopBuiltinTranslations();
  EXPECT_EQ(localized("Verify code"), "Verify code");
}

TEST_F(Translations, TheHostsOwnEntriesWin) {
  useBuiltinTranslations("it");
  setLocalizer([](std::string_view key) {
    if (key == "Verify code") return std::string("Controlla il codice");
    if (key == "Resend in %@ seconds") return std::string("Nuovo codice tra %@ s");
    return std::string(key);  // no entry
  });
  EXPECT_EQ(localized("Verify code"), "Controlla il codice");
  EXPECT_EQ(localized("Resend in %@ seconds", "9"), "Nuovo codice tra 9 s");
  EXPECT_EQ(localized("Verification complete"), "Verifica completata");
  // A host entry that happens to read like the English text is still the host's.
  setLocalizer([](std::string_view key) {
    return key == "Verify code" ? std::string("Verify the code") : std::string(key);
  });
  EXPECT_EQ(localized("Verify code"), "Verify the code");
}

TEST_F(LocaleEnvironment, SwitchedOnWithoutALocaleTheHostsIsUsed) {
  setenv("LANG", "pt_BR.UTF-8", 1);
  useBuiltinTranslations();
  EXPECT_EQ(localized("Verification complete"), "Verificação concluída");
  EXPECT_EQ(libraryString(kAttachedKey), libraryString(kAttachedKey, "pt"));
  stopBuiltinTranslations();
  EXPECT_EQ(localized("Verification complete"), "Verification complete");
}

// ---- Dates ----------------------------------------------------------------------------------

class DateFormatting : public LocaleEnvironment {
 protected:
  void TearDown() override {
    setDateFormatter({});
    setPlatformDateFormatter({});
    LocaleEnvironment::TearDown();
  }
  // 2026-12-08T07:38:55Z: a single-digit day, which "%c" pads with a space.
  static Date date() { return *iso8601Full().date("2026-12-08T07:38:55.000Z"); }
};

TEST_F(DateFormatting, TheDefaultNeverShowsRunsOfSpaces) {
  for (const char* locale : {"", "C", "de_DE.UTF-8", "no_SUCH.UTF-8"}) {
    setenv("LC_TIME", locale, 1);
    const std::string text = formattedDate(date());
    EXPECT_FALSE(text.empty()) << locale;
    EXPECT_EQ(text.find("  "), std::string::npos) << text;
    EXPECT_NE(text.front(), ' ');
    EXPECT_NE(text.back(), ' ');
  }
}

TEST_F(DateFormatting, TheHostsFormatterWinsOverThePlatformsWhichWinsOverTheDefault) {
  const std::string builtIn = formattedDate(date());
  setPlatformDateFormatter([](Date) { return std::string("platform"); });
  EXPECT_EQ(formattedDate(date()), "platform");
  setDateFormatter([](Date when) { return iso8601Full().string(when); });
  EXPECT_EQ(formattedDate(date()), "2026-12-08T07:38:55.000Z");
  setDateFormatter({});
  EXPECT_EQ(formattedDate(date()), "platform");
  setPlatformDateFormatter({});
  EXPECT_EQ(formattedDate(date()), builtIn);
}

}  // namespace
}  // namespace zelk::screens
