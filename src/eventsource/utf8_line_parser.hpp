// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#define ZELK_UTF8_SSE2 1
#elif defined(__ARM_NEON) && defined(__aarch64__)
#include <arm_neon.h>
#define ZELK_UTF8_NEON 1
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

namespace utf8 {

// The two scans that the line parser spends its time in, one byte at a time. `VectorKernels`
// does the same 16 bytes at a time; the parser is a template over them so that tests and the
// fuzzer can hold the vector paths against this one.
struct ScalarKernels {
  // The index of the first byte at or after `i` that is LF, CR or not ASCII; `n` if there is none.
  static std::size_t findSpecial(const unsigned char* p, std::size_t i, std::size_t n) {
    for (; i < n; ++i) {
      const unsigned char byte = p[i];
      if (byte >= 0x80 || byte == '\n' || byte == '\r') return i;
    }
    return n;
  }

  // From `i`, a sequence boundary where a byte >= 0x80 starts, the end of a stretch of complete,
  // well-formed sequences without CR or LF that can be skipped unchecked; `i` when there is none
  // (the caller then decodes one sequence at a time).
  static std::size_t wellFormedRun(const unsigned char*, std::size_t i, std::size_t) { return i; }
};

struct VectorKernels {
  static std::size_t findSpecial(const unsigned char* p, std::size_t i, std::size_t n);
  static std::size_t wellFormedRun(const unsigned char* p, std::size_t i, std::size_t n);
};

// Like findSpecial, for stretches of 64 bytes or more.
std::size_t findSpecialLong(const unsigned char* p, std::size_t i, std::size_t n);

#if defined(ZELK_UTF8_SSE2)
// Bit k is set when byte k of the 16 at p is LF, CR or not ASCII.
inline unsigned specialMask(const unsigned char* p) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // A byte is flagged by its top bit: set by the comparisons, or already set when not ASCII.
  const __m128i flagged = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')),
                                                    _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r'))),
                                       bytes);
  return static_cast<unsigned>(_mm_movemask_epi8(flagged));
}
inline std::size_t firstFlagged(unsigned mask) {
  return static_cast<std::size_t>(__builtin_ctz(mask));
}
inline unsigned dropFirst(unsigned mask, std::size_t count) {
  return mask >> count;
}
#elif defined(ZELK_UTF8_NEON)
// Four bits per byte: bits 4k to 4k+3 are set when byte k of the 16 at p is LF, CR or not ASCII.
inline std::uint64_t specialMask(const unsigned char* p) {
  const uint8x16_t bytes = vld1q_u8(p);
  const uint8x16_t flagged =
      vorrq_u8(vorrq_u8(vceqq_u8(bytes, vdupq_n_u8('\n')), vceqq_u8(bytes, vdupq_n_u8('\r'))),
               vcgeq_u8(bytes, vdupq_n_u8(0x80)));
  const uint8x8_t narrowed = vshrn_n_u16(vreinterpretq_u16_u8(flagged), 4);
  return vget_lane_u64(vreinterpret_u64_u8(narrowed), 0);
}
inline std::size_t firstFlagged(std::uint64_t mask) {
  return static_cast<std::size_t>(__builtin_ctzll(mask)) / 4;
}
inline std::uint64_t dropFirst(std::uint64_t mask, std::size_t count) {
  return mask >> (4 * count);
}
#endif

inline std::size_t VectorKernels::findSpecial(const unsigned char* p, std::size_t i,
                                              std::size_t n) {
#if defined(ZELK_UTF8_SSE2) || defined(ZELK_UTF8_NEON)
  if (n - i >= 16) {
    // Most lines end in the first blocks; long stretches go on out of line.
    for (int block = 0; block < 4; ++block) {
      if (const auto mask = specialMask(p + i)) return i + firstFlagged(mask);
      i += 16;
      if (n - i < 16) break;
    }
    if (n - i >= 64) return findSpecialLong(p, i, n);
    for (; n - i >= 16; i += 16) {
      if (const auto mask = specialMask(p + i)) return i + firstFlagged(mask);
    }
    if (i == n) return n;
    // The last bytes: one block that ends at `n`, its bytes before `i` (already seen) left out.
    const std::size_t seen = 16 - (n - i);
    const auto mask = dropFirst(specialMask(p + n - 16), seen);
    return mask ? i + firstFlagged(mask) : n;
  }
#endif
  return ScalarKernels::findSpecial(p, i, n);
}

}  // namespace utf8

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
/// built in a buffer that keeps its capacity from line to line. Line ends are found 16 bytes at a
/// time (SSE2 or NEON), and multi-byte text is checked 16 bytes at a time on processors with
/// SSSE3 or NEON; `Kernels` = `utf8::ScalarKernels` does both one byte at a time, with the same
/// results.
///
/// A line longer than `maxLineBytes` (counting its UTF-8 bytes, replacements included) is an
/// overflow: the parser drops the partial line and held-back bytes, and ignores all input until
/// `closeAndReset()`. The lines before the long one have been handed out by then.
///
/// Not thread-safe: one owner calls it from one thread at a time.
template <typename Kernels>
class BasicUTF8LineParser {
 public:
  static constexpr std::size_t kDefaultMaxLineBytes = std::size_t{1} << 20;

  explicit BasicUTF8LineParser(std::size_t maxLineBytes = kDefaultMaxLineBytes)
      : maxLineBytes_(maxLineBytes) {}

  /// Decodes `chunk` (possibly empty) and calls `onLine(std::string_view)` for every line it
  /// completes, in stream order. The view is valid only during that call. Returns
  /// `StreamOverflow::line` when the limit is or was already broken, `StreamOverflow::none`
  /// otherwise.
  template <typename OnLine>
  StreamOverflow append(std::string_view chunk, OnLine&& onLine);

  /// Like `append`, for a consumer that can take a long line in parts instead of having the
  /// parser collect it first. `sink.line(view)` receives whole lines as `onLine` does. When a
  /// line is still open at the end of a chunk, `sink.lineStart(head)` is offered its first
  /// bytes; when it returns true, the rest of the line goes to `sink.linePart(bytes)` as it is
  /// decoded (replacements included) and its last bytes to `sink.lineEnd(bytes)`. The line limit
  /// holds all the same. A parser fed through a sink once must always be fed through one.
  template <typename Sink>
  StreamOverflow appendTo(std::string_view chunk, Sink& sink);

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
  // Moves on from the non-ASCII byte at `i` to the next CR or LF, or to the end of the chunk,
  // replacing ill-formed sequences and holding back an unfinished one at the end. Returns the
  // next index, or kStopped after an overflow.
  std::size_t skipNonAscii(std::string_view chunk, std::size_t i, std::size_t& start);
  bool appendToLine(std::string_view bytes);
  StreamOverflow overflow();

  // `append`'s callback as a sink that never takes a line in parts.
  template <typename OnLine>
  struct WholeLines {
    OnLine& onLine;
    void line(std::string_view text) { onLine(text); }
    bool lineStart(std::string_view) { return false; }
    void linePart(std::string_view) {}
    void lineEnd(std::string_view) {}
  };

  std::size_t maxLineBytes_;
  std::string currentString_;
  // A line whose parts go to the sink: its bytes so far, and the sink of the current call.
  bool lineTaken_ = false;
  std::size_t takenBytes_ = 0;
  void* sink_ = nullptr;
  void (*sinkPart_)(void*, std::string_view) = nullptr;
  unsigned char remainder_[3] = {};
  std::uint8_t remainderSize_ = 0;
  bool seenCr_ = false;
  bool overflowed_ = false;
};

using UTF8LineParser = BasicUTF8LineParser<utf8::VectorKernels>;
extern template class BasicUTF8LineParser<utf8::VectorKernels>;
extern template class BasicUTF8LineParser<utf8::ScalarKernels>;

// The loop over plain ASCII and line ends is here, so that the caller's `onLine` is inlined into
// it; the rarer work is out of line.
template <typename Kernels>
template <typename OnLine>
StreamOverflow BasicUTF8LineParser<Kernels>::append(std::string_view chunk, OnLine&& onLine) {
  WholeLines<OnLine> sink{onLine};
  return appendTo(chunk, sink);
}

template <typename Kernels>
template <typename Sink>
StreamOverflow BasicUTF8LineParser<Kernels>::appendTo(std::string_view chunk, Sink& sink) {
  if (overflowed_) return StreamOverflow::line;
  sink_ = &sink;
  sinkPart_ = [](void* to, std::string_view part) { static_cast<Sink*>(to)->linePart(part); };
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
    i = Kernels::findSpecial(bytes, i, size);
    if (i == size) break;
    const unsigned char byte = bytes[i];
    if (byte != '\n' && byte != '\r') {
      i = skipNonAscii(chunk, i, start);
      if (i == kStopped) return StreamOverflow::line;
      if (i == size) break;
    }
    const unsigned char end = bytes[i];
    const std::string_view piece = chunk.substr(start, i - start);
    if (lineTaken_) {
      if (piece.size() > maxLineBytes_ - takenBytes_) return overflow();
      lineTaken_ = false;
      takenBytes_ = 0;
      sink.lineEnd(piece);
    } else if (currentString_.empty()) {
      if (piece.size() > maxLineBytes_) return overflow();
      sink.line(piece);
    } else {
      if (!appendToLine(piece)) return overflow();
      sink.line(std::string_view(currentString_));
      currentString_.clear();
    }
    ++i;
    if (end == '\r') {
      if (i == size) {
        seenCr_ = true;
      } else if (bytes[i] == '\n') {
        ++i;
      }
    }
    start = i;
  }
  if (start < size) {
    const std::string_view tail = chunk.substr(start);
    if (!lineTaken_ && currentString_.empty() && tail.size() <= maxLineBytes_ &&
        sink.lineStart(tail)) {
      lineTaken_ = true;
      takenBytes_ = tail.size();
    } else if (!appendToLine(tail)) {
      return overflow();
    }
  }
  return StreamOverflow::none;
}

}  // namespace zelk::detail
