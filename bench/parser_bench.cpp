// SPDX-License-Identifier: Apache-2.0
// Throughput of the event-stream parsers (line splitting and event parsing together) on stream
// files, fed in the chunk sizes a network client sees, next to a bare memchr scan for LF over the
// same bytes (one core) as the ceiling.
//
//   parser_bench [--chunk BYTES]... [--repeat N] [--clock wall|cpu] FILE...
//
// Every run starts with fresh parsers and feeds the whole file. One untimed run warms the caches;
// then each (file, chunk size) is run N times (default 9) and reported as one JSON line: the
// median throughput and the 50th and 99th percentiles (nearest rank) of the run times, with the
// number of events and data bytes, which must be the same in every run. Runs are timed by the
// wall clock, or with `--clock cpu` by the processor time they take.

#include "eventsource/event_parser.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <time.h>

namespace {

using zelk::EventHandler;
using zelk::MessageEvent;
using zelk::StreamError;

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

  std::uint64_t events = 0;
  std::uint64_t dataBytes = 0;
};

struct Outcome {
  std::uint64_t events = 0;
  std::uint64_t dataBytes = 0;
  bool overflowed = false;

  bool operator==(const Outcome&) const = default;
};

Outcome parseOnce(std::string_view input, std::size_t chunkSize) {
  auto handler = std::make_shared<CountingHandler>();
  zelk::detail::UTF8LineParser lines;
  zelk::detail::EventParser events(handler, "", 1.0);
  Outcome outcome;
  for (std::size_t at = 0; at < input.size(); at += chunkSize) {
    if (zelk::detail::feedChunk(lines, events, input.substr(at, chunkSize)) !=
        zelk::detail::StreamOverflow::none) {
      outcome.overflowed = true;
      break;
    }
  }
  outcome.events = handler->events;
  outcome.dataBytes = handler->dataBytes;
  return outcome;
}

Outcome memchrOnce(std::string_view input, std::size_t) {
  Outcome outcome;
  const char* at = input.data();
  const char* const end = at + input.size();
  while (const void* found = std::memchr(at, '\n', static_cast<std::size_t>(end - at))) {
    ++outcome.events;
    at = static_cast<const char*>(found) + 1;
  }
  return outcome;
}

bool useProcessorTime = false;

// Seconds of wall time, or with `--clock cpu` of this thread's processor time, which other work
// on a busy machine disturbs far less.
double now() {
  if (useProcessorTime) {
    timespec time{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double percentile(const std::vector<double>& sorted, double fraction) {
  // Nearest rank: the smallest value with at least `fraction` of the values at or below it.
  auto rank = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size()) + 0.999999);
  rank = std::clamp<std::size_t>(rank, 1, sorted.size());
  return sorted[rank - 1];
}

// Runs `run` on `input` and prints one JSON line; false when the runs disagree or overflowed.
template <typename Run>
bool measure(const char* name, const std::string& file, std::string_view input,
             std::size_t chunkSize, int repeat, Run run) {
  const Outcome expected = run(input, chunkSize);  // warm-up, untimed
  std::vector<double> seconds;
  for (int r = 0; r < repeat; ++r) {
    const double start = now();
    const Outcome outcome = run(input, chunkSize);
    seconds.push_back(now() - start);
    if (!(outcome == expected)) {
      std::fprintf(stderr, "parser_bench: %s gave different results on %s\n", name, file.c_str());
      return false;
    }
  }
  if (expected.overflowed) {
    std::fprintf(stderr, "parser_bench: a parser limit was broken on %s\n", file.c_str());
    return false;
  }
  std::sort(seconds.begin(), seconds.end());
  const double p50 = percentile(seconds, 0.5);
  const double p99 = percentile(seconds, 0.99);
  const double megabytes = static_cast<double>(input.size()) / 1e6;
  std::printf(
      "{\"peer\":\"%s\",\"file\":\"%s\",\"chunk\":%zu,\"bytes\":%zu,\"runs\":%d,"
      "\"events\":%llu,\"data_bytes\":%llu,\"p50_seconds\":%.6f,\"p99_seconds\":%.6f,"
      "\"MB_per_s_median\":%.1f,\"MB_per_s_p99\":%.1f}\n",
      name, file.c_str(), chunkSize, input.size(), repeat,
      static_cast<unsigned long long>(expected.events),
      static_cast<unsigned long long>(expected.dataBytes), p50, p99, megabytes / p50,
      megabytes / p99);
  std::fflush(stdout);
  return true;
}

int usage() {
  std::fprintf(stderr,
               "usage: parser_bench [--chunk BYTES]... [--repeat N] [--clock wall|cpu] FILE...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::size_t> chunks;
  int repeat = 9;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--clock" && i + 1 < argc) {
      const std::string_view clock = argv[++i];
      if (clock != "wall" && clock != "cpu") return usage();
      useProcessorTime = clock == "cpu";
    } else if ((argument == "--chunk" || argument == "--repeat") && i + 1 < argc) {
      const long value = std::strtol(argv[++i], nullptr, 10);
      if (value <= 0) return usage();
      if (argument == "--chunk") {
        chunks.push_back(static_cast<std::size_t>(value));
      } else {
        repeat = static_cast<int>(value);
      }
    } else if (argument.starts_with("--")) {
      return usage();
    } else {
      files.emplace_back(argument);
    }
  }
  if (files.empty()) return usage();
  if (chunks.empty()) chunks = {16384, 64};

  bool ok = true;
  for (const auto& path : files) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::string input(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)), '\0');
    in.seekg(0);
    if (!in.read(input.data(), static_cast<std::streamsize>(input.size()))) {
      std::fprintf(stderr, "parser_bench: cannot read %s\n", path.c_str());
      return 1;
    }
    const std::string file = path.substr(path.find_last_of('/') + 1);
    for (const std::size_t chunk : chunks) {
      ok = measure("zelk", file, input, chunk, repeat, parseOnce) && ok;
    }
    ok = measure("memchr", file, input, input.size(), repeat, memchrOnce) && ok;
  }
  return ok ? 0 : 1;
}
