// SPDX-License-Identifier: Apache-2.0
// The accessors of the records and their JSON texts.
#include "records.hpp"

#include "support.hpp"

#include <zelk/challenge_screens.hpp>

#include <nlohmann/json.hpp>

#include <chrono>

namespace zelk::capi {

using nlohmann::json;

zelk_device_list* makeDeviceList(DeviceList devices) {
  return makeHandle<zelk_device_list>(Kind::deviceList,
                                      std::make_shared<DeviceList>(std::move(devices)));
}

zelk_challenge* makeChallenge(const ChallengeDetails& details) {
  return makeHandle<zelk_challenge>(Kind::challenge, std::make_shared<ChallengeDetails>(details));
}

zelk_device_limit* makeDeviceLimit(const DeviceLimitState& state) {
  return makeHandle<zelk_device_limit>(Kind::deviceLimit,
                                       std::make_shared<DeviceLimitState>(state));
}

namespace {

[[noreturn]] void unknownField(const char* function, zelk_field field) {
  raise(ZELK_ERROR_INVALID_ARGUMENT, std::string(function) + ": field " +
                                         std::to_string(static_cast<int>(field)) +
                                         " is not one of this record's");
}

void putNumber(std::optional<std::int64_t> value, std::int64_t* out, bool* present) {
  *out = value.value_or(0);
  if (present != nullptr) *present = value.has_value();
}

std::optional<std::int64_t> flag(std::optional<bool> value) {
  if (!value) return std::nullopt;
  return *value ? 1 : 0;
}

void putJson(const json& value, char** out, std::size_t* length) {
  writeText(value.dump(), out, length);
}

// Adds `key` to `object` when `value` holds something, as the records' encoders do.
template <typename T>
void addIf(json& object, const char* key, const std::optional<T>& value) {
  if (value) object[key] = *value;
}

std::int64_t unixMilliseconds(Date date) {
  return date.time_since_epoch().count();
}

}  // namespace

}  // namespace zelk::capi

using namespace zelk;
using namespace zelk::capi;

extern "C" {

zelk_status zelk_attach_response_text(zelk_attach_response* response, zelk_field field, char** text,
                                      size_t* length) {
  clear(text);
  clear(length);
  return guarded([&, function = __func__] {
    require(text, function, "text");
    auto reply = need<ZelkAttachResponse>(response, Kind::attachResponse, function, "response");
    switch (field) {
      case ZELK_ATTACH_ACCESS:
        writeText(reply->access, text, length);
        break;
      case ZELK_ATTACH_DEVICE_ID:
        writeText(reply->deviceID, text, length);
        break;
      default:
        unknownField(function, field);
    }
    return ZELK_OK;
  });
}

zelk_status zelk_attach_response_number(zelk_attach_response* response, zelk_field field,
                                        int64_t* value, bool* present) {
  clear(value);
  clear(present);
  return guarded([&, function = __func__] {
    require(value, function, "value");
    auto reply = need<ZelkAttachResponse>(response, Kind::attachResponse, function, "response");
    switch (field) {
      case ZELK_ATTACH_ATTACHED_DEVICES:
        putNumber(reply->attachedDevices, value, present);
        break;
      case ZELK_ATTACH_SUCCESS:
        putNumber(flag(reply->success), value, present);
        break;
      case ZELK_ATTACH_BLOCK_OVER_USAGE:
        putNumber(flag(reply->blockOverUsage), value, present);
        break;
      case ZELK_ATTACH_DEFAULT_DEVICE_LIMIT:
        putNumber(reply->defaultDeviceLimit, value, present);
        break;
      default:
        unknownField(function, field);
    }
    return ZELK_OK;
  });
}

zelk_status zelk_attach_response_json(zelk_attach_response* response, char** text, size_t* length) {
  clear(text);
  clear(length);
  return guarded([&, function = __func__] {
    require(text, function, "json");
    auto reply = need<ZelkAttachResponse>(response, Kind::attachResponse, function, "response");
    json object = {{"attached_devices", reply->attachedDevices}, {"success", reply->success}};
    addIf(object, "access", reply->access);
    addIf(object, "device_id", reply->deviceID);
    addIf(object, "block_over_usage", reply->blockOverUsage);
    addIf(object, "default_device_limit", reply->defaultDeviceLimit);
    putJson(object, text, length);
    return ZELK_OK;
  });
}

zelk_status zelk_identity_get(zelk_identity* identity, char** text, size_t* length,
                              double* confidence) {
  clear(text);
  clear(length);
  clear(confidence);
  return guarded([&, function = __func__] {
    require(text, function, "text");
    auto record = need<ZelkDeviceIdentity>(identity, Kind::identity, function, "identity");
    writeText(record->identity, text, length);
    if (confidence != nullptr) *confidence = record->confidence;
    return ZELK_OK;
  });
}

void zelk_device_list_free(zelk_device_list* list) {
  guardedVoid([&] { Registry::instance().erase(list, Kind::deviceList); });
}

zelk_status zelk_device_list_count(zelk_device_list* list, size_t* count) {
  clear(count);
  return guarded([&, function = __func__] {
    require(count, function, "count");
    *count = need<DeviceList>(list, Kind::deviceList, function, "list")->size();
    return ZELK_OK;
  });
}

}  // extern "C"

namespace {

const ZelkDevice& deviceAt(const DeviceList& list, std::size_t index, const char* function) {
  if (index >= list.size()) {
    raise(ZELK_ERROR_OUT_OF_RANGE, std::string(function) + ": index " + std::to_string(index) +
                                       " is past the " + std::to_string(list.size()) +
                                       " devices of the list");
  }
  return list[index];
}

}  // namespace

extern "C" {

zelk_status zelk_device_list_text(zelk_device_list* list, size_t index, zelk_field field,
                                  char** text, size_t* length) {
  clear(text);
  clear(length);
  return guarded([&, function = __func__] {
    require(text, function, "text");
    auto devices = need<DeviceList>(list, Kind::deviceList, function, "list");
    const ZelkDevice& device = deviceAt(*devices, index, function);
    const auto& os = device.info.os;
    const auto& details = device.info.device;
    const auto geolocation =
        device.lastAccess ? device.lastAccess->geolocation : std::optional<Geolocation>();
    std::optional<std::string> value;
    switch (field) {
      case ZELK_DEVICE_ID:
        value = device.id;
        break;
      case ZELK_DEVICE_MODEL:
        if (details) value = details->model;
        break;
      case ZELK_DEVICE_TYPE:
        if (details) value = details->type;
        break;
      case ZELK_DEVICE_VENDOR:
        if (details) value = details->vendor;
        break;
      case ZELK_DEVICE_OS_NAME:
        if (os) value = os->name;
        break;
      case ZELK_DEVICE_OS_VERSION:
        if (os) value = os->version;
        break;
      case ZELK_DEVICE_CITY:
        if (geolocation) value = geolocation->city;
        break;
      case ZELK_DEVICE_COUNTRY:
        if (geolocation) value = geolocation->country;
        break;
      default:
        unknownField(function, field);
    }
    writeText(value, text, length);
    return ZELK_OK;
  });
}

zelk_status zelk_device_list_date(zelk_device_list* list, size_t index, zelk_field field,
                                  int64_t* unix_ms, bool* present) {
  clear(unix_ms);
  clear(present);
  return guarded([&, function = __func__] {
    require(unix_ms, function, "unix_ms");
    auto devices = need<DeviceList>(list, Kind::deviceList, function, "list");
    const ZelkDevice& device = deviceAt(*devices, index, function);
    std::optional<Date> date;
    switch (field) {
      case ZELK_DEVICE_CREATED_AT:
        date = device.createdAt;
        break;
      case ZELK_DEVICE_UPDATED_AT:
        date = device.updatedAt;
        break;
      default:
        unknownField(function, field);
    }
    putNumber(date ? std::optional(unixMilliseconds(*date)) : std::nullopt, unix_ms, present);
    return ZELK_OK;
  });
}

zelk_status zelk_device_list_json(zelk_device_list* list, char** text, size_t* length) {
  clear(text);
  clear(length);
  return guarded([&, function = __func__] {
    require(text, function, "json");
    auto devices = need<DeviceList>(list, Kind::deviceList, function, "list");
    std::string out = "[";
    for (std::size_t i = 0; i < devices->size(); ++i) {
      if (i > 0) out += ',';
      out += (*devices)[i].toJson();
    }
    out += ']';
    writeText(out, text, length);
    return ZELK_OK;
  });
}

void zelk_challenge_free(zelk_challenge* challenge) {
  guardedVoid([&] { Registry::instance().erase(challenge, Kind::challenge); });
}

zelk_status zelk_challenge_text(zelk_challenge* challenge, zelk_field field, char** text,
                                size_t* length) {
  clear(text);
  clear(length);
  return guarded([&, function = __func__] {
    require(text, function, "text");
    auto details = need<ChallengeDetails>(challenge, Kind::challenge, function, "challenge");
    const auto& project = details->project;
    const auto& brand = details->brand;
    const auto& user = details->user;
    std::optional<std::string> value;
    switch (field) {
      case ZELK_CHALLENGE_ID:
        value = details->_id;
        break;
      case ZELK_CHALLENGE_PROJECT_ID:
        if (project) value = project->_id;
        break;
      case ZELK_CHALLENGE_PROJECT_NAME:
        if (project) value = project->name;
        break;
      case ZELK_CHALLENGE_LOGO:
        if (brand) value = brand->logo;
        break;
      case ZELK_CHALLENGE_PRIMARY_COLOR:
        if (brand) value = brand->primary_color;
        break;
      case ZELK_CHALLENGE_USER_ID:
        if (user) value = user->_id;
        break;
      case ZELK_CHALLENGE_USER_EMAIL:
        if (user) value = user->email;
        break;
      case ZELK_CHALLENGE_USER_PHONE:
        if (user) value = user->phone;
        break;
      default:
        unknownField(function, field);
    }
    writeText(value, text, length);
    return ZELK_OK;
  });
}

zelk_status zelk_challenge_number(zelk_challenge* challenge, zelk_field field, int64_t* value,
                                  bool* present) {
  clear(value);
  clear(present);
  return guarded([&, function = __func__] {
    require(value, function, "value");
    auto details = need<ChallengeDetails>(challenge, Kind::challenge, function, "challenge");
    if (field != ZELK_CHALLENGE_REQUIRE_VERIFICATION) unknownField(function, field);
    putNumber(flag(details->brand ? details->brand->require_verification : std::nullopt), value,
              present);
    return ZELK_OK;
  });
}

zelk_status zelk_challenge_channels(zelk_challenge* challenge, zelk_channel* channels,
                                    size_t capacity, size_t* count) {
  clear(count);
  return guarded([&, function = __func__] {
    require(count, function, "count");
    auto details = need<ChallengeDetails>(challenge, Kind::challenge, function, "challenge");
    const auto list = details->channels.value_or(std::vector<ChallengeChannel>{});
    *count = list.size();
    if (channels != nullptr) {
      for (std::size_t i = 0; i < list.size() && i < capacity; ++i) {
        channels[i] = list[i] == ChallengeChannel::email ? ZELK_CHANNEL_EMAIL : ZELK_CHANNEL_TEXT;
      }
    }
    return ZELK_OK;
  });
}

zelk_status zelk_challenge_json(zelk_challenge* challenge, char** text, size_t* length) {
  clear(text);
  clear(length);
  return guarded([&, function = __func__] {
    require(text, function, "json");
    auto details = need<ChallengeDetails>(challenge, Kind::challenge, function, "challenge");
    json object = {{"_id", details->_id}};
    if (const auto& project = details->project) {
      object["project"] = {{"_id", project->_id}, {"name", project->name}};
    }
    if (const auto& brand = details->brand) {
      json member = json::object();
      addIf(member, "logo", brand->logo);
      addIf(member, "primary_color", brand->primary_color);
      addIf(member, "require_verification", brand->require_verification);
      object["brand"] = std::move(member);
    }
    if (const auto& user = details->user) {
      json member = {{"_id", user->_id}};
      addIf(member, "email", user->email);
      addIf(member, "phone", user->phone);
      object["user"] = std::move(member);
    }
    if (const auto& channels = details->channels) {
      json list = json::array();
      for (const auto channel : *channels) list.push_back(std::string(zelk::text(channel)));
      object["channels"] = std::move(list);
    }
    putJson(object, text, length);
    return ZELK_OK;
  });
}

void zelk_device_limit_free(zelk_device_limit* limit) {
  guardedVoid([&] { Registry::instance().erase(limit, Kind::deviceLimit); });
}

zelk_status zelk_device_limit_number(zelk_device_limit* limit, zelk_field field, int64_t* value,
                                     bool* present) {
  clear(value);
  clear(present);
  return guarded([&, function = __func__] {
    require(value, function, "value");
    auto state = need<DeviceLimitState>(limit, Kind::deviceLimit, function, "limit");
    const auto& devices = state->attachedDevices.devices;
    std::optional<std::int64_t> number;
    switch (field) {
      case ZELK_LIMIT_ATTACHED_TOTAL:
        number = state->attachedDevices.total;
        break;
      case ZELK_LIMIT_ATTACHED_COMPUTERS:
        number = devices.computers;
        break;
      case ZELK_LIMIT_ATTACHED_TABLETS:
        number = devices.tablets;
        break;
      case ZELK_LIMIT_ATTACHED_MOBILES:
        number = devices.mobiles;
        break;
      case ZELK_LIMIT_OVERALL:
        number = state->defaultOverallLimit;
        break;
      case ZELK_LIMIT_COMPUTERS:
        number = state->computerDeviceLimit;
        break;
      case ZELK_LIMIT_TABLETS:
        number = state->tabletDeviceLimit;
        break;
      case ZELK_LIMIT_MOBILES:
        number = state->mobileDeviceLimit;
        break;
      case ZELK_LIMIT_OVER:
        number = zelk::isOverDeviceLimit(*state) ? 1 : 0;
        break;
      default:
        unknownField(function, field);
    }
    putNumber(number, value, present);
    return ZELK_OK;
  });
}

zelk_status zelk_device_limit_json(zelk_device_limit* limit, char** text, size_t* length) {
  clear(text);
  clear(length);
  return guarded([&, function = __func__] {
    require(text, function, "json");
    auto state = need<DeviceLimitState>(limit, Kind::deviceLimit, function, "limit");
    json byType = json::object();
    addIf(byType, "computers", state->attachedDevices.devices.computers);
    addIf(byType, "tablets", state->attachedDevices.devices.tablets);
    addIf(byType, "mobiles", state->attachedDevices.devices.mobiles);
    const json object = {
        {"attached_devices", {{"total", state->attachedDevices.total}, {"devices", byType}}},
        {"default_overall_limit", state->defaultOverallLimit},
        {"computer_device_limit", state->computerDeviceLimit},
        {"tablet_device_limit", state->tabletDeviceLimit},
        {"mobile_device_limit", state->mobileDeviceLimit}};
    putJson(object, text, length);
    return ZELK_OK;
  });
}

}  // extern "C"
