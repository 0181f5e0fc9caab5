// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/date.hpp>
#include <zelk/export.hpp>

#include <functional>
#include <string>
#include <string_view>

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
/// code below.", "you", "Resend in %@ seconds", "Resend in now", "Verify code".
using Localizer = std::function<std::string(std::string_view key)>;

/// Replaces the localiser for the whole process; an empty function restores the default, which
/// returns every key unchanged. Safe from any thread; screens drawing meanwhile see either the
/// old or the new localiser.
ZELK_EXPORT void setLocalizer(Localizer localizer);

/// The display text for `key` from the current localiser. Safe from any thread, and the
/// localiser may itself call `setLocalizer` (it runs without any lock held).
ZELK_EXPORT std::string localized(std::string_view key);

/// `localized(key)` with `value` in place of its first "%@" (appended when it has none).
ZELK_EXPORT std::string localized(std::string_view key, std::string_view value);

/// Turns a date into the text a device row shows under "last update".
using DateFormatter = std::function<std::string(Date date)>;

/// Replaces the date formatter for the whole process; an empty function restores the default:
/// the date and time in the local time zone, in the host locale's own format ("%c" of the
/// locale named by LC_ALL, LC_TIME or LANG). Safe from any thread.
ZELK_EXPORT void setDateFormatter(DateFormatter formatter);

/// `date` as the current date formatter writes it. Safe from any thread.
ZELK_EXPORT std::string formattedDate(Date date);

}  // namespace zelk
