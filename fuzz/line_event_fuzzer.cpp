// SPDX-License-Identifier: Apache-2.0
// Feeds arbitrary bytes, cut into arbitrary chunks, through the line and event parsers. Beyond
// the sanitizers it checks that the chunking changes nothing, that the line parser's vector and
// scalar paths agree, that every line is well-formed UTF-8 without CR or LF, that the limits
// hold, and that a reset parser starts clean.

#include "eventsource/event_parser.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

using zelk::detail::EventParser;
using zelk::detail::StreamOverflow;
using zelk::detail::UTF8LineParser;

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

// Plain well-formedness check, written apart from the parser's decoder.
bool isWellFormed(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    std::size_t length;
    std::uint32_t c;
    if (b < 0x80) {
      length = 1;
      c = b;
    } else if ((b & 0xE0) == 0xC0) {
      length = 2;
      c = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      length = 3;
      c = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      length = 4;
      c = b & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3F);
    }
    const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < smallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

class Recorder : public zelk::EventHandler {
 public:
  void onOpened() override {}
  void onClosed() override {}
  void onMessage(std::string_view type, const zelk::MessageEvent& event) override {
    calls.push_back("m" + std::string(type) + '\0' + event.data + '\0' + event.lastEventId);
  }
  void onComment(std::string_view comment) override { calls.push_back("c" + std::string(comment)); }
  void onError(const zelk::StreamError&) override {}

  std::vector<std::string> calls;
};

struct Outcome {
  std::vector<std::string> lines;
  bool lineOverflow = false;
  std::vector<std::string> calls;
  std::string lastEventId;
  double retry = 0;
  StreamOverflow overflow = StreamOverflow::none;
  bool operator==(const Outcome&) const = default;
};

Outcome run(const std::vector<std::string_view>& chunks, std::size_t maxLine,
            std::size_t maxEvent) {
  Outcome outcome;

  UTF8LineParser lines(maxLine);
  for (const auto chunk : chunks) {
    const auto result = lines.append(chunk, [&](std::string_view line) {
      check(line.size() <= maxLine, "line within its limit");
      check(line.find_first_of("\r\n") == std::string_view::npos, "no CR or LF in a line");
      check(isWellFormed(line), "line is well-formed UTF-8");
      outcome.lines.emplace_back(line);
    });
    outcome.lineOverflow = outcome.lineOverflow || result != StreamOverflow::none;
  }

  // The one-byte-at-a-time path gives the same lines as the vector path.
  zelk::detail::BasicUTF8LineParser<zelk::detail::utf8::ScalarKernels> scalar(maxLine);
  std::vector<std::string> scalarLines;
  bool scalarOverflow = false;
  for (const auto chunk : chunks) {
    const auto result =
        scalar.append(chunk, [&](std::string_view line) { scalarLines.emplace_back(line); });
    scalarOverflow = scalarOverflow || result != StreamOverflow::none;
  }
  check(scalarLines == outcome.lines && scalarOverflow == outcome.lineOverflow,
        "the scalar and vector paths agree");

  auto recorder = std::make_shared<Recorder>();
  UTF8LineParser eventLines(maxLine);
  EventParser events(recorder, "initial", 1.0, maxEvent);
  for (const auto chunk : chunks) {
    const StreamOverflow result = zelk::detail::feedChunk(eventLines, events, chunk);
    if (outcome.overflow == StreamOverflow::none) outcome.overflow = result;
  }
  outcome.calls = recorder->calls;
  outcome.lastEventId = events.getLastEventId();
  outcome.retry = events.currentRetry();
  check(outcome.lastEventId.find('\0') == std::string::npos, "no NUL in the last event id");

  // After a reset the parsers behave as new, apart from the id and retry they keep.
  eventLines.closeAndReset();
  events.reset();
  recorder->calls.clear();
  check(zelk::detail::feedChunk(eventLines, events, "\ndata: after\n\n") == StreamOverflow::none ||
            maxLine < 11 || maxEvent < 6,
        "a small event after a reset fits");
  if (maxLine >= 11 && maxEvent >= 6) {
    check(recorder->calls.size() == 1 && recorder->calls[0] == "mmessage" + std::string(1, '\0') +
                                                                   "after" + std::string(1, '\0') +
                                                                   outcome.lastEventId,
          "exactly the new event after a reset");
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const bool smallLimits = provider.ConsumeBool();
  const std::size_t maxLine = smallLimits ? provider.ConsumeIntegralInRange<std::size_t>(0, 80)
                                          : UTF8LineParser::kDefaultMaxLineBytes;
  const std::size_t maxEvent = smallLimits ? provider.ConsumeIntegralInRange<std::size_t>(0, 200)
                                           : EventParser::kDefaultMaxEventBytes;
  std::uint32_t state = provider.ConsumeIntegral<std::uint32_t>();
  const std::uint8_t largest = provider.ConsumeIntegralInRange<std::uint8_t>(1, 40);
  const std::string stream = provider.ConsumeRemainingBytesAsString();

  std::vector<std::string_view> chunks;
  for (std::size_t at = 0; at < stream.size();) {
    state = state * 1664525u + 1013904223u;
    const std::size_t length =
        std::min<std::size_t>((state >> 16) % (largest + 1u), stream.size() - at);
    chunks.push_back(std::string_view(stream).substr(at, length));  // empty chunks included
    at += length;
  }

  const Outcome whole = run({stream}, maxLine, maxEvent);
  check(run(chunks, maxLine, maxEvent) == whole, "chunking changes nothing");
  return 0;
}
