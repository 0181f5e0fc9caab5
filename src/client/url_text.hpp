// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <string_view>

namespace zelk::detail {

// Values the service hands out (device IDs, access values, challenge IDs) are placed into URLs
// with these encoders, so that no value can add a path segment, a query parameter or a fragment
// of its own. Well-formed IDs (letters, digits, '-', '_', '.') come out unchanged.

/// Encodes `text` as one path segment: every byte outside the unreserved characters and
/// ! $ & ' ( ) * + , ; = : @ becomes a percent escape, and so do the dots of a segment that is
/// only "." or "..".
std::string percentEncodePathSegment(std::string_view text);

/// Percent-encodes every byte outside the characters a URL query may hold as they are (letters,
/// digits and - . _ ~ ! $ & ' ( ) * + , ; = : @ / ?).
std::string percentEncodeQuery(std::string_view text);

/// Encodes `text` as the value of a query parameter: every byte outside the characters a query
/// may hold as they are, and '&', which would start another parameter, becomes a percent escape.
/// Tokens such as Base64 ('+', '/', '=') stay unchanged.
std::string percentEncodeQueryValue(std::string_view text);

/// How the service knows the client: "Basic <client ID>:". It goes into the Authorization header
/// of every service call and into the "auth" parameter of the realtime stream's URL.
std::string basicAuthorization(std::string_view clientID);

}  // namespace zelk::detail
