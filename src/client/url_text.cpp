// SPDX-License-Identifier: Apache-2.0
#include "client/url_text.hpp"

namespace zelk::detail {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool unreserved(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

template <class Keep>
std::string encode(std::string_view text, Keep keep) {
  std::string encoded;
  encoded.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (unreserved(byte) || keep(c)) {
      encoded.push_back(c);
    } else {
      encoded.push_back('%');
      encoded.push_back(kHex[byte >> 4]);
      encoded.push_back(kHex[byte & 0x0F]);
    }
  }
  return encoded;
}

}  // namespace

std::string percentEncodePathSegment(std::string_view text) {
  // A segment of dots alone would be removed or climb up when the URL is normalised.
  if (text == ".") return "%2E";
  if (text == "..") return "%2E%2E";
  return encode(text, [](char c) {
    return std::string_view("!$&'()*+,;=:@").find(c) != std::string_view::npos;
  });
}

std::string percentEncodeQuery(std::string_view text) {
  return encode(text, [](char c) {
    return std::string_view("!$&'()*+,;=:@/?").find(c) != std::string_view::npos;
  });
}

std::string percentEncodeQueryValue(std::string_view text) {
  return encode(text, [](char c) {
    return std::string_view("!$'()*+,;=:@/?").find(c) != std::string_view::npos;
  });
}

std::string basicAuthorization(std::string_view clientID) {
  return "Basic " + std::string(clientID) + ":";
}

}  // namespace zelk::detail
