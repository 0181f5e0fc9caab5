// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zelk::detail {

/// The first problem found while decoding a record.
struct DecodeFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

/// Strict access to the members of one JSON object. Required members must be present with the
/// right type; optional ones may be missing or null. Unknown members are ignored. Every problem
/// throws a `DecodeFailure` naming the member by its path from the top of the reply.
class ObjectReader {
 public:
  /// Fails unless `value` is a JSON object. `path` names it in messages ("" for the top).
  ObjectReader(const nlohmann::json& value, std::string path);

  std::string requiredString(const char* key) const;
  std::optional<std::string> optionalString(const char* key) const;
  bool requiredBool(const char* key) const;
  std::optional<bool> optionalBool(const char* key) const;
  std::int64_t requiredInt(const char* key) const;
  std::optional<std::int64_t> optionalInt(const char* key) const;
  double requiredDouble(const char* key) const;
  std::optional<double> optionalDouble(const char* key) const;

  /// Decodes a nested record with `decode(const nlohmann::json&, std::string path)`.
  template <class Decode>
  auto required(const char* key, Decode&& decode) const {
    return decode(member(key), childPath(key));
  }
  template <class Decode>
  auto optional(const char* key, Decode&& decode) const
      -> std::optional<decltype(decode(std::declval<const nlohmann::json&>(), std::string()))> {
    const nlohmann::json* value = find(key);
    if (value == nullptr || value->is_null()) return std::nullopt;
    return decode(*value, childPath(key));
  }

  std::string childPath(const char* key) const;

 private:
  const nlohmann::json& member(const char* key) const;  // fails when missing
  const nlohmann::json* find(const char* key) const;    // null when missing

  const nlohmann::json& object_;
  std::string path_;
};

/// The value as a string, bool, whole 64-bit integer or number; fails naming `path` otherwise.
std::string decodeString(const nlohmann::json& value, const std::string& path);
bool decodeBool(const nlohmann::json& value, const std::string& path);
std::int64_t decodeInt(const nlohmann::json& value, const std::string& path);
double decodeDouble(const nlohmann::json& value, const std::string& path);

/// Parses `text` as JSON; fails with the parser's message when it is not.
nlohmann::json parseJson(std::string_view text);

/// Runs `decode` on the parsed `text`, turning any failure into an absent result with the
/// message stored in `error` (when given).
template <class Decode>
auto decodeText(std::string_view text, std::string* error, Decode&& decode)
    -> std::optional<decltype(decode(std::declval<const nlohmann::json&>(), std::string()))> {
  try {
    return decode(parseJson(text), std::string());
  } catch (const DecodeFailure& failure) {
    if (error != nullptr) *error = failure.what();
    return std::nullopt;
  }
}

}  // namespace zelk::detail

/// Defines `Type::decode(std::string_view json, std::string* error)` of a public record through
/// its decoder `zelk::detail::decoder` of parsed JSON. Use inside namespace zelk.
#define ZELK_DEFINE_RECORD_DECODE(Type, decoder)                                \
  std::optional<Type> Type::decode(std::string_view json, std::string* error) { \
    return detail::decodeText(json, error, detail::decoder);                    \
  }
