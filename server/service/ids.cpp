// SPDX-License-Identifier: Apache-2.0
#include "service/ids.hpp"

#include <pthread.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

namespace zelk::server {
namespace {

// Random bytes are drawn from OpenSSL's generator a block at a time per thread: one call per
// id cost more than the rest of an attach's id work. Bytes handed out are wiped from the block,
// and a forked child never hands out what its parent already had.
class RandomPool {
 public:
  void take(unsigned char* out, std::size_t count) {
    if (generation_ != forkGeneration.load(std::memory_order_relaxed)) {
      OPENSSL_cleanse(block_.data(), block_.size());
      used_ = block_.size();
      generation_ = forkGeneration.load(std::memory_order_relaxed);
    }
    if (count > block_.size() - used_) {
      if (RAND_bytes(block_.data(), static_cast<int>(block_.size())) != 1)
        throw std::runtime_error("the random number generator failed");
      used_ = 0;
    }
    std::memcpy(out, block_.data() + used_, count);
    OPENSSL_cleanse(block_.data() + used_, count);
    used_ += count;
  }
  ~RandomPool() { OPENSSL_cleanse(block_.data(), block_.size()); }

  static std::atomic<std::uint64_t> forkGeneration;

 private:
  std::array<unsigned char, 512> block_{};
  std::size_t used_ = block_.size();
  std::uint64_t generation_ = 0;
};

std::atomic<std::uint64_t> RandomPool::forkGeneration{0};

[[maybe_unused]] const int kForkWatch = pthread_atfork(
    nullptr, nullptr, [] { RandomPool::forkGeneration.fetch_add(1, std::memory_order_relaxed); });

template <std::size_t N>
std::array<unsigned char, N> randomBytes() {
  static_assert(N <= 64);
  thread_local RandomPool pool;
  std::array<unsigned char, N> bytes{};
  pool.take(bytes.data(), N);
  return bytes;
}

template <std::size_t N>
std::string hex(const std::array<unsigned char, N>& bytes) {
  return toHex(std::string_view(reinterpret_cast<const char*>(bytes.data()), N));
}

bool isValidUTF8WithoutControls(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) return false;
    std::size_t length = 1;
    std::uint32_t point = c;
    if (c >= 0x80) {
      if (c >= 0xc2 && c <= 0xdf) {
        length = 2, point = c & 0x1f;
      } else if (c >= 0xe0 && c <= 0xef) {
        length = 3, point = c & 0x0f;
      } else if (c >= 0xf0 && c <= 0xf4) {
        length = 4, point = c & 0x07;
      } else {
        return false;
      }
      if (i + length > text.size()) return false;
      for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xc0) != 0x80) return false;
        point = (point << 6) | (next & 0x3f);
      }
      // Overlong forms, surrogates and points past U+10FFFF.
      if ((length == 3 && point < 0x800) || (length == 4 && point < 0x10000) ||
          (point >= 0xd800 && point <= 0xdfff) || point > 0x10ffff || point == 0x85 ||
          (point >= 0x80 && point < 0xa0))
        return false;
    }
    i += length;
  }
  return true;
}

}  // namespace

std::string newId(std::string_view prefix) {
  return std::string(prefix) + hex(randomBytes<16>());
}

std::string newCode(std::string_view previous) {
  for (;;) {
    const auto bytes = randomBytes<4>();
    const std::uint32_t value = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
                                (std::uint32_t{bytes[2]} << 8) | bytes[3];
    // Drawing again above the last multiple of a million keeps every code equally likely.
    if (value >= 4'294'000'000u) continue;
    char code[8];
    std::snprintf(code, sizeof code, "%06u", static_cast<unsigned>(value % 1'000'000u));
    if (code != previous) return code;
  }
}

namespace {
constexpr std::string_view kShortCodeDigits = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
}  // namespace

std::string newShortCode() {
  const auto bytes = randomBytes<8>();
  std::string code;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4) code += '-';
    code += kShortCodeDigits[bytes[i] % 32];  // 256 is a multiple of 32: every digit as likely
  }
  return code;
}

std::string normalShortCode(std::string_view typed) {
  std::string code;
  for (char c : typed) {
    if (c == '-' || c == ' ') continue;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c == 'O') c = '0';
    if (c == 'I' || c == 'L') c = '1';
    if (kShortCodeDigits.find(c) == std::string_view::npos || code.size() == 8) return {};
    code += c;
  }
  return code.size() == 8 ? code : std::string();
}

std::string newProjectKey() {
  return "zk_" + hex(randomBytes<32>());
}

bool isProjectKey(std::string_view text) {
  return text.size() == 67 && text.starts_with("zk_") &&
         text.substr(3).find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::string newSecret() {
  return hex(randomBytes<32>());
}

std::string toHex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xf];
  }
  return out;
}

std::string hmacSha256Hex(std::string_view key, std::string_view message) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
            reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest,
            &length))
    throw std::runtime_error("cannot compute an HMAC");
  return toHex(std::string_view(reinterpret_cast<const char*>(digest), length));
}

bool sameSecret(std::string_view given, std::string_view expected) {
  return given.size() == expected.size() &&
         CRYPTO_memcmp(given.data(), expected.data(), given.size()) == 0;
}

bool isServiceId(std::string_view text, std::string_view prefix) {
  if (!text.starts_with(prefix) || text.size() != prefix.size() + 32) return false;
  for (char c : text.substr(prefix.size())) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool isValidClientId(std::string_view text) {
  return !text.empty() && text.size() <= 256 && text.find(':') == std::string_view::npos &&
         isValidUTF8WithoutControls(text);
}

bool isValidUserName(std::string_view text) {
  return !text.empty() && text.size() <= 256 && isValidUTF8WithoutControls(text);
}

bool isValidVendorId(std::string_view text) {
  if (text.size() > 128) return false;
  for (char c : text) {
    if (c < 0x20 || c > 0x7e) return false;
  }
  return true;
}

bool isValidText(std::string_view text, std::size_t maxBytes) {
  return text.size() <= maxBytes && isValidUTF8WithoutControls(text);
}

std::string escapeHTML(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace zelk::server
