// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/export.hpp>

#include <cstdint>
#include <string>
#include <string_view>

namespace zelk {

/// A colour in the sRGB space, as the screens hand it to the host's drawing code.
///
/// The components are doubles from 0 to 1 (opacity 1 is opaque). Colours made from 8-bit
/// values (`fromARGB8`, `colorFromHex`) hold exact multiples of 1/255, so two colours built from
/// the same bytes compare equal, and `toARGB8`/`toHexARGB` give the bytes back.
struct ZELK_EXPORT Color {
  double red = 0;      ///< Red, from 0 to 1.
  double green = 0;    ///< Green, from 0 to 1.
  double blue = 0;     ///< Blue, from 0 to 1.
  double opacity = 1;  ///< Opacity, from 0 (transparent) to 1 (opaque).

  /// The colour with each 8-bit component divided by 255.
  static constexpr Color fromARGB8(std::uint8_t alpha, std::uint8_t red, std::uint8_t green,
                                   std::uint8_t blue) {
    return Color{red / 255.0, green / 255.0, blue / 255.0, alpha / 255.0};
  }

  /// The components as 0xAARRGGBB, each rounded to the nearest 8-bit value (clamped to 0..255).
  std::uint32_t toARGB8() const;

  /// "#AARRGGBB" in upper-case hexadecimal, alpha first, as `colorFromHex` reads eight digits.
  std::string toHexARGB() const;

  friend bool operator==(const Color&, const Color&) = default;
};

/// Turns a hexadecimal colour text into a colour; any text gives a colour.
///
/// 1. Characters that are not letters or digits (in the Unicode sense; the text is read as
///    UTF-8, an ill-formed byte counting as a character that is neither) are removed from both
///    ends, so "#" and surrounding spaces go while anything inside stays.
/// 2. An unsigned 64-bit number is read from the start of what remains: an optional "0x"/"0X",
///    then hexadecimal digits up to the first other character (0 when there are none; a value
///    too large for 64 bits saturates).
/// 3. The number of characters (code points) of the trimmed text, not the number of digits read,
///    picks the layout: 3 is RGB with 4-bit components (each times 17), 6 is RRGGBB, 8 is
///    AARRGGBB (alpha first). Any other count gives opaque black. 3 and 6 are opaque.
ZELK_EXPORT Color colorFromHex(std::string_view text);

}  // namespace zelk
