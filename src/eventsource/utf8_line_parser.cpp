// SPDX-License-Identifier: Apache-2.0
#include "eventsource/utf8_line_parser.hpp"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace zelk::detail {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Shrinking a line buffer after an unusually long line gives the memory back; shorter buffers
// keep their capacity for the next lines.
constexpr std::size_t kKeptCapacity = 64 * 1024;

struct Decoded {
  std::size_t length;  // of the scalar, or of the maximal subpart when ill-formed
  bool valid;
};

// Decodes the sequence that starts with the byte p[0] >= 0x80, with `available` >= 1 bytes at p.
// The ranges are those of the well-formed byte sequences in the Unicode standard (Table 3-7); an
// ill-formed sequence reports its maximal subpart, and a sequence cut short by the end of the
// input reports what it has.
inline Decoded decodeMultiByte(const unsigned char* p, std::size_t available) {
  const unsigned char lead = p[0];
  std::size_t length;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead < 0xC2) {
    return {1, false};  // continuation byte, or the lead of an overlong two-byte form
  } else if (lead <= 0xDF) {
    length = 2;
  } else if (lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return {1, false};
  }
  if (available < 2 || p[1] < low || p[1] > high) return {1, false};
  for (std::size_t k = 2; k < length; ++k) {
    if (k >= available || (p[k] & 0xC0) != 0x80) return {k, false};
  }
  return {length, true};
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ZELK_UTF8_SSSE3 1
#endif

#if defined(ZELK_UTF8_SSSE3) || defined(ZELK_UTF8_NEON)

// Validates whole 16-byte blocks at once with the lookup method of Keiser and Lemire ("Validating
// UTF-8 in less than one instruction per byte", 2021): three nibble-indexed tables classify each
// pair of adjacent bytes, and the positions two and three bytes after a three- or four-byte lead
// must hold continuation bytes.
namespace lookup {
constexpr char kTooShort = 1 << 0;                     // lead byte followed by a non-continuation
constexpr char kTooLong = 1 << 1;                      // ASCII followed by a continuation
constexpr char kOverlong3 = 1 << 2;                    // E0 80..9F
constexpr char kTooLarge = 1 << 3;                     // F4 90..BF, or F5..FF
constexpr char kSurrogate = 1 << 4;                    // ED A0..BF
constexpr char kOverlong2 = 1 << 5;                    // C0, C1
constexpr char kTooLarge1000 = 1 << 6;                 // F5..FF 80..8F
constexpr char kOverlong4 = 1 << 6;                    // F0 80..8F
constexpr char kTwoConts = static_cast<char>(1 << 7);  // continuation after continuation
constexpr char kCarry = kTooShort | kTooLong | kTwoConts;
}  // namespace lookup
#endif

#if defined(ZELK_UTF8_SSSE3)
// Returns the end of the longest run from `i` (a sequence boundary) that holds only complete,
// well-formed sequences and no CR or LF: whole blocks, then the part of the next block before its
// first line end when that part is sound, else cut back to the last sequence boundary; `i`
// itself when the first block fails before any line end.
__attribute__((target("ssse3"))) std::size_t wellFormedRunSsse3(const unsigned char* p,
                                                                std::size_t i, std::size_t n) {
  using namespace lookup;
  const __m128i byte1High = _mm_setr_epi8(
      kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTwoConts,
      kTwoConts, kTwoConts, kTwoConts, kTooShort | kOverlong2, kTooShort,
      kTooShort | kOverlong3 | kSurrogate, kTooShort | kTooLarge | kTooLarge1000 | kOverlong4);
  const __m128i byte1Low = _mm_setr_epi8(
      kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
      kCarry | kTooLarge, kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000 | kSurrogate, kCarry | kTooLarge | kTooLarge1000,
      kCarry | kTooLarge | kTooLarge1000);
  const __m128i byte2High = _mm_setr_epi8(
      kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
      kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
      kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
      kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
      kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge, kTooShort, kTooShort, kTooShort,
      kTooShort);
  const __m128i lowNibble = _mm_set1_epi8(0x0F);
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i zero = _mm_setzero_si128();

  __m128i previous = zero;  // what precedes `i` is complete, so it counts as ASCII
  std::size_t boundary = i;
  for (std::size_t at = i; at + 16 <= n; at += 16) {
    const __m128i input = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
    const __m128i prev1 = _mm_alignr_epi8(input, previous, 15);
    const __m128i special = _mm_and_si128(
        _mm_and_si128(
            _mm_shuffle_epi8(byte1High, _mm_and_si128(_mm_srli_epi16(prev1, 4), lowNibble)),
            _mm_shuffle_epi8(byte1Low, _mm_and_si128(prev1, lowNibble))),
        _mm_shuffle_epi8(byte2High, _mm_and_si128(_mm_srli_epi16(input, 4), lowNibble)));
    // Only bytes 111xxxxx two back, or 1111xxxx three back, keep their top bit.
    const __m128i third = _mm_subs_epu8(_mm_alignr_epi8(input, previous, 14), _mm_set1_epi8(0x60));
    const __m128i fourth = _mm_subs_epu8(_mm_alignr_epi8(input, previous, 13), _mm_set1_epi8(0x70));
    const __m128i mustContinue =
        _mm_and_si128(_mm_or_si128(third, fourth), _mm_set1_epi8(static_cast<char>(0x80)));
    const __m128i error = _mm_xor_si128(mustContinue, special);
    const auto lineEnds = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(input, lf), _mm_cmpeq_epi8(input, cr))));
    const auto errors =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(error, zero))) ^ 0xFFFF;
    if ((lineEnds | errors) != 0) {
      // An error is flagged at the byte where its sequence goes wrong, at the latest where a cut
      // sequence should go on, so with none up to and at the first line end, all before it is
      // complete and well-formed.
      if (lineEnds == 0) break;
      const auto end = static_cast<unsigned>(__builtin_ctz(lineEnds));
      if ((errors & ((2u << end) - 1)) == 0) return at + end;
      break;
    }
    previous = input;
    // A sequence left open at the end of the block is finished (or not) by the next one.
    const unsigned char* last = p + at + 15;
    if (last[0] >= 0xC0) {
      boundary = at + 15;
    } else if (last[-1] >= 0xE0) {
      boundary = at + 14;
    } else if (last[-2] >= 0xF0) {
      boundary = at + 13;
    } else {
      boundary = at + 16;
    }
  }
  return boundary;
}
#endif

#if defined(ZELK_UTF8_NEON)
// The same check as wellFormedRunSsse3 with NEON's table lookups.
std::size_t wellFormedRunNeon(const unsigned char* p, std::size_t i, std::size_t n) {
  using namespace lookup;
  constexpr auto u = [](char c) { return static_cast<std::uint8_t>(c); };
  const std::uint8_t byte1HighTable[16] = {u(kTooLong),
                                           u(kTooLong),
                                           u(kTooLong),
                                           u(kTooLong),
                                           u(kTooLong),
                                           u(kTooLong),
                                           u(kTooLong),
                                           u(kTooLong),
                                           u(kTwoConts),
                                           u(kTwoConts),
                                           u(kTwoConts),
                                           u(kTwoConts),
                                           u(kTooShort | kOverlong2),
                                           u(kTooShort),
                                           u(kTooShort | kOverlong3 | kSurrogate),
                                           u(kTooShort | kTooLarge | kTooLarge1000 | kOverlong4)};
  const std::uint8_t byte1LowTable[16] = {u(kCarry | kOverlong3 | kOverlong2 | kOverlong4),
                                          u(kCarry | kOverlong2),
                                          u(kCarry),
                                          u(kCarry),
                                          u(kCarry | kTooLarge),
                                          u(kCarry | kTooLarge | kTooLarge1000),
                                          u(kCarry | kTooLarge | kTooLarge1000),
                                          u(kCarry | kTooLarge | kTooLarge1000),
                                          u(kCarry | kTooLarge | kTooLarge1000),
                                          u(kCarry | kTooLarge | kTooLarge1000),
                                          u(kCarry | kTooLarge | kTooLarge1000),
                                          u(kCarry | kTooLarge | kTooLarge1000),
                                          u(kCarry | kTooLarge | kTooLarge1000),
                                          u(kCarry | kTooLarge | kTooLarge1000 | kSurrogate),
                                          u(kCarry | kTooLarge | kTooLarge1000),
                                          u(kCarry | kTooLarge | kTooLarge1000)};
  const std::uint8_t byte2HighTable[16] = {
      u(kTooShort),
      u(kTooShort),
      u(kTooShort),
      u(kTooShort),
      u(kTooShort),
      u(kTooShort),
      u(kTooShort),
      u(kTooShort),
      u(kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4),
      u(kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge),
      u(kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge),
      u(kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge),
      u(kTooShort),
      u(kTooShort),
      u(kTooShort),
      u(kTooShort)};
  const uint8x16_t byte1High = vld1q_u8(byte1HighTable);
  const uint8x16_t byte1Low = vld1q_u8(byte1LowTable);
  const uint8x16_t byte2High = vld1q_u8(byte2HighTable);
  const uint8x16_t lowNibble = vdupq_n_u8(0x0F);
  const uint8x16_t lf = vdupq_n_u8('\n');
  const uint8x16_t cr = vdupq_n_u8('\r');
  // Four bits per byte, as in utf8::specialMask.
  const auto bitsOf = [](uint8x16_t flags) {
    return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(flags), 4)), 0);
  };

  uint8x16_t previous = vdupq_n_u8(0);  // what precedes `i` is complete, so it counts as ASCII
  std::size_t boundary = i;
  for (std::size_t at = i; at + 16 <= n; at += 16) {
    const uint8x16_t input = vld1q_u8(p + at);
    const uint8x16_t prev1 = vextq_u8(previous, input, 15);
    const uint8x16_t special = vandq_u8(vandq_u8(vqtbl1q_u8(byte1High, vshrq_n_u8(prev1, 4)),
                                                 vqtbl1q_u8(byte1Low, vandq_u8(prev1, lowNibble))),
                                        vqtbl1q_u8(byte2High, vshrq_n_u8(input, 4)));
    // Only bytes 111xxxxx two back, or 1111xxxx three back, keep their top bit.
    const uint8x16_t third = vqsubq_u8(vextq_u8(previous, input, 14), vdupq_n_u8(0x60));
    const uint8x16_t fourth = vqsubq_u8(vextq_u8(previous, input, 13), vdupq_n_u8(0x70));
    const uint8x16_t mustContinue = vandq_u8(vorrq_u8(third, fourth), vdupq_n_u8(0x80));
    const uint8x16_t error = veorq_u8(mustContinue, special);
    const uint8x16_t lineEndFlags = vorrq_u8(vceqq_u8(input, lf), vceqq_u8(input, cr));
    if (vmaxvq_u8(vorrq_u8(error, lineEndFlags)) != 0) {
      // See wellFormedRunSsse3 for why the bytes before the first line end are then sound.
      const std::uint64_t lineEnds = bitsOf(lineEndFlags);
      if (lineEnds == 0) break;
      const auto end = static_cast<unsigned>(__builtin_ctzll(lineEnds)) / 4;
      const std::uint64_t errors = bitsOf(vtstq_u8(error, error));
      const std::uint64_t upToEnd =
          end == 15 ? ~std::uint64_t{0} : (std::uint64_t{1} << (4 * end + 4)) - 1;
      if ((errors & upToEnd) == 0) return at + end;
      break;
    }
    previous = input;
    // A sequence left open at the end of the block is finished (or not) by the next one.
    const unsigned char* last = p + at + 15;
    if (last[0] >= 0xC0) {
      boundary = at + 15;
    } else if (last[-1] >= 0xE0) {
      boundary = at + 14;
    } else if (last[-2] >= 0xF0) {
      boundary = at + 13;
    } else {
      boundary = at + 16;
    }
  }
  return boundary;
}
#endif

}  // namespace

namespace utf8 {

std::size_t VectorKernels::wellFormedRun(const unsigned char* p, std::size_t i, std::size_t n) {
#if defined(ZELK_UTF8_SSSE3)
  static const bool hasSsse3 = __builtin_cpu_supports("ssse3");
  if (hasSsse3) return wellFormedRunSsse3(p, i, n);
#elif defined(ZELK_UTF8_NEON)
  return wellFormedRunNeon(p, i, n);
#endif
  return ScalarKernels::wellFormedRun(p, i, n);
}

#if defined(ZELK_UTF8_SSSE3)
namespace {
__attribute__((target("avx2"))) inline __m256i flagsAvx2(const unsigned char* p) {
  const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  // As in specialMask: the top bit flags LF, CR and bytes that are not ASCII.
  return _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\n')),
                                         _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\r'))),
                         bytes);
}

// findSpecialLong with 32-byte blocks, two per step; stops with fewer than 64 bytes left.
__attribute__((target("avx2"))) std::size_t findSpecialAvx2(const unsigned char* p, std::size_t& i,
                                                            std::size_t n) {
  for (; n - i >= 64; i += 64) {
    const __m256i first = flagsAvx2(p + i);
    const __m256i second = flagsAvx2(p + i + 32);
    if (_mm256_movemask_epi8(_mm256_or_si256(first, second)) == 0) continue;
    const auto low = static_cast<unsigned>(_mm256_movemask_epi8(first));
    if (low != 0) return i + static_cast<std::size_t>(__builtin_ctz(low));
    const auto high = static_cast<unsigned>(_mm256_movemask_epi8(second));
    return i + 32 + static_cast<std::size_t>(__builtin_ctz(high));
  }
  return n;
}
}  // namespace
#endif

std::size_t findSpecialLong(const unsigned char* p, std::size_t i, std::size_t n) {
#if defined(ZELK_UTF8_SSSE3)
  static const bool hasAvx2 = __builtin_cpu_supports("avx2");
  if (hasAvx2) {
    const std::size_t found = findSpecialAvx2(p, i, n);
    if (found != n) return found;
  }
#endif
#if defined(ZELK_UTF8_SSE2) || defined(ZELK_UTF8_NEON)
  // Four blocks per step; the one that holds the first flagged byte is found afterwards.
  for (; n - i >= 64; i += 64) {
    if ((specialMask(p + i) | specialMask(p + i + 16) | specialMask(p + i + 32) |
         specialMask(p + i + 48)) != 0)
      break;
  }
  return VectorKernels::findSpecial(p, i, n);  // fewer than 64 bytes, or a flag among them
#endif
  return ScalarKernels::findSpecial(p, i, n);
}

}  // namespace utf8

std::string_view describe(StreamOverflow overflow) {
  switch (overflow) {
    case StreamOverflow::none:
      return "no limit exceeded";
    case StreamOverflow::line:
      return "the stream sent a line longer than the line limit";
    case StreamOverflow::event:
      return "the stream sent an event larger than the event limit";
  }
  return "unknown stream limit exceeded";
}

template <typename Kernels>
void BasicUTF8LineParser<Kernels>::closeAndReset() {
  seenCr_ = false;
  currentString_.clear();
  if (currentString_.capacity() > kKeptCapacity) currentString_.shrink_to_fit();
  lineTaken_ = false;
  takenBytes_ = 0;
  remainderSize_ = 0;
  overflowed_ = false;
}

template <typename Kernels>
bool BasicUTF8LineParser<Kernels>::appendToLine(std::string_view bytes) {
  if (lineTaken_) {
    if (bytes.size() > maxLineBytes_ - takenBytes_) return false;
    takenBytes_ += bytes.size();
    sinkPart_(sink_, bytes);
    return true;
  }
  if (bytes.size() > maxLineBytes_ - currentString_.size()) return false;
  currentString_.append(bytes);
  return true;
}

template <typename Kernels>
StreamOverflow BasicUTF8LineParser<Kernels>::overflow() {
  currentString_.clear();
  currentString_.shrink_to_fit();
  lineTaken_ = false;
  takenBytes_ = 0;
  remainderSize_ = 0;
  seenCr_ = false;
  overflowed_ = true;
  return StreamOverflow::line;
}

template <typename Kernels>
std::size_t BasicUTF8LineParser<Kernels>::resume(std::string_view chunk) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(chunk.data());
  const std::size_t size = chunk.size();
  if (size == 0) return kStopped;  // an empty chunk changes nothing
  if (seenCr_) {
    seenCr_ = false;
    return bytes[0] == '\n' ? 1 : 0;  // the LF of a CRLF pair cut between two chunks
  }
  // The held-back bytes start the input: decode the sequence they begin, borrowing at most three
  // bytes from the chunk.
  unsigned char joined[6];
  std::memcpy(joined, remainder_, remainderSize_);
  const std::size_t borrowed = size < 3 ? size : 3;
  std::memcpy(joined + remainderSize_, bytes, borrowed);
  const std::size_t joinedSize = remainderSize_ + borrowed;
  const Decoded decoded = decodeMultiByte(joined, joinedSize);
  if (!decoded.valid && decoded.length == joinedSize) {
    // Still unfinished at the end of the input (so the whole chunk was borrowed).
    std::memcpy(remainder_, joined, joinedSize);
    remainderSize_ = static_cast<std::uint8_t>(joinedSize);
    return kStopped;
  }
  const std::string_view scalar =
      decoded.valid ? std::string_view(reinterpret_cast<const char*>(joined), decoded.length)
                    : kReplacement;
  const std::size_t next = decoded.length - remainderSize_;
  remainderSize_ = 0;
  if (!appendToLine(scalar)) {
    overflow();
    return kStopped;
  }
  return next;
}

template <typename Kernels>
std::size_t BasicUTF8LineParser<Kernels>::skipNonAscii(std::string_view chunk, std::size_t i,
                                                       std::size_t& start) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(chunk.data());
  const std::size_t size = chunk.size();
  if (size - i >= 16) i = Kernels::wellFormedRun(bytes, i, size);
  // The rest one sequence at a time, staying here until the line ends rather than going back to
  // the caller's loop for every character.
  while (i < size) {
    const unsigned char byte = bytes[i];
    if (byte < 0x80) {
      if (byte == '\n' || byte == '\r') return i;
      i = Kernels::findSpecial(bytes, i + 1, size);
      continue;
    }
    const Decoded decoded = decodeMultiByte(bytes + i, size - i);
    if (decoded.valid) {
      i += decoded.length;
      continue;
    }
    if (!appendToLine(chunk.substr(start, i - start))) {
      overflow();
      return kStopped;
    }
    if (i + decoded.length == size) {
      // An unfinished (or ill-formed) sequence at the end waits for the next chunk.
      std::memcpy(remainder_, bytes + i, decoded.length);
      remainderSize_ = static_cast<std::uint8_t>(decoded.length);
      start = size;
      return size;
    }
    if (!appendToLine(kReplacement)) {
      overflow();
      return kStopped;
    }
    start = i + decoded.length;
    i = start;
  }
  return size;
}

template class BasicUTF8LineParser<utf8::VectorKernels>;
template class BasicUTF8LineParser<utf8::ScalarKernels>;

}  // namespace zelk::detail
