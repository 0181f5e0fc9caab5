// SPDX-License-Identifier: Apache-2.0
// Identifiers the service hands out, and the checks every identifier and name from outside
// passes before it reaches the rules or the storage.
#pragma once

#include <string>
#include <string_view>

namespace zelk::server {

// `prefix` followed by 128 random bits in lower-case hex, from OpenSSL's generator. Throws
// std::runtime_error when the generator fails.
std::string newId(std::string_view prefix);
// Six random decimal digits, different from `previous`.
std::string newCode(std::string_view previous);
// Eight random characters of Crockford's base32 (no I, L, O or U), as "K7QM-2XD9": a code a
// person types from an e-mail.
std::string newShortCode();
// A short code as someone typed it: upper case, without dashes or spaces, with the letters
// that read like digits (O, I, L) taken for them; "" when it cannot be one.
std::string normalShortCode(std::string_view typed);
// A project key: "zk_" and 256 random bits in hex; and whether `text` could be one.
std::string newProjectKey();
bool isProjectKey(std::string_view text);
// 256 random bits in hex, for the admin token.
std::string newSecret();

// `text` with the characters HTML gives a meaning (& < > " ') written as references, for text
// from outside put into a page or a mail.
std::string escapeHTML(std::string_view text);

// `bytes` in lower-case hex.
std::string toHex(std::string_view bytes);
// The HMAC-SHA256 of `message` under `key`, in lower-case hex. Throws std::runtime_error when
// OpenSSL fails.
std::string hmacSha256Hex(std::string_view key, std::string_view message);
// Whether `given` is `expected`, compared in a time that does not tell where they differ.
bool sameSecret(std::string_view given, std::string_view expected);

// Whether `text` is an identifier this service could have made with `prefix`.
bool isServiceId(std::string_view text, std::string_view prefix);

// Client ids and user names: 1 to 256 bytes of valid UTF-8 without control characters; client
// ids also without a colon, which ends them in an Authorization header.
bool isValidClientId(std::string_view text);
bool isValidUserName(std::string_view text);
// Vendor identifiers: at most 128 bytes of printable ASCII.
bool isValidVendorId(std::string_view text);
// Free text an operator or a client sets (names, e-mail addresses, library versions): at most
// `maxBytes` of valid UTF-8 without control characters.
bool isValidText(std::string_view text, std::size_t maxBytes);

}  // namespace zelk::server
