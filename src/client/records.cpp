// SPDX-License-Identifier: Apache-2.0
#include <zelk/records.hpp>

#include "client/json_reader.hpp"
#include "client/records_json.hpp"

namespace zelk {

using nlohmann::json;

namespace detail {

namespace {

Date decodeDate(const json& value, const std::string& path) {
  const std::string text = decodeString(value, path);
  if (auto date = iso8601Full().date(text)) return *date;
  throw DecodeFailure("\"" + path +
                      "\" is not a date in the form yyyy-MM-ddTHH:mm:ss.SSSZ: " + text);
}

template <class T>
void put(json& object, const char* key, const std::optional<T>& value) {
  if (value) object[key] = encode(*value);
}

void put(json& object, const char* key, const std::optional<std::string>& value) {
  if (value) object[key] = *value;
}

}  // namespace

ZelkOS decodeOS(const json& value, const std::string& path) {
  const ObjectReader object(value, path);
  return {object.optionalString("name"), object.optionalString("version")};
}

ZelkDeviceDetails decodeDeviceDetails(const json& value, const std::string& path) {
  const ObjectReader object(value, path);
  return {object.optionalString("vendor"), object.optionalString("type"),
          object.optionalString("model")};
}

ZelkDeviceInfo decodeDeviceInfo(const json& value, const std::string& path) {
  const ObjectReader object(value, path);
  return {object.optional("os", decodeOS), object.optional("device", decodeDeviceDetails)};
}

Geolocation decodeGeolocation(const json& value, const std::string& path) {
  const ObjectReader object(value, path);
  return {object.optionalString("city"), object.optionalString("country")};
}

Access decodeAccess(const json& value, const std::string& path) {
  const ObjectReader object(value, path);
  return {object.optional("geolocation", decodeGeolocation)};
}

ZelkDevice decodeDevice(const json& value, const std::string& path) {
  const ObjectReader object(value, path);
  ZelkDevice device;
  device.id = object.requiredString("_id");
  device.info = object.required("info", decodeDeviceInfo);
  device.createdAt = object.optional("createdAt", decodeDate);
  device.updatedAt = object.optional("updatedAt", decodeDate);
  device.lastAccess = object.optional("last_access", decodeAccess);
  return device;
}

ZelkAttachResponse decodeAttachResponse(const json& value, const std::string& path) {
  const ObjectReader object(value, path);
  ZelkAttachResponse response;
  response.access = object.optionalString("access");
  response.deviceID = object.optionalString("device_id");
  response.attachedDevices = object.requiredInt("attached_devices");
  response.success = object.requiredBool("success");
  response.blockOverUsage = object.optionalBool("block_over_usage");
  response.defaultDeviceLimit = object.optionalInt("default_device_limit");
  return response;
}

ZelkDeviceIdentity decodeDeviceIdentity(const json& value, const std::string& path) {
  const ObjectReader object(value, path);
  return {object.requiredString("identity"), object.requiredDouble("confidence")};
}

ZelkUserDevice decodeUserDevice(const json& value, const std::string& path) {
  const ObjectReader object(value, path);
  ZelkUserDevice entry;
  entry.device = decodeDevice(value, path);
  entry.current = object.requiredBool("current");
  entry.trustedUntil = object.optional("trusted_until", decodeDate);
  return entry;
}

ZelkSwapAllowance decodeSwapAllowance(const json& value, const std::string& path) {
  const ObjectReader object(value, path);
  ZelkSwapAllowance swaps;
  swaps.limit = object.requiredInt("limit");
  swaps.days = object.requiredInt("days");
  swaps.used = object.requiredInt("used");
  swaps.nextChangeAt = object.optional("next_change_at", decodeDate);
  return swaps;
}

ZelkUserDevices decodeUserDevices(const json& value, const std::string& path) {
  const ObjectReader object(value, path);
  ZelkUserDevices reply;
  reply.deviceID = object.requiredString("device_id");
  reply.devices = object.required("devices", [](const json& list, const std::string& at) {
    if (!list.is_array()) {
      throw DecodeFailure("\"" + at + "\" should be an array, found " + list.type_name());
    }
    std::vector<ZelkUserDevice> devices;
    devices.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
      devices.push_back(decodeUserDevice(list[i], at + "[" + std::to_string(i) + "]"));
    }
    return devices;
  });
  reply.swaps = object.optional("swaps", decodeSwapAllowance);
  return reply;
}

std::optional<ZelkServiceError> decodeRefusal(std::string_view reply, long status) {
  const json value = json::parse(reply, nullptr, false);
  if (!value.is_object()) return std::nullopt;
  const auto error = value.find("error");
  if (error == value.end() || !error->is_string()) return std::nullopt;
  ZelkServiceError refusal{error->get<std::string>(), status, std::nullopt};
  if (const auto next = value.find("next_change_at"); next != value.end() && next->is_string()) {
    refusal.nextChangeAt = iso8601Full().date(next->get<std::string>());
  }
  return refusal;
}

json encode(const ZelkOS& os) {
  json object = json::object();
  put(object, "name", os.name);
  put(object, "version", os.version);
  return object;
}

json encode(const ZelkDeviceDetails& details) {
  json object = json::object();
  put(object, "vendor", details.vendor);
  put(object, "type", details.type);
  put(object, "model", details.model);
  return object;
}

json encode(const ZelkDeviceInfo& info) {
  json object = json::object();
  put(object, "os", info.os);
  put(object, "device", info.device);
  return object;
}

json encode(const Geolocation& geolocation) {
  json object = json::object();
  put(object, "city", geolocation.city);
  put(object, "country", geolocation.country);
  return object;
}

json encode(const Access& access) {
  json object = json::object();
  put(object, "geolocation", access.geolocation);
  return object;
}

json encode(const ZelkDevice& device) {
  json object = json::object();
  object["_id"] = device.id;
  object["info"] = encode(device.info);
  if (device.createdAt) object["createdAt"] = iso8601Full().string(*device.createdAt);
  if (device.updatedAt) object["updatedAt"] = iso8601Full().string(*device.updatedAt);
  put(object, "last_access", device.lastAccess);
  return object;
}

}  // namespace detail

std::optional<ZelkDeviceType> deviceTypeFromText(std::string_view text) {
  if (text == "mobile") return ZelkDeviceType::mobile;
  if (text == "tablet") return ZelkDeviceType::tablet;
  if (text == "computer") return ZelkDeviceType::computer;
  return std::nullopt;
}

std::string_view text(ZelkDeviceType type) {
  switch (type) {
    case ZelkDeviceType::mobile:
      return "mobile";
    case ZelkDeviceType::tablet:
      return "tablet";
    case ZelkDeviceType::computer:
      return "computer";
  }
  return "mobile";
}

// Every record decodes from text the same way and, where it is encoded, writes compact JSON.
#define ZELK_RECORD_CODEC(Type, decoder)                                                         \
  ZELK_DEFINE_RECORD_DECODE(Type, decoder)                                                       \
  std::string Type::toJson() const {                                                             \
    return detail::encode(*this).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); \
  }

ZELK_RECORD_CODEC(ZelkOS, decodeOS)
ZELK_RECORD_CODEC(ZelkDeviceDetails, decodeDeviceDetails)
ZELK_RECORD_CODEC(ZelkDeviceInfo, decodeDeviceInfo)
ZELK_RECORD_CODEC(Geolocation, decodeGeolocation)
ZELK_RECORD_CODEC(Access, decodeAccess)
ZELK_RECORD_CODEC(ZelkDevice, decodeDevice)
ZELK_DEFINE_RECORD_DECODE(ZelkAttachResponse, decodeAttachResponse)
ZELK_DEFINE_RECORD_DECODE(ZelkDeviceIdentity, decodeDeviceIdentity)
ZELK_DEFINE_RECORD_DECODE(ZelkUserDevice, decodeUserDevice)
ZELK_DEFINE_RECORD_DECODE(ZelkSwapAllowance, decodeSwapAllowance)
ZELK_DEFINE_RECORD_DECODE(ZelkUserDevices, decodeUserDevices)

#undef ZELK_RECORD_CODEC

}  // namespace zelk
