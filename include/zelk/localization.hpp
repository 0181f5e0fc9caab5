// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/date.hpp>
#include <zelk/export.hpp>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelk {

/// Gives the display text for one of the challenge screens' fixed texts, which double as keys
/// of the host's string table. It should return the key itself when the host has no entry.
///
/// A text with a value inside it is one key with "%@" where the value goes, for example
/// "Start your own %@ account today"; the screens put the value in place of the first "%@" of
/// the text the localiser returns (or after it, when the text has no "%@").
///
/// The keys: "Start your own %@ account today", "We detected multiple people using this
/// account. Please create your own account to continue.", "Log out of this device", "Create an
/// account now", "Is this your account?", "Verify to continue", "Too many devices using this
/// account.", "Verification complete", "Thank you for completing the verification. We are
/// committed to ensuring your account's security and will alert you if we detect misuse.",
/// "Log out the selected devices", "Continue to %@", "the app", "Verification method",
/// "Choose a method from the list below. We'll send you a code to verify.", "Email: %@",
/// "Text: %@", "Verify your account to continue", "We've sent a code to %@. Please enter the
/// code below.", "you", "Resend in %@ seconds", "Resend in now", "Verify code"; and those of
/// the screen of the user's own devices: "Your devices", "This device", "Trusted", "Phone",
/// "Tablet", "Computer", "First seen: %@", "Last seen: %@", "Sign out", "Sign out this device?",
/// "Cancel", "Got an e-mail about a new device? Enter its code to sign that device out.", "Code
/// from the e-mail", "Sign out with code", "Refresh", "You can change devices again on %@.", "Could
/// not load your devices.", "Could not sign the device out.", "That code is not valid.", "That
/// device is not signed in to your account.", "This device is no longer signed in.", "Too many
/// attempts. Please try again later.".
using Localizer = std::function<std::string(std::string_view key)>;

/// Replaces the localiser for the whole process; an empty function restores the default, which
/// returns every key unchanged. Safe from any thread; screens drawing meanwhile see either the
/// old or the new localiser.
ZELK_EXPORT void setLocalizer(Localizer localizer);

/// The display text for `key`: the current localiser's, unless it returns the key unchanged and
/// the built-in translations are on (`useBuiltinTranslations`), which then give it. Safe from any
/// thread, and the localiser may itself call `setLocalizer` (it runs without any lock held).
ZELK_EXPORT std::string localized(std::string_view key);

/// `localized(key)` with `value` in place of its first "%@" (appended when it has none).
ZELK_EXPORT std::string localized(std::string_view key, std::string_view value);

/// Switches on the library's own translations of the screens' fixed texts (every key above), in
/// English, French, German, Spanish, Italian, Portuguese, Arabic and Polish: the language of
/// `locale` ("fr_FR.UTF-8", "de", "pt-BR", "ar_EG"), or English for a language it does not have.
/// An empty `locale` means the host's, from LC_ALL, LC_MESSAGES or LANG (a Qt host passes
/// `QLocale().name()` instead). The device rows' labels follow the same language, and so do the
/// texts the screens put together from counts: the device limiter's sentence (`devicesToLogout`)
/// and the resend countdown take the plural forms and the list style of the language's CLDR rules
/// and its digits, and the texts of `builtinText`. English texts stay exactly as without them.
///
/// The host's localiser keeps the first word: a key it returns changed is shown as it returned
/// it, and only a key it returns unchanged (no entry) takes the built-in translation. Off by
/// default. Safe from any thread; screens show the new language when they next draw.
ZELK_EXPORT void useBuiltinTranslations(std::string_view locale = {});

/// Switches the built-in translations off again: the keys go to the host's localiser alone.
ZELK_EXPORT void stopBuiltinTranslations();

/// The built-in translation of `key` in the language of `locale` (English: the key itself);
/// nothing for a key that is not one of the screens' fixed texts. Whether the translations are
/// switched on does not matter.
ZELK_EXPORT std::optional<std::string> builtinTranslation(std::string_view key,
                                                          std::string_view locale);

/// `text` in the language of the switched-on built-in translations, for the few texts the screens
/// show that are not keys of the host's string table: "Back" (the back control a UI layer draws),
/// "Unknown" (a device without an operating-system name) and the code screen's channel words
/// "email" and "text". Unchanged while the translations are off, in English, and for any other
/// text. Safe from any thread.
ZELK_EXPORT std::string builtinText(std::string_view text);

/// Whether the language of the switched-on built-in translations is written right to left
/// (Arabic), so that a UI layer mirrors the screens; false while they are off. Safe from any
/// thread.
ZELK_EXPORT bool builtinTranslationsRightToLeft();

/// The keys of the screens' fixed texts, as listed above.
ZELK_EXPORT std::vector<std::string_view> screenTextKeys();

/// Turns a date into the text a device row shows under "last update".
using DateFormatter = std::function<std::string(Date date)>;

/// Replaces the date formatter for the whole process; an empty function restores the default.
/// The default is the UI layer's (`setPlatformDateFormatter`; the Qt module's writes the
/// application's QLocale short date and time), else the library's own: the date and time in the
/// local time zone in the format of the locale named by LC_ALL, LC_TIME or LANG ("%c"; the
/// classic one when the system lacks that locale), with runs of spaces closed up. Safe from any
/// thread.
ZELK_EXPORT void setDateFormatter(DateFormatter formatter);

/// The formatter a UI layer offers as the default for dates, used while the host has set none
/// of its own with `setDateFormatter`; an empty function removes it. Safe from any thread.
ZELK_EXPORT void setPlatformDateFormatter(DateFormatter formatter);

/// `date` as the current date formatter writes it. Safe from any thread.
ZELK_EXPORT std::string formattedDate(Date date);

}  // namespace zelk
