// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/export.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace zelk {

/// A point in time with millisecond precision, as the service's dates carry.
using Date = std::chrono::sys_time<std::chrono::milliseconds>;

/// The service's date format, "yyyy-MM-dd'T'HH:mm:ss.SSSZZZZZ": e.g. "2024-03-01T12:30:05.250Z"
/// or "2024-03-01T13:30:05.250+01:00". Parsing is strict (exactly three fraction digits, a valid
/// calendar date and time, a "Z" or "+hh:mm"/"-hh:mm" zone) and ignores the user's locale;
/// formatting writes UTC with the zone "Z". Stateless and safe from any thread.
class ZELK_EXPORT ISO8601FullFormatter {
 public:
  /// The date that `text` spells, or nothing when it does not follow the format exactly.
  std::optional<Date> date(std::string_view text) const;
  /// `date` in the format, in UTC with the zone "Z".
  std::string string(Date date) const;
};

/// The shared formatter for the service's dates.
ZELK_EXPORT const ISO8601FullFormatter& iso8601Full();

}  // namespace zelk
