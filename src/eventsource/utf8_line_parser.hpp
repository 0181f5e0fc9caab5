// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zelk::detail {

/// Which size limit of the stream parsers was broken, if any.
enum class StreamOverflow : std::uint8_t {
  none,
  /// A line grew past `UTF8LineParser`'s limit.
  line,
  /// The data of one event grew past `EventParser`'s limit.
  event,
};

/// A one-line text for `StreamOverflow`, e.g. for the description of a connection error.
std::string_view describe(StreamOverflow overflow);

/// Splits the bytes of an event stream into lines of valid UTF-8.
///
/// Chunks may be cut anywhere, inside a UTF-8 sequence or between the CR and the LF of a pair.
/// A line ends at LF, at CR, or at CRLF (counted once); terminators are not part of the line.
/// Each ill-formed sequence, measured by the rule of maximal subparts, becomes U+FFFD. An
/// ill-formed or unfinished sequence at the very end of a chunk is held back (at most 3 bytes)
/// and decoded again with the next non-empty chunk. No byte-order mark is removed.
///
/// Each chunk is decoded in one forward pass. A line that starts and ends in the same chunk and
/// needs no replacement is handed out as a view into the chunk without copying; other lines are
/// built in a buffer that keeps its capacity from line to line. Plain ASCII is scanned 16 bytes
/// at a time, and so is multi-byte text on processors with SSSE3.
///
/// A line longer than `maxLineBytes` (counting its UTF-8 bytes, replacements included) is an
/// overflow: the parser drops the partial line and held-back bytes, and ignores all input until
/// `closeAndReset()`. The lines before the long one have been handed out by then.
///
/// Not thread-safe: one owner calls it from one thread at a time.
class UTF8LineParser {
 public:
  static constexpr std::size_t kDefaultMaxLineBytes = std::size_t{1} << 20;

  explicit UTF8LineParser(std::size_t maxLineBytes = kDefaultMaxLineBytes)
      : maxLineBytes_(maxLineBytes) {}

  /// Decodes `chunk` (possibly empty) and calls `onLine(std::string_view)` for every line it
  /// completes, in stream order. The view is valid only during that call. Returns
  /// `StreamOverflow::line` when the limit is or was already broken, `StreamOverflow::none`
  /// otherwise.
  template <typename OnLine>
  StreamOverflow append(std::string_view chunk, OnLine&& onLine);

  /// Forgets the partial line, the held-back bytes, a pending CR and a past overflow, so that
  /// nothing of one connection reaches the next.
  void closeAndReset();

  /// Whether a line broke the limit since construction or the last `closeAndReset()`.
  bool overflowed() const { return overflowed_; }

 private:
  static constexpr std::size_t kStopped = std::string_view::npos;

  // Decodes what the last chunk left pending (held-back bytes or a CR) against the start of
  // `chunk`. Returns where the rest of the chunk starts, or kStopped when nothing is left to do
  // (the chunk only extended the held-back bytes, or the line overflowed).
  std::size_t resume(std::string_view chunk);
  // Moves past the non-ASCII bytes at `i`: a well-formed run, or one ill-formed sequence that is
  // replaced or held back. Returns the next index, or kStopped after an overflow.
  std::size_t skipNonAscii(std::string_view chunk, std::size_t i, std::size_t& start);
  bool appendToLine(std::string_view bytes);
  StreamOverflow overflow();

  std::size_t maxLineBytes_;
  std::string currentString_;
  unsigned char remainder_[3] = {};
  std::uint8_t remainderSize_ = 0;
  bool seenCr_ = false;
  bool overflowed_ = false;
};

namespace utf8 {

// The index of the first byte at or after `i` that is LF, CR or not ASCII; `n` if there is none.
inline std::size_t findSpecial(const unsigned char* p, std::size_t i, std::size_t n) {
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  for (; i + 16 <= n; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    // A byte is flagged by its top bit: set by the comparisons, or already set when not ASCII.
    const __m128i flagged =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, lf), _mm_cmpeq_epi8(bytes, cr)), bytes);
    const int mask = _mm_movemask_epi8(flagged);
    if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
  }
#endif
  for (; i < n; ++i) {
    const unsigned char byte = p[i];
    if (byte >= 0x80 || byte == '\n' || byte == '\r') return i;
  }
  return n;
}

}  // namespace utf8

// The loop over plain ASCII and line ends is here, so that the caller's `onLine` is inlined into
// it; the rarer work is out of line.
template <typename OnLine>
StreamOverflow UTF8LineParser::append(std::string_view chunk, OnLine&& onLine) {
  if (overflowed_) return StreamOverflow::line;
  const auto* bytes = reinterpret_cast<const unsigned char*>(chunk.data());
  const std::size_t size = chunk.size();
  std::size_t i = 0;
  if (remainderSize_ > 0 || seenCr_) {
    i = resume(chunk);
    if (i == kStopped) return overflowed_ ? StreamOverflow::line : StreamOverflow::none;
  }
  // [start, i) is the part of the current line that is still only in the chunk.
  std::size_t start = i;
  while (true) {
    i = utf8::findSpecial(bytes, i, size);
    if (i == size) break;
    const unsigned char byte = bytes[i];
    if (byte != '\n' && byte != '\r') {
      i = skipNonAscii(chunk, i, start);
      if (i == kStopped) return StreamOverflow::line;
      continue;
    }
    const std::string_view piece = chunk.substr(start, i - start);
    if (currentString_.empty()) {
      if (piece.size() > maxLineBytes_) return overflow();
      onLine(piece);
    } else {
      if (!appendToLine(piece)) return overflow();
      onLine(std::string_view(currentString_));
      currentString_.clear();
    }
    ++i;
    if (byte == '\r') {
      if (i == size) {
        seenCr_ = true;
      } else if (bytes[i] == '\n') {
        ++i;
      }
    }
    start = i;
  }
  if (start < size && !appendToLine(chunk.substr(start))) return overflow();
  return StreamOverflow::none;
}

}  // namespace zelk::detail
