// SPDX-License-Identifier: Apache-2.0
// The texts the screens put together from counts, in every built-in language.
#include <zelk/challenge_screens.hpp>
#include <zelk/localization.hpp>

#include "screens/counted_texts.hpp"
#include "screens/resources.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using namespace zelk;
using namespace zelk::screens;

// An account over its overall limit of 0 by exactly the given excesses: per-type limits of 1
// with one more device of the type than its limit, and `others` devices without a type count.
DeviceLimitState over(std::int64_t computers, std::int64_t tablets, std::int64_t mobiles,
                      std::int64_t others) {
  DeviceLimitState state;
  state.computerDeviceLimit = 1;
  state.tabletDeviceLimit = 1;
  state.mobileDeviceLimit = 1;
  state.attachedDevices.devices.computers = computers + 1;
  state.attachedDevices.devices.tablets = tablets + 1;
  state.attachedDevices.devices.mobiles = mobiles + 1;
  state.defaultOverallLimit = 3;
  state.attachedDevices.total = 3 + computers + tablets + mobiles + others;
  return state;
}

class CountedTexts : public ::testing::Test {
 protected:
  void TearDown() override {
    stopBuiltinTranslations();
    setLocalizer({});
  }
};

TEST_F(CountedTexts, PluralCategoriesFollowCldrsExamples) {
  // CLDR's examples for whole numbers (plurals.xml).
  const std::map<std::string, std::vector<std::int64_t>> arabic = {
      {"zero", {0}},
      {"one", {1}},
      {"two", {2}},
      {"few", {3, 4, 10, 103, 110, 1003}},
      {"many", {11, 12, 26, 111, 1011}},
      {"other", {100, 101, 102, 200, 1000}}};
  const std::map<std::string, std::vector<std::int64_t>> polish = {
      {"one", {1}},
      {"few", {2, 3, 4, 22, 23, 24, 32, 102}},
      {"many", {0, 5, 11, 12, 19, 100, 1000}}};
  for (const auto& [category, examples] : arabic) {
    for (const std::int64_t n : examples) EXPECT_EQ(pluralCategory("ar", n), category) << n;
  }
  for (const auto& [category, examples] : polish) {
    for (const std::int64_t n : examples) EXPECT_EQ(pluralCategory("pl", n), category) << n;
  }
  EXPECT_EQ(pluralCategory("de", 1), "one");
  EXPECT_EQ(pluralCategory("de", 0), "other");
  EXPECT_EQ(pluralCategory("fr", 0), "one");
}

TEST_F(CountedTexts, ArabicHasAFormForEachOfItsSixCategories) {
  EXPECT_EQ(countedPhrase("ar", Counted::computer, 0), "٠ حاسوب");
  EXPECT_EQ(countedPhrase("ar", Counted::computer, 1), "حاسوب واحد");
  EXPECT_EQ(countedPhrase("ar", Counted::computer, 2), "حاسوبين");
  EXPECT_EQ(countedPhrase("ar", Counted::computer, 3), "٣ حواسيب");
  EXPECT_EQ(countedPhrase("ar", Counted::computer, 11), "١١ حاسوبًا");
  EXPECT_EQ(countedPhrase("ar", Counted::computer, 100), "١٠٠ حاسوب");
  EXPECT_EQ(countedPhrase("ar", Counted::second, 2), "ثانيتين");
  EXPECT_EQ(countedPhrase("ar", Counted::second, 5), "٥ ثوانٍ");
  EXPECT_EQ(countedPhrase("ar", Counted::second, 30), "٣٠ ثانية");
}

TEST_F(CountedTexts, PolishHasItsThreeFormsForWholeNumbers) {
  EXPECT_EQ(countedPhrase("pl", Counted::device, 1), "1 urządzenie");
  EXPECT_EQ(countedPhrase("pl", Counted::device, 2), "2 urządzenia");
  EXPECT_EQ(countedPhrase("pl", Counted::device, 5), "5 urządzeń");
  EXPECT_EQ(countedPhrase("pl", Counted::device, 22), "22 urządzenia");
  EXPECT_EQ(countedPhrase("pl", Counted::device, 12), "12 urządzeń");
  EXPECT_EQ(countedPhrase("pl", Counted::second, 1), "1 sekundę");
  EXPECT_EQ(countedPhrase("pl", Counted::second, 3), "3 sekundy");
  EXPECT_EQ(countedPhrase("pl", Counted::second, 30), "30 sekund");
}

TEST_F(CountedTexts, EnglishLimiterSentencesStayAsTheyWere) {
  EXPECT_EQ(devicesToLogout(over(2, 0, 1, 0)),
            "To proceed, log out of 2 computers, 1 mobile from the devices below.");
  useBuiltinTranslations("en_GB");
  EXPECT_EQ(devicesToLogout(over(1, 3, 0, 2)),
            "To proceed, log out of 1 computer, 3 tablets, 2 devices from the devices below.");
}

// Every combination of 0 to 3 of each type names each non-zero type once, with its count in the
// form the language's plural rules choose, and nothing left in English.
TEST_F(CountedTexts, TheLimiterSentenceIsRightForZeroToThreeOfEachTypeInEveryLanguage) {
  for (const std::string_view language : kLibraryLanguages) {
    useBuiltinTranslations(language);
    for (int c = 0; c <= 3; ++c) {
      for (int t = 0; t <= 3; ++t) {
        for (int m = 0; m <= 3; ++m) {
          for (int d = 0; d <= 3; ++d) {
            SCOPED_TRACE(std::string(language) + " " + std::to_string(c) + std::to_string(t) +
                         std::to_string(m) + std::to_string(d));
            const std::string sentence = devicesToLogout(over(c, t, m, d));
            const std::string english = [&] {
              stopBuiltinTranslations();
              std::string text = devicesToLogout(over(c, t, m, d));
              useBuiltinTranslations(language);
              return text;
            }();
            if (language == "en") {
              EXPECT_EQ(sentence, english);
              continue;
            }
            EXPECT_NE(sentence, english);
            const std::pair<Counted, int> parts[] = {{Counted::computer, c},
                                                     {Counted::tablet, t},
                                                     {Counted::mobile, m},
                                                     {Counted::device, d}};
            for (const auto& [what, count] : parts) {
              if (count == 0) continue;
              EXPECT_NE(sentence.find(countedPhrase(language, what, count)), std::string::npos);
            }
          }
        }
      }
    }
  }
}

TEST_F(CountedTexts, ArabicAndPolishSentencesReadInFull) {
  useBuiltinTranslations("ar_EG");
  EXPECT_EQ(devicesToLogout(over(0, 0, 0, 1)),
            "للمتابعة، سجّل الخروج من جهاز واحد من الأجهزة أدناه.");
  EXPECT_EQ(devicesToLogout(over(2, 0, 3, 0)),
            "للمتابعة، سجّل الخروج من حاسوبين و٣ هواتف من الأجهزة أدناه.");
  useBuiltinTranslations("pl_PL");
  EXPECT_EQ(devicesToLogout(over(1, 2, 0, 3)),
            "Aby kontynuować, wyloguj 1 komputer, 2 tablety i 3 urządzenia spośród urządzeń "
            "poniżej.");
  useBuiltinTranslations("de");
  EXPECT_EQ(devicesToLogout(over(0, 1, 2, 0)),
            "Melden Sie zum Fortfahren 1 Tablet und 2 Mobilgeräte aus der Liste unten ab.");
}

TEST_F(CountedTexts, TheResendCountdownCountsInTheLanguage) {
  EXPECT_EQ(resendSentence("en", 1), "Resend in 1 seconds");
  EXPECT_EQ(resendSentence("de", 1), "Erneut senden in 1 Sekunde");
  EXPECT_EQ(resendSentence("pl", 2), "Wyślij ponownie za 2 sekundy");
  EXPECT_EQ(resendSentence("ar", 1), "إعادة الإرسال بعد ثانية واحدة");
}

TEST_F(CountedTexts, BuiltinOnlyTextsAreTranslatedOnlyWhenSwitchedOn) {
  for (const std::string_view text : {"Back", "Unknown", "email", "text"}) {
    EXPECT_EQ(builtinText(text), text);
    for (const std::string_view language : kLibraryLanguages) {
      useBuiltinTranslations(language);
      if (language == "en") {
        EXPECT_EQ(builtinText(text), text);
      } else {
        EXPECT_NE(builtinText(text), text) << language;
      }
    }
    stopBuiltinTranslations();
  }
  EXPECT_EQ(builtinText("Anything else"), "Anything else");
  EXPECT_FALSE(builtinTranslationsRightToLeft());
  useBuiltinTranslations("ar");
  EXPECT_TRUE(builtinTranslationsRightToLeft());
  useBuiltinTranslations("pl");
  EXPECT_FALSE(builtinTranslationsRightToLeft());
}

}  // namespace
