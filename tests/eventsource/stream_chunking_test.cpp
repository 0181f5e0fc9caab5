// SPDX-License-Identifier: Apache-2.0
// Random streams, cut into random chunks, must give what the whole stream gives; the lines must
// also match a slow model that decodes straight from the definition of well-formed UTF-8.

#include "eventsource/event_parser.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace zelk::detail {
namespace {

using Lines = std::vector<std::string>;

// Every encoding of every Unicode scalar value, and every proper prefix of one, as sorted keys.
class Utf8Tables {
 public:
  Utf8Tables() {
    for (std::uint32_t c = 0x80; c <= 0x10FFFF; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      char encoded[4];
      std::size_t length;
      if (c < 0x800) {
        encoded[0] = char(0xC0 | (c >> 6));
        length = 2;
      } else if (c < 0x10000) {
        encoded[0] = char(0xE0 | (c >> 12));
        length = 3;
      } else {
        encoded[0] = char(0xF0 | (c >> 18));
        length = 4;
      }
      for (std::size_t k = 1; k < length; ++k) {
        encoded[k] = char(0x80 | ((c >> (6 * (length - 1 - k))) & 0x3F));
      }
      const std::string bytes(encoded, length);
      for (std::size_t k = 1; k < bytes.size(); ++k) prefixes_.push_back(key(bytes.substr(0, k)));
      sequences_.push_back(key(bytes));
    }
    for (auto* keys : {&sequences_, &prefixes_}) {
      std::sort(keys->begin(), keys->end());
      keys->erase(std::unique(keys->begin(), keys->end()), keys->end());
    }
  }

  bool isSequence(std::string_view bytes) const {
    return std::binary_search(sequences_.begin(), sequences_.end(), key(bytes));
  }
  bool isPrefix(std::string_view bytes) const {
    return std::binary_search(prefixes_.begin(), prefixes_.end(), key(bytes));
  }

 private:
  // Up to four bytes and their count.
  static std::uint64_t key(std::string_view bytes) {
    std::uint64_t packed = bytes.size();
    for (const char b : bytes) packed = (packed << 8) | static_cast<unsigned char>(b);
    return packed;
  }

  std::vector<std::uint64_t> sequences_;
  std::vector<std::uint64_t> prefixes_;
};

const Utf8Tables& tables() {
  static const Utf8Tables instance;
  return instance;
}

// The lines of `input` fed whole, one scalar at a time.
Lines modelLines(const std::string& input) {
  Lines lines;
  std::string current;
  bool seenCr = false;
  std::size_t i = 0;
  while (i < input.size()) {
    std::size_t length = 0;
    if (static_cast<unsigned char>(input[i]) < 0x80) {
      length = 1;
    } else {
      for (std::size_t k = 2; k <= 4 && i + k <= input.size(); ++k) {
        if (tables().isSequence(std::string_view(input).substr(i, k))) length = k;
      }
    }
    if (length == 0) {  // ill-formed: find its maximal subpart
      std::size_t subpart = 1;
      for (std::size_t k = 1; k <= 3 && i + k <= input.size(); ++k) {
        if (tables().isPrefix(std::string_view(input).substr(i, k))) subpart = k;
      }
      seenCr = false;
      if (i + subpart == input.size()) break;  // held back
      current += "\xEF\xBF\xBD";
      i += subpart;
      continue;
    }
    const char c = input[i];
    if (seenCr && c == '\n') {
      seenCr = false;
    } else {
      seenCr = c == '\r';
      if (c == '\r' || c == '\n') {
        lines.push_back(current);
        current.clear();
      } else {
        current.append(input, i, length);
      }
    }
    i += length;
  }
  return lines;
}

// A random stream made mostly of pieces of event-stream syntax, with some raw bytes.
std::string randomStream(std::mt19937_64& random) {
  static const std::vector<std::string> pieces = {"data",
                                                  "data: ",
                                                  "id: ",
                                                  "id",
                                                  "event: ",
                                                  "retry: ",
                                                  "retry: 1500",
                                                  ":",
                                                  " ",
                                                  "x",
                                                  "hello",
                                                  "\n",
                                                  "\r",
                                                  "\r\n",
                                                  "\n\n",
                                                  "\r\n\r\n",
                                                  "0",
                                                  "\xC3\xA9",
                                                  "\xE2\x82\xAC",
                                                  "\xF0\x9F\x98\x80",
                                                  "\xEF\xBB\xBF",
                                                  std::string(1, '\0'),
                                                  "\xFF",
                                                  "\xC3",
                                                  "\xE2\x82",
                                                  "\xF0\x9F\x98",
                                                  "\xED\xA0\x80",
                                                  "\xC0\xAF",
                                                  std::string(40, 'a')};
  std::uniform_int_distribution<std::size_t> pieceCount(0, 60);
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() + 3);
  std::uniform_int_distribution<int> anyByte(0, 255);
  std::string stream;
  for (std::size_t n = pieceCount(random); n > 0; --n) {
    const std::size_t index = pick(random);
    if (index < pieces.size()) {
      stream += pieces[index];
    } else {
      stream.push_back(static_cast<char>(anyByte(random)));
    }
  }
  return stream;
}

std::vector<std::string> randomChunks(const std::string& stream, std::mt19937_64& random) {
  std::uniform_int_distribution<std::size_t> maxSize(1, 24);
  std::uniform_int_distribution<std::size_t> size(0, maxSize(random));
  std::vector<std::string> chunks;
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t n = std::min(size(random), stream.size() - at);
    chunks.push_back(stream.substr(at, n));
    at += n;
  }
  return chunks;
}

struct LineResult {
  Lines lines;
  bool overflowed = false;
  bool operator==(const LineResult&) const = default;
};

LineResult splitLines(const std::vector<std::string>& chunks, std::size_t maxLine) {
  UTF8LineParser parser(maxLine);
  LineResult result;
  for (const auto& chunk : chunks) {
    if (parser.append(chunk, [&](std::string_view line) { result.lines.emplace_back(line); }) !=
        StreamOverflow::none) {
      result.overflowed = true;
    }
  }
  return result;
}

class Recorder : public EventHandler {
 public:
  void onOpened() override { calls.push_back("opened"); }
  void onClosed() override { calls.push_back("closed"); }
  void onMessage(std::string_view type, const MessageEvent& event) override {
    calls.push_back("message|" + std::string(type) + "|" + event.data + "|" + event.lastEventId);
  }
  void onComment(std::string_view comment) override {
    calls.push_back("comment|" + std::string(comment));
  }
  void onError(const StreamError& error) override { calls.push_back("error|" + error.description); }

  std::vector<std::string> calls;
};

struct EventResult {
  std::vector<std::string> calls;
  std::string lastEventId;
  double retry = 0;
  StreamOverflow overflow = StreamOverflow::none;
  bool operator==(const EventResult&) const = default;
};

EventResult parseEvents(const std::vector<std::string>& chunks, std::size_t maxLine,
                        std::size_t maxEvent) {
  auto recorder = std::make_shared<Recorder>();
  UTF8LineParser lines(maxLine);
  EventParser events(recorder, "start", 1.0, maxEvent);
  EventResult result;
  for (const auto& chunk : chunks) {
    const StreamOverflow overflow = feedChunk(lines, events, chunk);
    if (result.overflow == StreamOverflow::none) result.overflow = overflow;
  }
  result.calls = recorder->calls;
  result.lastEventId = events.getLastEventId();
  result.retry = events.currentRetry();
  return result;
}

TEST(StreamChunkingTest, LinesMatchTheModelWholeAndInRandomChunks) {
  std::mt19937_64 random(20240611);
  for (int round = 0; round < 400; ++round) {
    const std::string stream = randomStream(random);
    const Lines expected = modelLines(stream);
    ASSERT_EQ(splitLines({stream}, UTF8LineParser::kDefaultMaxLineBytes).lines, expected)
        << "round " << round;
    for (int cut = 0; cut < 4; ++cut) {
      ASSERT_EQ(
          splitLines(randomChunks(stream, random), UTF8LineParser::kDefaultMaxLineBytes).lines,
          expected)
          << "round " << round << ", cut " << cut;
    }
  }
}

TEST(StreamChunkingTest, LongStreamsMatchTheModel) {
  // Long runs exercise the vectorised scan; single-byte chunks the carry-over at every byte.
  std::mt19937_64 random(7);
  for (int round = 0; round < 20; ++round) {
    std::string stream;
    for (int part = 0; part < 20; ++part) stream += randomStream(random);
    const Lines expected = modelLines(stream);
    ASSERT_EQ(splitLines({stream}, UTF8LineParser::kDefaultMaxLineBytes).lines, expected);
    std::vector<std::string> bytes;
    for (const char c : stream) bytes.emplace_back(1, c);
    ASSERT_EQ(splitLines(bytes, UTF8LineParser::kDefaultMaxLineBytes).lines, expected);
  }
}

TEST(StreamChunkingTest, OneBadByteInLongMultiByteTextMatchesTheModel) {
  // Long runs of multi-byte text go through the block-wise check; one byte replaced anywhere
  // must give exactly the replacements the model gives, whole and in odd-sized chunks.
  const std::string text =
      "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC\xE8\xA8\xAD\xE5\x82\x99\xF0\x9F\x94\x90\xF0\x9F\x93\xB1 "
      "\xD0\x9F\xD0\xB0\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF\xE0\xA0\x80\xF0\x90\x80\x80"
      "\xC2\x80\xDF\xBF\xEF\xBF\xBD\xE2\x9C\x85\xCE\x9F\xCE\xBB\xEA\xB3\x84\xEC\xA0\x95";
  const std::string stream = text + text + "\n" + text + "\r\n";
  ASSERT_EQ(modelLines(stream).size(), 2u);
  for (std::size_t at = 0; at < stream.size(); ++at) {
    for (const int bad : {0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC3, 0xE0, 0xED, 0xEF,
                          0xF0, 0xF4, 0xF5, 0xFF, 0x61, 0x0A, 0x0D}) {
      std::string corrupted = stream;
      corrupted[at] = static_cast<char>(bad);
      const Lines expected = modelLines(corrupted);
      ASSERT_EQ(splitLines({corrupted}, UTF8LineParser::kDefaultMaxLineBytes).lines, expected)
          << "byte " << int(bad) << " at " << at;
      std::vector<std::string> chunks;
      for (std::size_t c = 0; c < corrupted.size(); c += 37)
        chunks.push_back(corrupted.substr(c, 37));
      ASSERT_EQ(splitLines(chunks, UTF8LineParser::kDefaultMaxLineBytes).lines, expected)
          << "byte " << int(bad) << " at " << at << ", chunks of 37";
    }
  }
}

TEST(StreamChunkingTest, LongDataLinesCutAnywhereGiveTheEventsOfWholeLines) {
  // Data lines longer than the chunks go into the event in parts; with bad bytes, sequences and
  // CRLF pairs cut at chunk ends, and limits just below, at and above the lines' sizes, the events
  // and overflows are those of the whole stream.
  std::string text;
  for (int k = 0; k < 60; ++k) text += "abc\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 ";
  const std::string stream = "data: " + text + "\r\ndata:" + text + "\xFF\xC3\r\n\r\n" +
                             "data: " + text + "\n" + "data:" + "\n\n" +
                             "data: " + text.substr(0, 7) + "\xE2\x82";
  for (const std::size_t maxLine : {std::size_t{700}, std::size_t{1086}, std::size_t{4096}}) {
    for (const std::size_t maxEvent :
         {std::size_t{300}, std::size_t{1000}, std::size_t{2200}, std::size_t{65536}}) {
      const EventResult whole = parseEvents({stream}, maxLine, maxEvent);
      for (std::size_t size = 1; size < 200; size += 13) {
        std::vector<std::string> chunks;
        for (std::size_t at = 0; at < stream.size(); at += size)
          chunks.push_back(stream.substr(at, size));
        ASSERT_EQ(parseEvents(chunks, maxLine, maxEvent), whole)
            << "chunks of " << size << ", limits " << maxLine << " and " << maxEvent;
      }
    }
  }
  // At least one of the cases dispatches the long events.
  EXPECT_EQ(parseEvents({stream}, 4096, 65536).calls.size(), 2u);
}

TEST(StreamChunkingTest, EventsAndLimitsDoNotDependOnChunking) {
  std::mt19937_64 random(99);
  std::uniform_int_distribution<std::size_t> limit(4, 64);
  int overflows = 0;
  for (int round = 0; round < 400; ++round) {
    const std::string stream = randomStream(random);
    // Half of the rounds use limits small enough to be broken now and then.
    const bool small = round % 2 == 1;
    const std::size_t maxLine = small ? limit(random) : UTF8LineParser::kDefaultMaxLineBytes;
    const std::size_t maxEvent = small ? limit(random) : EventParser::kDefaultMaxEventBytes;
    const EventResult whole = parseEvents({stream}, maxLine, maxEvent);
    overflows += whole.overflow != StreamOverflow::none;
    for (int cut = 0; cut < 4; ++cut) {
      ASSERT_EQ(parseEvents(randomChunks(stream, random), maxLine, maxEvent), whole)
          << "round " << round << ", cut " << cut;
    }
    if (small) {
      ASSERT_EQ(splitLines(randomChunks(stream, random), maxLine), splitLines({stream}, maxLine))
          << "round " << round;
    }
  }
  EXPECT_GT(overflows, 20);  // the limits were really exercised
}

}  // namespace
}  // namespace zelk::detail
