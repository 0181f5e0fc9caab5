// SPDX-License-Identifier: Apache-2.0
#include "platform/device_facts_internal.hpp"

#include <sys/random.h>
#include <sys/utsname.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <system_error>

namespace zelk {
namespace {

using UUIDBytes = std::array<std::uint8_t, 16>;

// The message that identifiers for vendor are computed over, keyed by the machine ID. Every
// application embedding this library on a machine gets the same identifier; changing this
// constant changes the identifier of every device.
constexpr std::array<std::uint8_t, 16> kApplicationKey = {
    0x9d, 0x78, 0xe4, 0x39, 0xaf, 0x5a, 0x77, 0xb6, 0x49, 0x2a, 0xdf, 0x13, 0x0f, 0x43, 0xa1, 0x2a};

// Files read for the facts are tiny; anything longer than this is not what we are looking for.
constexpr std::size_t kMaxFactFileSize = 64 * 1024;

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isVariableName(std::string_view name) {
  if (name.empty()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    bool digit = c >= '0' && c <= '9';
    if (!letter && !(digit && i > 0)) return false;
  }
  return true;
}

// The value of an assignment after the '=', with quotes and escapes resolved. Unquoted leading
// and trailing whitespace is dropped; an unterminated quote runs to the end of the line.
std::string unquote(std::string_view raw) {
  std::size_t i = 0;
  while (i < raw.size() && isSpace(raw[i])) ++i;
  enum class Quote { kNone, kSingle, kDouble } quote = Quote::kNone;
  std::string value;
  std::size_t kept = 0;  // length of `value` without unquoted trailing whitespace
  for (; i < raw.size(); ++i) {
    char c = raw[i];
    switch (quote) {
      case Quote::kNone:
        if (c == '\'') {
          quote = Quote::kSingle;
        } else if (c == '"') {
          quote = Quote::kDouble;
        } else if (c == '\\') {
          if (i + 1 < raw.size()) value.push_back(raw[++i]);
          kept = value.size();
        } else {
          value.push_back(c);
          if (!isSpace(c)) kept = value.size();
        }
        break;
      case Quote::kSingle:
        if (c == '\'') {
          quote = Quote::kNone;
        } else {
          value.push_back(c);
        }
        kept = value.size();
        break;
      case Quote::kDouble:
        if (c == '"') {
          quote = Quote::kNone;
        } else if (c == '\\' && i + 1 < raw.size() &&
                   std::string_view("\"\\`$").find(raw[i + 1]) != std::string_view::npos) {
          value.push_back(raw[++i]);
        } else {
          value.push_back(c);
        }
        kept = value.size();
        break;
    }
  }
  value.resize(kept);
  return value;
}

std::optional<std::string> readSmallFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string contents(kMaxFactFileSize, '\0');
  in.read(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (in.bad()) return std::nullopt;
  contents.resize(static_cast<std::size_t>(in.gcount()));
  return contents;
}

void fillRandom(UUIDBytes& bytes) {
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    ssize_t count = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (count < 0) {
      if (errno == EINTR) continue;
      break;
    }
    filled += static_cast<std::size_t>(count);
  }
  if (filled == bytes.size()) return;
  // Kernels without getrandom(2): fall back on OpenSSL's generator, which seeds from the system.
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    throw std::system_error(errno, std::generic_category(), "no random source for a UUID");
  }
}

// Marks `bytes` as a version 4, RFC 4122 variant UUID and formats it in upper case.
std::string formatUUID(UUIDBytes bytes) {
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

}  // namespace

namespace detail {

std::string trimmed(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && isSpace(text[begin])) ++begin;
  while (end > begin && isSpace(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

std::map<std::string, std::string, std::less<>> parseOsRelease(std::string_view text) {
  std::map<std::string, std::string, std::less<>> variables;
  while (!text.empty()) {
    std::size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);

    while (!line.empty() && isSpace(line.front())) line.remove_prefix(1);
    if (line.empty() || line.front() == '#') continue;
    std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view name = line.substr(0, equals);
    if (!isVariableName(name)) continue;
    variables.insert_or_assign(std::string(name), unquote(line.substr(equals + 1)));
  }
  return variables;
}

DeviceFacts readDeviceFacts(const std::filesystem::path& root, std::string_view kernelRelease) {
  DeviceFacts facts;

  std::optional<std::string> product = readSmallFile(root / "sys/class/dmi/id/product_name");
  facts.model = product ? trimmed(*product) : std::string();
  if (facts.model.empty()) facts.model = "Linux";

  std::optional<std::string> osRelease = readSmallFile(root / "etc/os-release");
  if (!osRelease) osRelease = readSmallFile(root / "usr/lib/os-release");
  auto variables = parseOsRelease(osRelease.value_or(""));
  auto name = variables.find("NAME");
  facts.systemName = name != variables.end() && !name->second.empty() ? name->second : "Linux";
  auto version = variables.find("VERSION_ID");
  facts.systemVersion = version != variables.end() && !version->second.empty()
                            ? version->second
                            : std::string(kernelRelease);

  if (std::optional<std::string> machineID = readSmallFile(root / "etc/machine-id")) {
    facts.identifierForVendor = appSpecificID(trimmed(*machineID));
  }
  return facts;
}

}  // namespace detail

DeviceFacts currentDeviceFacts() {
  struct utsname system {};
  std::string release;
  if (::uname(&system) == 0) release = system.release;
  return detail::readDeviceFacts("/", release);
}

std::optional<std::string> appSpecificID(std::string_view machineID) {
  std::array<std::uint8_t, 16> key{};
  if (machineID.size() != key.size() * 2) return std::nullopt;
  for (std::size_t i = 0; i < key.size(); ++i) {
    int high = hexValue(machineID[2 * i]);
    int low = hexValue(machineID[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    key[i] = static_cast<std::uint8_t>(high << 4 | low);
  }

  std::array<unsigned char, EVP_MAX_MD_SIZE> mac{};
  unsigned int macSize = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), kApplicationKey.data(),
           kApplicationKey.size(), mac.data(), &macSize) == nullptr ||
      macSize < 16) {
    return std::nullopt;
  }
  UUIDBytes bytes{};
  std::copy_n(mac.begin(), bytes.size(), bytes.begin());
  return formatUUID(bytes);
}

std::string randomUUID() {
  UUIDBytes bytes{};
  fillRandom(bytes);
  return formatUUID(bytes);
}

}  // namespace zelk
