// SPDX-License-Identifier: Apache-2.0
// Throughput of the event-stream parsers (line splitting and event parsing together) on four
// stream shapes, fed in large and in tiny chunks, next to a bare memchr scan for LF over the same
// bytes as the ceiling.
//
//   parser_bench [benchmark flags]       runs the benchmarks
//   parser_bench --dump-inputs=DIR       writes the four inputs as DIR/<shape>.sse and exits

#include "eventsource/event_parser.hpp"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

using zelk::EventHandler;
using zelk::MessageEvent;
using zelk::StreamError;

constexpr std::size_t kInputBytes = 2 << 20;

// Deterministic filler text.
class Letters {
 public:
  std::string next(std::size_t length) {
    std::string out(length, ' ');
    for (auto& c : out) {
      state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
      c = static_cast<char>('a' + (state_ >> 59) % 26);
    }
    return out;
  }

 private:
  std::uint64_t state_ = 42;
};

std::string smallJsonEvents() {
  std::string out;
  for (std::uint64_t n = 0; out.size() < kInputBytes; ++n) {
    out += "data: {\"type\":\"challenge\",\"challengeId\":\"" + std::to_string(n * 7919) +
           "\",\"deviceCount\":" + std::to_string(n % 9) + "}\n\n";
  }
  return out;
}

std::string largeDataLines() {
  Letters letters;
  std::string out;
  while (out.size() < kInputBytes) out += "data: " + letters.next(32 * 1024) + "\n\n";
  return out;
}

std::string crlfFieldsAndComments() {
  std::string out;
  for (std::uint64_t n = 0; out.size() < kInputBytes; ++n) {
    out += ": keep-alive\r\nid: " + std::to_string(n) +
           "\r\nevent: update\r\ndata: first line of the update\r\n"
           "data: {\"status\":\"pending\",\"attempt\":" +
           std::to_string(n % 5) + "}\r\ndata: last line\r\n\r\n";
  }
  return out;
}

std::string multiByteData() {
  // Two-, three- and four-byte characters mixed with a little ASCII.
  const std::string text =
      "Пароль изменён · 設備の上限に達しました · Überprüfung läuft · 🔐📱✅ · "
      "Ο λογαριασμός σας · 계정 보호 ";
  std::string out;
  while (out.size() < kInputBytes) out += "data: " + text + text + "\n\n";
  return out;
}

struct Shape {
  const char* name;
  std::string bytes;
};

const std::vector<Shape>& shapes() {
  static const std::vector<Shape> all = {
      {"small_json", smallJsonEvents()},
      {"data_32k", largeDataLines()},
      {"crlf_fields", crlfFieldsAndComments()},
      {"utf8_data", multiByteData()},
  };
  return all;
}

class CountingHandler : public EventHandler {
 public:
  void onOpened() override {}
  void onClosed() override {}
  void onMessage(std::string_view, const MessageEvent& event) override {
    ++events;
    dataBytes += event.data.size();
  }
  void onComment(std::string_view) override {}
  void onError(const StreamError&) override {}

  std::int64_t events = 0;
  std::size_t dataBytes = 0;
};

void parseStream(benchmark::State& state, const std::string& input, std::size_t chunkSize) {
  auto handler = std::make_shared<CountingHandler>();
  zelk::detail::UTF8LineParser lines;
  zelk::detail::EventParser events(handler, "", 1.0);
  const std::string_view all = input;
  for (auto _ : state) {
    for (std::size_t at = 0; at < all.size(); at += chunkSize) {
      if (zelk::detail::feedChunk(lines, events, all.substr(at, chunkSize)) !=
          zelk::detail::StreamOverflow::none) {
        state.SkipWithError("a parser limit was broken");
        return;
      }
    }
    lines.closeAndReset();
    events.reset();
  }
  benchmark::DoNotOptimize(handler->dataBytes);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
  state.counters["events/s"] =
      benchmark::Counter(static_cast<double>(handler->events), benchmark::Counter::kIsRate);
}

void memchrScan(benchmark::State& state, const std::string& input) {
  std::size_t newlines = 0;
  for (auto _ : state) {
    const char* at = input.data();
    const char* const end = at + input.size();
    while (const void* found = std::memchr(at, '\n', static_cast<std::size_t>(end - at))) {
      ++newlines;
      at = static_cast<const char*>(found) + 1;
    }
    benchmark::DoNotOptimize(newlines);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
}

bool dumpInputs(const std::string& directory) {
  for (const auto& shape : shapes()) {
    const std::string path = directory + "/" + shape.name + ".sse";
    std::ofstream file(path, std::ios::binary);
    file.write(shape.bytes.data(), static_cast<std::streamsize>(shape.bytes.size()));
    if (!file) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  constexpr std::string_view kDump = "--dump-inputs=";
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument.starts_with(kDump)) {
      return dumpInputs(std::string(argument.substr(kDump.size()))) ? 0 : 1;
    }
  }
  for (const auto& shape : shapes()) {
    for (const std::size_t chunk : {std::size_t{16384}, std::size_t{64}}) {
      benchmark::RegisterBenchmark(
          ("parse/" + std::string(shape.name) + "/" + std::to_string(chunk)).c_str(),
          [&shape, chunk](benchmark::State& state) { parseStream(state, shape.bytes, chunk); });
    }
    benchmark::RegisterBenchmark(
        ("memchr/" + std::string(shape.name)).c_str(),
        [&shape](benchmark::State& state) { memchrScan(state, shape.bytes); });
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
