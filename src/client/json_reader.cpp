// SPDX-License-Identifier: Apache-2.0
#include "client/json_reader.hpp"

#include <cmath>
#include <limits>

namespace zelk::detail {

namespace {

std::string describe(const std::string& path) {
  return path.empty() ? "the reply" : "\"" + path + "\"";
}

[[noreturn]] void typeMismatch(const std::string& path, const char* expected,
                               const nlohmann::json& value) {
  throw DecodeFailure(describe(path) + " should be " + expected + ", found " + value.type_name());
}

}  // namespace

ObjectReader::ObjectReader(const nlohmann::json& value, std::string path)
    : object_(value), path_(std::move(path)) {
  if (!value.is_object()) typeMismatch(path_, "an object", value);
}

std::string ObjectReader::childPath(const char* key) const {
  return path_.empty() ? std::string(key) : path_ + "." + key;
}

const nlohmann::json* ObjectReader::find(const char* key) const {
  const auto it = object_.find(key);
  return it == object_.end() ? nullptr : &*it;
}

const nlohmann::json& ObjectReader::member(const char* key) const {
  const nlohmann::json* value = find(key);
  if (value == nullptr) throw DecodeFailure("missing member " + describe(childPath(key)));
  return *value;
}

std::string ObjectReader::requiredString(const char* key) const {
  return decodeString(member(key), childPath(key));
}
std::optional<std::string> ObjectReader::optionalString(const char* key) const {
  return optional(key, decodeString);
}
bool ObjectReader::requiredBool(const char* key) const {
  return decodeBool(member(key), childPath(key));
}
std::optional<bool> ObjectReader::optionalBool(const char* key) const {
  return optional(key, decodeBool);
}
std::int64_t ObjectReader::requiredInt(const char* key) const {
  return decodeInt(member(key), childPath(key));
}
std::optional<std::int64_t> ObjectReader::optionalInt(const char* key) const {
  return optional(key, decodeInt);
}
double ObjectReader::requiredDouble(const char* key) const {
  return decodeDouble(member(key), childPath(key));
}
std::optional<double> ObjectReader::optionalDouble(const char* key) const {
  return optional(key, decodeDouble);
}

std::string decodeString(const nlohmann::json& value, const std::string& path) {
  if (!value.is_string()) typeMismatch(path, "a string", value);
  return value.get<std::string>();
}

bool decodeBool(const nlohmann::json& value, const std::string& path) {
  if (!value.is_boolean()) typeMismatch(path, "a boolean", value);
  return value.get<bool>();
}

std::int64_t decodeInt(const nlohmann::json& value, const std::string& path) {
  if (value.is_number_unsigned()) {
    const auto number = value.get<std::uint64_t>();
    if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      throw DecodeFailure(describe(path) + " does not fit a 64-bit integer");
    }
    return static_cast<std::int64_t>(number);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_float()) {
    // A number written with a fraction or exponent counts when it is exactly a whole number in
    // range, e.g. 2.0 or 1e3.
    const double number = value.get<double>();
    if (std::trunc(number) != number) {
      throw DecodeFailure(describe(path) + " should be a whole number, found " + value.dump());
    }
    if (number < -9223372036854775808.0 || number >= 9223372036854775808.0) {
      throw DecodeFailure(describe(path) + " does not fit a 64-bit integer");
    }
    return static_cast<std::int64_t>(number);
  }
  typeMismatch(path, "an integer", value);
}

double decodeDouble(const nlohmann::json& value, const std::string& path) {
  if (!value.is_number()) typeMismatch(path, "a number", value);
  return value.get<double>();
}

nlohmann::json parseJson(std::string_view text) {
  try {
    return nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& error) {
    throw DecodeFailure(std::string("the data is not valid JSON: ") + error.what());
  }
}

}  // namespace zelk::detail
