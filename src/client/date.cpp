// SPDX-License-Identifier: Apache-2.0
#include <zelk/date.hpp>

#include <cstdio>

namespace zelk {

namespace {

using namespace std::chrono;

// Reads exactly `count` decimal digits at `pos`, advancing it.
bool readDigits(std::string_view text, std::size_t& pos, int count, int& value) {
  if (pos + count > text.size()) return false;
  value = 0;
  for (int i = 0; i < count; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  pos += count;
  return true;
}

bool expect(std::string_view text, std::size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

}  // namespace

std::optional<Date> ISO8601FullFormatter::date(std::string_view text) const {
  std::size_t pos = 0;
  int year, month, day, hour, minute, second, millis;
  if (!readDigits(text, pos, 4, year) || !expect(text, pos, '-') ||
      !readDigits(text, pos, 2, month) || !expect(text, pos, '-') ||
      !readDigits(text, pos, 2, day) || !expect(text, pos, 'T') ||
      !readDigits(text, pos, 2, hour) || !expect(text, pos, ':') ||
      !readDigits(text, pos, 2, minute) || !expect(text, pos, ':') ||
      !readDigits(text, pos, 2, second) || !expect(text, pos, '.') ||
      !readDigits(text, pos, 3, millis)) {
    return std::nullopt;
  }
  int offsetMinutes = 0;
  if (pos < text.size() && text[pos] == 'Z') {
    ++pos;
  } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    const int sign = text[pos++] == '-' ? -1 : 1;
    int offsetHours, offsetMins;
    if (!readDigits(text, pos, 2, offsetHours) || !expect(text, pos, ':') ||
        !readDigits(text, pos, 2, offsetMins) || offsetHours > 23 || offsetMins > 59) {
      return std::nullopt;
    }
    offsetMinutes = sign * (offsetHours * 60 + offsetMins);
  } else {
    return std::nullopt;
  }
  if (pos != text.size()) return std::nullopt;

  const year_month_day calendarDay{std::chrono::year{year},
                                   std::chrono::month{static_cast<unsigned>(month)},
                                   std::chrono::day{static_cast<unsigned>(day)}};
  if (!calendarDay.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;

  return sys_days{calendarDay} + hours{hour} + minutes{minute} + seconds{second} +
         milliseconds{millis} - minutes{offsetMinutes};
}

std::string ISO8601FullFormatter::string(Date date) const {
  const auto dayPoint = floor<days>(date);
  const year_month_day calendarDay{dayPoint};
  const hh_mm_ss time{date - dayPoint};
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(calendarDay.year()), static_cast<unsigned>(calendarDay.month()),
                static_cast<unsigned>(calendarDay.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return buffer;
}

const ISO8601FullFormatter& iso8601Full() {
  static const ISO8601FullFormatter formatter;
  return formatter;
}

}  // namespace zelk
