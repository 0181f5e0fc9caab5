// SPDX-License-Identifier: Apache-2.0
// The line parser's vector paths (SSE2/SSSE3/AVX2 on x86-64, NEON on ARM64) against its
// one-byte-at-a-time path: the same lines, replacements and overflows on the fuzzer's seed inputs
// and on small streams of the benchmark shapes, whole, cut into chunks of many sizes, and with
// bytes corrupted.

#include "eventsource/utf8_line_parser.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace zelk::detail {
namespace {

struct Result {
  std::vector<std::string> lines;
  std::vector<StreamOverflow> overflows;  // per chunk
  bool operator==(const Result&) const = default;
};

template <typename Kernels>
Result split(std::string_view stream, std::size_t chunkSize, std::size_t maxLine) {
  BasicUTF8LineParser<Kernels> parser(maxLine);
  Result result;
  for (std::size_t at = 0; at < stream.size(); at += chunkSize) {
    result.overflows.push_back(
        parser.append(stream.substr(at, chunkSize),
                      [&](std::string_view line) { result.lines.emplace_back(line); }));
  }
  return result;
}

// Both paths agree at every chunk size, and the chunking changes no line.
void expectSamePaths(const std::string& name, std::string_view stream,
                     std::size_t maxLine = UTF8LineParser::kDefaultMaxLineBytes) {
  const Result whole = split<utf8::ScalarKernels>(stream, stream.size() + 1, maxLine);
  for (const std::size_t chunk :
       {std::size_t{1}, std::size_t{3}, std::size_t{15}, std::size_t{16}, std::size_t{17},
        std::size_t{64}, std::size_t{100}, std::size_t{16384}, stream.size() + 1}) {
    const Result scalar = split<utf8::ScalarKernels>(stream, chunk, maxLine);
    const Result vector = split<utf8::VectorKernels>(stream, chunk, maxLine);
    ASSERT_EQ(vector, scalar) << name << " in chunks of " << chunk;
    if (maxLine == UTF8LineParser::kDefaultMaxLineBytes) {
      ASSERT_EQ(scalar.lines, whole.lines) << name << " in chunks of " << chunk;
    }
  }
}

// Small streams of the benchmark shapes, built the same way with fewer records.
class Shapes {
 public:
  std::string smallJson() {
    std::string out;
    for (int n = 0; n < 200; ++n) {
      out += "data: {\"action\":\"challenge\",\"challenge\":{\"_id\":\"" + hex(24) + "\"}}\n\n";
    }
    return out;
  }

  std::string largeData() {
    const std::string alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+/";
    std::string out;
    for (int n = 0; n < 3; ++n) {
      std::string piece;
      for (int k = 0; k < 64; ++k) piece += alphabet[random_() % 64];
      std::string line;
      while (line.size() < 32 * 1024) line += piece;
      line.resize(32 * 1024);
      out += "data: " + line + "\n\n";
    }
    return out;
  }

  std::string multilineCrlf() {
    std::string out;
    for (int n = 0; n < 200; ++n) {
      if (n % 10 == 0) out += ": keepalive\r\n";
      const std::string seq = std::to_string(n);
      out += "id: " + seq + "\r\nevent: update\r\ndata: {\"seq\":" + seq +
             ",\r\ndata: \"v\":" + std::to_string(random_()) + ",\r\ndata: \"ok\":true}\r\n\r\n";
    }
    return out;
  }

  std::string utf8Mixed() {
    const std::vector<std::string> characters = {"a",
                                                 "Z",
                                                 " ",
                                                 "\xC3\xA9",
                                                 "\xC3\xB1",
                                                 "\xD0\x96",
                                                 "\xE2\x82\xAC",
                                                 "\xE4\xB8\xAD",
                                                 "\xE8\xAA\x9E",
                                                 "\xF0\x9F\x98\x80",
                                                 "\xF0\x9F\x9A\x80",
                                                 "\xF0\x9D\x84\x9E"};
    std::string out;
    for (int n = 0; n < 200; ++n) {
      std::string body;
      for (int k = 0; k < 16 + n % 32; ++k) body += characters[random_() % characters.size()];
      out += "data: " + std::to_string(n) + " " + body + "\n\n";
    }
    return out;
  }

  // `stream` with `count` bytes set to values that break UTF-8 or end lines.
  std::string corrupted(std::string stream, int count) {
    const unsigned char bad[] = {0x80, 0xBF, 0xC0, 0xC2, 0xE0, 0xED,
                                 0xF0, 0xF4, 0xF5, 0xFF, '\r', '\n'};
    for (int k = 0; k < count; ++k) {
      stream[random_() % stream.size()] = static_cast<char>(bad[random_() % sizeof bad]);
    }
    return stream;
  }

 private:
  std::string hex(int digits) {
    std::string out;
    for (int k = 0; k < digits; ++k) out += "0123456789abcdef"[random_() % 16];
    return out;
  }

  std::mt19937 random_{2026};
};

TEST(LineKernelsTest, FuzzerSeedsGiveTheSameLines) {
  const std::filesystem::path corpus = ZELK_FUZZ_CORPUS_DIR;
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    expectSamePaths(entry.path().filename().string(), bytes);
    expectSamePaths(entry.path().filename().string() + " with a small limit", bytes, 12);
    ++seeds;
  }
  EXPECT_GE(seeds, 5);
}

TEST(LineKernelsTest, StreamShapesGiveTheSameLines) {
  Shapes shapes;
  const std::vector<std::pair<std::string, std::string>> streams = {
      {"small_json", shapes.smallJson()},
      {"large_data", shapes.largeData()},
      {"multiline_crlf", shapes.multilineCrlf()},
      {"utf8_mixed", shapes.utf8Mixed()},
  };
  for (const auto& [name, stream] : streams) {
    expectSamePaths(name, stream);
    for (int round = 0; round < 8; ++round) {
      expectSamePaths(name + " corrupted, round " + std::to_string(round),
                      shapes.corrupted(stream, 1 + round * 3));
    }
  }
  // A line limit that the long lines break partway.
  expectSamePaths("large_data with a limit", streams[1].second, 20000);
}

TEST(LineKernelsTest, EveryBadByteInMultiByteTextGivesTheSameLines) {
  // Multi-byte text long enough for the block-wise check, with each position in turn corrupted,
  // so that the block check meets errors at every offset within a block and next to line ends.
  const std::string text =
      "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC\xE8\xA8\xAD\xE5\x82\x99\xF0\x9F\x94\x90\xF0\x9F\x93\xB1 "
      "\xD0\x9F\xD0\xB0\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF\xE0\xA0\x80\xF0\x90\x80\x80";
  const std::string stream = "data: " + text + "\n" + text + text + "\r\n" + text + "\r";
  for (std::size_t at = 0; at < stream.size(); ++at) {
    for (const int bad :
         {0x80, 0x9F, 0xA0, 0xBF, 0xC1, 0xC3, 0xE0, 0xED, 0xF0, 0xF4, 0xF5, 0x0A, 0x0D}) {
      std::string corrupted = stream;
      corrupted[at] = static_cast<char>(bad);
      expectSamePaths("byte " + std::to_string(bad) + " at " + std::to_string(at), corrupted);
      if (HasFatalFailure()) return;
    }
  }
}

}  // namespace
}  // namespace zelk::detail
