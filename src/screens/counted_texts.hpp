// SPDX-License-Identifier: Apache-2.0
// The screens' texts that carry a count: the words take the plural form the language's CLDR rules
// give for the count, and lists of them are joined as the language joins lists.
#pragma once

#include <zelk/date.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelk::screens {

/// The things a screen counts.
enum class Counted { computer, tablet, mobile, device, second };

/// The CLDR plural category of `count` in `language` (an ISO 639-1 code of kLibraryLanguages):
/// "zero", "one", "two", "few", "many" or "other".
std::string pluralCategory(std::string_view language, std::int64_t count);

/// `count` written with the language's digits and its word in the form for the count's plural
/// category: "2 Geräte", "5 komputerów", "حاسوبان". English: "1 computer", "2 computers".
std::string countedPhrase(std::string_view language, Counted what, std::int64_t count);

/// The device limiter's sentence naming `parts` (each at least 1, in the order given), in
/// `language`. English: "To proceed, log out of 2 computers, 1 mobile from the devices below."
std::string devicesToLogoutSentence(std::string_view language,
                                    const std::vector<std::pair<Counted, std::int64_t>>& parts);

/// The code screen's resend label while `seconds` (at least 1) remain, in `language`. English:
/// "Resend in 1 seconds", the word staying plural as the product's text has it.
std::string resendSentence(std::string_view language, std::int64_t seconds);

/// The calendar day of `date` in the local time zone, written as `language` writes a date in
/// full: "January 8, 2027", "8. Januar 2027". Falls back to "2027-01-08" when ICU fails.
std::string dayText(std::string_view language, Date date);

}  // namespace zelk::screens
