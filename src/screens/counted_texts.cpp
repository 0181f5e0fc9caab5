// SPDX-License-Identifier: Apache-2.0
// Counted words in every language of the built-in translations. ICU gives the plural category of a
// count (CLDR's rules: Arabic has six, Polish three for whole numbers), the language's digits and
// its way of joining a list; the words for each category are ours.
#include "screens/counted_texts.hpp"

#include <unicode/udat.h>
#include <unicode/ulistformatter.h>
#include <unicode/unum.h>
#include <unicode/upluralrules.h>
#include <unicode/ustring.h>

#include <array>
#include <ctime>
#include <memory>

namespace zelk::screens {

namespace {

// The CLDR plural categories, in the order the forms below are written.
constexpr std::array<std::string_view, 6> kCategories = {"zero", "one",  "two",
                                                         "few",  "many", "other"};

// One word's forms, one per category of kCategories; "#" stands for the count, and an empty form
// falls back to "other" (a language without the category, or one that writes it the same way).
using Forms = std::array<std::string_view, kCategories.size()>;

struct Language {
  std::string_view code;
  std::string_view limiterFrame;  // "%@" is the joined list of counted words
  std::string_view resendFrame;   // "%@" is the counted seconds
  std::array<Forms, 5> words;     // in the order of Counted
};

// Arabic names one and two of a thing by the word alone (singular, dual) and keeps the counted
// noun in the genitive after "من"; Polish has separate forms for 2–4 (22–24, …) and 5–21 (…).
constexpr std::array<Language, 8> kLanguages = {{
    {"en",
     "To proceed, log out of %@ from the devices below.",
     "Resend in %@",
     {{{"", "# computer", "", "", "", "# computers"},
       {"", "# tablet", "", "", "", "# tablets"},
       {"", "# mobile", "", "", "", "# mobiles"},
       {"", "# device", "", "", "", "# devices"},
       {"", "", "", "", "", "# seconds"}}}},
    {"fr",
     "Pour continuer, déconnectez %@ parmi les appareils ci-dessous.",
     "Renvoyer dans %@",
     {{{"", "# ordinateur", "", "", "", "# ordinateurs"},
       {"", "# tablette", "", "", "", "# tablettes"},
       {"", "# téléphone", "", "", "", "# téléphones"},
       {"", "# appareil", "", "", "", "# appareils"},
       {"", "#\u00A0seconde", "", "", "", "#\u00A0secondes"}}}},
    {"de",
     "Melden Sie zum Fortfahren %@ aus der Liste unten ab.",
     "Erneut senden in %@",
     {{{"", "# Computer", "", "", "", "# Computer"},
       {"", "# Tablet", "", "", "", "# Tablets"},
       {"", "# Mobilgerät", "", "", "", "# Mobilgeräte"},
       {"", "# Gerät", "", "", "", "# Geräte"},
       {"", "# Sekunde", "", "", "", "# Sekunden"}}}},
    {"es",
     "Para continuar, cierra la sesión de %@ de la lista de abajo.",
     "Reenviar en %@",
     {{{"", "# ordenador", "", "", "", "# ordenadores"},
       {"", "# tableta", "", "", "", "# tabletas"},
       {"", "# móvil", "", "", "", "# móviles"},
       {"", "# dispositivo", "", "", "", "# dispositivos"},
       {"", "# segundo", "", "", "", "# segundos"}}}},
    {"it",
     "Per continuare, disconnetti %@ dall’elenco qui sotto.",
     "Invia di nuovo tra %@",
     {{{"", "# computer", "", "", "", "# computer"},
       {"", "# tablet", "", "", "", "# tablet"},
       {"", "# smartphone", "", "", "", "# smartphone"},
       {"", "# dispositivo", "", "", "", "# dispositivi"},
       {"", "# secondo", "", "", "", "# secondi"}}}},
    {"pt",
     "Para continuar, termine a sessão em %@ da lista abaixo.",
     "Reenviar dentro de %@",
     {{{"", "# computador", "", "", "", "# computadores"},
       {"", "# tablet", "", "", "", "# tablets"},
       {"", "# telemóvel", "", "", "", "# telemóveis"},
       {"", "# dispositivo", "", "", "", "# dispositivos"},
       {"", "# segundo", "", "", "", "# segundos"}}}},
    {"ar",
     "للمتابعة، سجّل الخروج من %@ من الأجهزة أدناه.",
     "إعادة الإرسال بعد %@",
     {{{"# حاسوب", "حاسوب واحد", "حاسوبين", "# حواسيب", "# حاسوبًا", "# حاسوب"},
       {"# جهاز لوحي", "جهاز لوحي واحد", "جهازين لوحيين", "# أجهزة لوحية", "# جهازًا لوحيًا",
        "# جهاز لوحي"},
       {"# هاتف", "هاتف واحد", "هاتفين", "# هواتف", "# هاتفًا", "# هاتف"},
       {"# جهاز", "جهاز واحد", "جهازين", "# أجهزة", "# جهازًا", "# جهاز"},
       {"# ثانية", "ثانية واحدة", "ثانيتين", "# ثوانٍ", "# ثانية", "# ثانية"}}}},
    {"pl",
     "Aby kontynuować, wyloguj %@ spośród urządzeń poniżej.",
     "Wyślij ponownie za %@",
     {{{"", "# komputer", "", "# komputery", "# komputerów", "# komputera"},
       {"", "# tablet", "", "# tablety", "# tabletów", "# tabletu"},
       {"", "# telefon", "", "# telefony", "# telefonów", "# telefonu"},
       {"", "# urządzenie", "", "# urządzenia", "# urządzeń", "# urządzenia"},
       {"", "# sekundę", "", "# sekundy", "# sekund", "# sekundy"}}}},
}};

const Language& languageFor(std::string_view code) {
  for (const Language& language : kLanguages) {
    if (language.code == code) return language;
  }
  return kLanguages[0];
}

std::u16string utf16(std::string_view text) {
  std::u16string result(text.size(), u'\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8(result.data(), static_cast<int32_t>(result.size()), &length, text.data(),
                static_cast<int32_t>(text.size()), &status);
  if (U_FAILURE(status)) return {};
  result.resize(static_cast<std::size_t>(length));
  return result;
}

std::string utf8(const UChar* text, int32_t length) {
  std::string result(static_cast<std::size_t>(length) * 3, '\0');
  int32_t written = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8(result.data(), static_cast<int32_t>(result.size()), &written, text, length, &status);
  if (U_FAILURE(status)) return {};
  result.resize(static_cast<std::size_t>(written));
  return result;
}

std::string localeName(std::string_view language) {
  return std::string(language.empty() ? "en" : language);
}

// The count in the language's own digits ("٣" in Arabic), without grouping surprises for the
// small numbers the screens show; plain decimal if ICU fails.
std::string formattedNumber(std::string_view language, std::int64_t count) {
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<UNumberFormat, decltype(&unum_close)> format(
      unum_open(UNUM_DECIMAL, nullptr, 0, localeName(language).c_str(), nullptr, &status),
      &unum_close);
  if (U_FAILURE(status)) return std::to_string(count);
  std::array<UChar, 64> buffer{};
  const int32_t length = unum_formatInt64(format.get(), count, buffer.data(),
                                          static_cast<int32_t>(buffer.size()), nullptr, &status);
  if (U_FAILURE(status) || length > static_cast<int32_t>(buffer.size())) {
    return std::to_string(count);
  }
  return utf8(buffer.data(), length);
}

std::string replaced(std::string_view text, std::string_view placeholder, std::string_view value) {
  std::string result(text);
  const auto at = result.find(placeholder);
  if (at != std::string::npos) result.replace(at, placeholder.size(), value);
  return result;
}

// The language's list of `items` ("a, b et c"); joined with ", " when ICU fails.
std::string joinedList(std::string_view language, const std::vector<std::string>& items) {
  std::string fallback;
  for (const std::string& item : items) {
    if (!fallback.empty()) fallback += ", ";
    fallback += item;
  }
  if (items.size() < 2) return fallback;
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<UListFormatter, decltype(&ulistfmt_close)> format(
      ulistfmt_open(localeName(language).c_str(), &status), &ulistfmt_close);
  if (U_FAILURE(status)) return fallback;
  std::vector<std::u16string> wide;
  std::vector<const UChar*> pointers;
  std::vector<int32_t> lengths;
  for (const std::string& item : items) wide.push_back(utf16(item));
  for (const std::u16string& item : wide) {
    pointers.push_back(item.data());
    lengths.push_back(static_cast<int32_t>(item.size()));
  }
  const int32_t needed = ulistfmt_format(format.get(), pointers.data(), lengths.data(),
                                         static_cast<int32_t>(items.size()), nullptr, 0, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return fallback;
  status = U_ZERO_ERROR;
  std::u16string joined(static_cast<std::size_t>(needed) + 1, u'\0');
  const int32_t length = ulistfmt_format(format.get(), pointers.data(), lengths.data(),
                                         static_cast<int32_t>(items.size()), joined.data(),
                                         static_cast<int32_t>(joined.size()), &status);
  if (U_FAILURE(status)) return fallback;
  return utf8(joined.data(), length);
}

}  // namespace

std::string pluralCategory(std::string_view language, std::int64_t count) {
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<UPluralRules, decltype(&uplrules_close)> rules(
      uplrules_open(localeName(language).c_str(), &status), &uplrules_close);
  if (U_FAILURE(status)) return count == 1 ? "one" : "other";
  std::array<UChar, 16> keyword{};
  const int32_t length = uplrules_select(rules.get(), static_cast<double>(count), keyword.data(),
                                         static_cast<int32_t>(keyword.size()), &status);
  if (U_FAILURE(status) || length > static_cast<int32_t>(keyword.size())) {
    return count == 1 ? "one" : "other";
  }
  return utf8(keyword.data(), length);
}

std::string countedPhrase(std::string_view language, Counted what, std::int64_t count) {
  const Forms& forms = languageFor(language).words[static_cast<std::size_t>(what)];
  const std::string category = pluralCategory(language, count);
  std::string_view form = forms.back();
  for (std::size_t i = 0; i < kCategories.size(); ++i) {
    if (kCategories[i] == category && !forms[i].empty()) form = forms[i];
  }
  // English keeps the plain decimal digits it has always shown.
  const std::string number =
      language == "en" ? std::to_string(count) : formattedNumber(language, count);
  return replaced(form, "#", number);
}

std::string devicesToLogoutSentence(std::string_view language,
                                    const std::vector<std::pair<Counted, std::int64_t>>& parts) {
  std::vector<std::string> items;
  for (const auto& [what, count] : parts) items.push_back(countedPhrase(language, what, count));
  // English joins every part with ", ", as the product's text has always read.
  std::string list;
  if (languageFor(language).code == "en") {
    for (const std::string& item : items) list += (list.empty() ? "" : ", ") + item;
  } else {
    list = joinedList(language, items);
  }
  return replaced(languageFor(language).limiterFrame, "%@", list);
}

std::string resendSentence(std::string_view language, std::int64_t seconds) {
  if (languageFor(language).code == "en") {
    return "Resend in " + std::to_string(seconds) + " seconds";
  }
  return replaced(languageFor(language).resendFrame, "%@",
                  countedPhrase(language, Counted::second, seconds));
}

std::string dayText(std::string_view language, Date date) {
  const auto fallback = [date] {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(
        std::chrono::time_point_cast<std::chrono::seconds>(date));
    std::tm local{};
    std::array<char, 16> text{};
    if (localtime_r(&seconds, &local) == nullptr ||
        std::strftime(text.data(), text.size(), "%Y-%m-%d", &local) == 0) {
      return std::string("-");
    }
    return std::string(text.data());
  };
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<UDateFormat, decltype(&udat_close)> format(
      udat_open(UDAT_NONE, UDAT_LONG, localeName(language).c_str(), nullptr, -1, nullptr, -1,
                &status),
      &udat_close);
  if (U_FAILURE(status)) return fallback();
  std::array<UChar, 128> buffer{};
  const auto millis = static_cast<UDate>(date.time_since_epoch().count());
  const int32_t length = udat_format(format.get(), millis, buffer.data(),
                                     static_cast<int32_t>(buffer.size()), nullptr, &status);
  if (U_FAILURE(status) || length > static_cast<int32_t>(buffer.size())) return fallback();
  return utf8(buffer.data(), length);
}

}  // namespace zelk::screens
