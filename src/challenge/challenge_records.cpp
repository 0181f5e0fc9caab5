// SPDX-License-Identifier: Apache-2.0
#include <zelk/challenge.hpp>

#include "challenge/challenge_json.hpp"
#include "client/json_reader.hpp"
#include "client/records_json.hpp"

namespace zelk {

using nlohmann::json;

namespace detail {

namespace {

std::string describe(const std::string& path) {
  return path.empty() ? "the reply" : "\"" + path + "\"";
}

// Decodes every element of a JSON array with `decode`, naming elements "path[i]".
template <class Decode>
auto decodeArray(const json& value, const std::string& path, Decode&& decode) {
  using Element = decltype(decode(std::declval<const json&>(), std::string()));
  if (!value.is_array()) {
    throw DecodeFailure(describe(path) + " should be an array, found " + value.type_name());
  }
  std::vector<Element> elements;
  elements.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    elements.push_back(decode(value[i], path + "[" + std::to_string(i) + "]"));
  }
  return elements;
}

}  // namespace

ChallengeChannel decodeChallengeChannel(const json& value, const std::string& path) {
  const std::string name = decodeString(value, path);
  if (auto channel = challengeChannelFromText(name)) return *channel;
  throw DecodeFailure(describe(path) + " is not a known channel: \"" + name + "\"");
}

Challenge decodeChallenge(const json& value, const std::string& path) {
  const ObjectReader object(value, path);
  return {object.requiredString("_id")};
}

Project decodeProject(const json& value, const std::string& path) {
  const ObjectReader object(value, path);
  Project project;
  project._id = object.requiredString("_id");
  project.name = object.requiredString("name");
  return project;
}

Brand decodeBrand(const json& value, const std::string& path) {
  const ObjectReader object(value, path);
  Brand brand;
  brand.logo = object.optionalString("logo");
  brand.primary_color = object.optionalString("primary_color");
  brand.require_verification = object.optionalBool("require_verification");
  return brand;
}

User decodeUser(const json& value, const std::string& path) {
  const ObjectReader object(value, path);
  User user;
  user._id = object.requiredString("_id");
  user.email = object.optionalString("email");
  user.phone = object.optionalString("phone");
  return user;
}

ChallengeDetails decodeChallengeDetails(const json& value, const std::string& path) {
  const ObjectReader object(value, path);
  ChallengeDetails details;
  details._id = object.requiredString("_id");
  details.project = object.optional("project", decodeProject);
  details.brand = object.optional("brand", decodeBrand);
  details.user = object.optional("user", decodeUser);
  details.channels = object.optional("channels", [](const json& channels, std::string at) {
    return decodeArray(channels, at, decodeChallengeChannel);
  });
  return details;
}

ChallengeVerificationResult decodeVerificationResult(const json& value, const std::string& path) {
  const ObjectReader object(value, path);
  return {object.requiredBool("success")};
}

AttachedDeviceTypes decodeAttachedDeviceTypes(const json& value, const std::string& path) {
  const ObjectReader object(value, path);
  AttachedDeviceTypes types;
  types.computers = object.optionalInt("computers");
  types.tablets = object.optionalInt("tablets");
  types.mobiles = object.optionalInt("mobiles");
  return types;
}

AttachedDevices decodeAttachedDevices(const json& value, const std::string& path) {
  const ObjectReader object(value, path);
  AttachedDevices attached;
  attached.total = object.requiredInt("total");
  attached.devices = object.required("devices", decodeAttachedDeviceTypes);
  return attached;
}

DeviceLimitState decodeDeviceLimitState(const json& value, const std::string& path) {
  const ObjectReader object(value, path);
  DeviceLimitState state;
  state.attachedDevices = object.required("attached_devices", decodeAttachedDevices);
  state.defaultOverallLimit = object.requiredInt("default_overall_limit");
  state.computerDeviceLimit = object.requiredInt("computer_device_limit");
  state.tabletDeviceLimit = object.requiredInt("tablet_device_limit");
  state.mobileDeviceLimit = object.requiredInt("mobile_device_limit");
  return state;
}

std::vector<ZelkDevice> decodeDevices(const json& value, const std::string& path) {
  return decodeArray(value, path, decodeDevice);
}

}  // namespace detail

std::optional<ChallengeChannel> challengeChannelFromText(std::string_view text) {
  if (text == "email") return ChallengeChannel::email;
  if (text == "text") return ChallengeChannel::text;
  return std::nullopt;
}

std::string_view text(ChallengeChannel channel) {
  switch (channel) {
    case ChallengeChannel::email:
      return "email";
    case ChallengeChannel::text:
      return "text";
  }
  return "email";
}

ZELK_DEFINE_RECORD_DECODE(Challenge, decodeChallenge)
ZELK_DEFINE_RECORD_DECODE(Project, decodeProject)
ZELK_DEFINE_RECORD_DECODE(Brand, decodeBrand)
ZELK_DEFINE_RECORD_DECODE(User, decodeUser)
ZELK_DEFINE_RECORD_DECODE(ChallengeDetails, decodeChallengeDetails)
ZELK_DEFINE_RECORD_DECODE(ChallengeVerificationResult, decodeVerificationResult)
ZELK_DEFINE_RECORD_DECODE(AttachedDeviceTypes, decodeAttachedDeviceTypes)
ZELK_DEFINE_RECORD_DECODE(AttachedDevices, decodeAttachedDevices)
ZELK_DEFINE_RECORD_DECODE(DeviceLimitState, decodeDeviceLimitState)

std::optional<std::vector<ZelkDevice>> decodeDeviceList(std::string_view json, std::string* error) {
  return detail::decodeText(json, error, detail::decodeDevices);
}

}  // namespace zelk
