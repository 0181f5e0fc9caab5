// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/color.hpp>
#include <zelk/localization.hpp>

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zelk::screens {

// ---- The library's own string table -------------------------------------------------------

/// The keys of the library's own string table: the device row's labels.
inline constexpr std::string_view kCurrentDeviceKey = "current_device";
inline constexpr std::string_view kAttachedKey = "attached";
inline constexpr std::string_view kLastUpdateKey = "last_update";
inline constexpr std::array<std::string_view, 3> kLibraryStringKeys = {
    kCurrentDeviceKey, kAttachedKey, kLastUpdateKey};

/// The languages the table is written in, as ISO 639-1 codes; English ("en") comes first and is
/// the fallback.
inline constexpr std::array<std::string_view, 8> kLibraryLanguages = {"en", "fr", "de", "es",
                                                                      "it", "pt", "ar", "pl"};

/// Whether `language` (of kLibraryLanguages) is written right to left: Arabic.
constexpr bool isRightToLeft(std::string_view language) {
  return language == "ar";
}

/// The language of the table to use for a locale name such as "fr_FR.UTF-8", "de", "en-US" or
/// "pt_BR@euro": its language part (before any '_', '-', '.' or '@'), compared without regard to
/// case. Names without a language the table has ("", "C", "POSIX", "xx_YY") give "en".
std::string_view libraryLanguage(std::string_view locale);

/// The host's message locale from the environment: the first non-empty one of LC_ALL,
/// LC_MESSAGES and LANG, or "" when none is set.
std::string hostLocale();

/// The text for `key` in the table's language for `locale` (see `libraryLanguage`). A key the
/// table does not have is returned unchanged.
std::string_view libraryString(std::string_view key, std::string_view locale);

/// The text for `key` in the language of the switched-on translations (see
/// `useBuiltinTranslations`), else in that of the host's locale (`hostLocale()`).
std::string_view libraryString(std::string_view key);

// ---- The built-in translations of the screens' fixed texts ---------------------------------

/// The language of the switched-on translations; nothing while they are off.
std::optional<std::string_view> translationLanguage();

/// The switched-on translation of `key`; nothing while they are off or for an unknown key.
std::optional<std::string_view> switchedOnTranslation(std::string_view key);

/// The language of the switched-on translations when it is not English; nothing otherwise. The
/// texts the screens put together themselves (counts, lists) follow it.
std::optional<std::string_view> translatedLanguage();

/// `key` ("Back", "Unknown", "email", "text": texts that are not keys of the host's table) in
/// `language`, an index of kLibraryLanguages; unchanged for English or another key.
std::string_view builtinOnlyText(std::string_view key, std::size_t language);

// ---- The library's colour assets ----------------------------------------------------------

/// The darker shade of the success colour, #19692C (opaque): the verified tick and the text of
/// the "attached" badge. Dark enough to read on white and on `successLight`.
Color successDark();

/// The lighter shade of the success colour, #D4EDDA (opaque): the background of the "attached"
/// badge.
Color successLight();

/// The colour asset called `name` ("successDark" or "successLight"); none for another name.
std::optional<Color> colorAsset(std::string_view name);

}  // namespace zelk::screens
