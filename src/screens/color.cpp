// SPDX-License-Identifier: Apache-2.0
#include <zelk/color.hpp>

#include <locale.h>
#include <clocale>
#include <cmath>
#include <cwctype>
#include <limits>
#include <vector>

namespace zelk {

namespace {

constexpr char32_t kNotAScalar = 0xFFFFFFFF;

// One decoded character: its code point (kNotAScalar for an ill-formed byte) and its byte span.
struct Character {
  char32_t codePoint;
  std::size_t begin;
  std::size_t end;
};

// Splits UTF-8 text into code points. A byte that does not start a well-formed sequence is a
// character of its own, which is neither a letter nor a digit.
std::vector<Character> decode(std::string_view text) {
  std::vector<Character> characters;
  characters.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t codePoint = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      length = 1;
      codePoint = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      codePoint = lead & 0x1F;
      minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      codePoint = lead & 0x0F;
      minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      codePoint = lead & 0x07;
      minimum = 0x10000;
    }
    bool valid = length != 0 && i + length <= text.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto continuation = static_cast<unsigned char>(text[i + k]);
      if ((continuation & 0xC0) != 0x80) {
        valid = false;
      } else {
        codePoint = (codePoint << 6) | (continuation & 0x3F);
      }
    }
    if (valid && length > 1 &&
        (codePoint < minimum || codePoint > 0x10FFFF ||
         (codePoint >= 0xD800 && codePoint <= 0xDFFF))) {
      valid = false;
    }
    if (!valid) {
      characters.push_back({kNotAScalar, i, i + 1});
      ++i;
    } else {
      characters.push_back({codePoint, i, i + length});
      i += length;
    }
  }
  return characters;
}

// The classification tables of the C library's UTF-8 locale; null where it has none, in which
// case only ASCII letters and digits are recognised.
locale_t unicodeLocale() {
  static const locale_t locale = [] {
    locale_t loaded = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (loaded == static_cast<locale_t>(0)) {
      loaded = newlocale(LC_CTYPE_MASK, "C.utf8", static_cast<locale_t>(0));
    }
    return loaded;
  }();
  return locale;
}

bool isLetterOrDigit(char32_t codePoint) {
  if (codePoint == kNotAScalar) return false;
  if (codePoint < 0x80) {
    return (codePoint >= '0' && codePoint <= '9') || (codePoint >= 'a' && codePoint <= 'z') ||
           (codePoint >= 'A' && codePoint <= 'Z');
  }
  const locale_t locale = unicodeLocale();
  if (locale == static_cast<locale_t>(0)) return false;
  return iswalnum_l(static_cast<wint_t>(codePoint), locale) != 0;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads "0x"/"0X" (optional) and the hexadecimal digits that follow it; 0 when there are none.
std::uint64_t readHex(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
      hexDigit(text[2]) >= 0) {
    text.remove_prefix(2);
  }
  std::uint64_t value = 0;
  for (const char c : text) {
    const int digit = hexDigit(c);
    if (digit < 0) break;
    if (value > (std::numeric_limits<std::uint64_t>::max() >> 4)) {
      value = std::numeric_limits<std::uint64_t>::max();
    } else {
      value = (value << 4) | static_cast<std::uint64_t>(digit);
    }
  }
  return value;
}

std::uint8_t component(double value) {
  if (!(value > 0)) return 0;
  if (value >= 1) return 255;
  return static_cast<std::uint8_t>(std::lround(value * 255));
}

}  // namespace

std::uint32_t Color::toARGB8() const {
  return (std::uint32_t{component(opacity)} << 24) | (std::uint32_t{component(red)} << 16) |
         (std::uint32_t{component(green)} << 8) | std::uint32_t{component(blue)};
}

std::string Color::toHexARGB() const {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const std::uint32_t argb = toARGB8();
  std::string hex = "#";
  for (int shift = 28; shift >= 0; shift -= 4) hex += kDigits[(argb >> shift) & 0xF];
  return hex;
}

Color colorFromHex(std::string_view text) {
  const std::vector<Character> characters = decode(text);
  std::size_t first = 0;
  std::size_t last = characters.size();
  while (first < last && !isLetterOrDigit(characters[first].codePoint)) ++first;
  while (last > first && !isLetterOrDigit(characters[last - 1].codePoint)) --last;
  const std::size_t count = last - first;
  const std::string_view trimmed =
      count == 0 ? std::string_view{}
                 : text.substr(characters[first].begin,
                               characters[last - 1].end - characters[first].begin);
  const std::uint64_t v = readHex(trimmed);

  const auto byte = [](std::uint64_t value) { return static_cast<std::uint8_t>(value & 0xFF); };
  switch (count) {
    case 3:
      return Color::fromARGB8(255, byte((v >> 8) * 17), byte(((v >> 4) & 15) * 17),
                              byte((v & 15) * 17));
    case 6:
      return Color::fromARGB8(255, byte(v >> 16), byte(v >> 8), byte(v));
    case 8:
      return Color::fromARGB8(byte(v >> 24), byte(v >> 16), byte(v >> 8), byte(v));
    default:
      return Color::fromARGB8(255, 0, 0, 0);
  }
}

}  // namespace zelk
