// SPDX-License-Identifier: Apache-2.0
#pragma once

// A service on loopback that answers the calls about a user's own devices from a list the test
// keeps: attach hands out one device and its access, the stream stays open and silent, the list
// and the sign-outs check the device and access they are sent, and a test may queue replies of
// its own for the next calls to the devices routes.

#include "support/scripted_server.hpp"

#include <nlohmann/json.hpp>

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zelk::testing {

class OwnDevicesService {
 public:
  using json = nlohmann::json;

  static constexpr const char* kDevice = "dev-current";
  static constexpr const char* kAccess = "acc-current";

  /// A device record as the service writes it; `trustedUntil` set makes it a trusted device.
  static json device(const std::string& id, const std::string& type, const std::string& model,
                     const std::string& updatedAt = "2026-12-08T01:02:03.456Z",
                     std::optional<std::string> city = std::nullopt,
                     std::optional<std::string> country = std::nullopt) {
    json record = {{"_id", id},
                   {"info",
                    {{"os", {{"name", "iOS"}, {"version", "17.2"}}},
                     {"device", {{"vendor", "Apple"}, {"type", type}, {"model", model}}}}},
                   {"createdAt", "2026-11-01T09:00:00.000Z"},
                   {"updatedAt", updatedAt}};
    if (city || country) {
      json place = json::object();
      if (city) place["city"] = *city;
      if (country) place["country"] = *country;
      record["last_access"] = {{"geolocation", place}};
    }
    return record;
  }

  OwnDevicesService() {
    devices_.push_back(
        device(kDevice, "mobile", "iPhone", "2026-12-08T01:02:03.456Z", "Berlin", "Germany"));
  }

  std::string baseURL() const { return server_.baseURL(); }

  /// Adds a device of the user; `code` names it for a sign-out by e-mailed code.
  void addDevice(json record, std::optional<std::string> trustedUntil = std::nullopt,
                 std::optional<std::string> code = std::nullopt) {
    std::lock_guard lock(mutex_);
    if (trustedUntil) record["trusted_until"] = *trustedUntil;
    if (code) codes_[*code] = record["_id"].get<std::string>();
    devices_.push_back(std::move(record));
  }

  /// The "swaps" member of the list replies; absent by default.
  void setSwaps(std::optional<json> swaps) {
    std::lock_guard lock(mutex_);
    swaps_ = std::move(swaps);
  }

  /// Answers the next call to /v2/access/devices, /v2/access/devices/logout or
  /// /v2/access/detach with `status` and `body` instead.
  void queueReply(int status, std::string body) {
    std::lock_guard lock(mutex_);
    queued_.push_back(ScriptedReply{status, {}, std::move(body)});
  }

  /// The IDs of the user's devices, in order.
  std::vector<std::string> deviceIDs() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> ids;
    for (const json& record : devices_) ids.push_back(record["_id"].get<std::string>());
    return ids;
  }

  /// The JSON bodies received on `path`, in order.
  std::vector<json> bodies(const std::string& path) const {
    std::vector<json> found;
    for (const auto& request : server_.requests()) {
      if (request.path == path) found.push_back(json::parse(request.body, nullptr, false));
    }
    return found;
  }

  std::vector<ScriptedRequest> requests() const { return server_.requests(); }

 private:
  static ScriptedReply reply(int status, const json& body) {
    return ScriptedReply{status, {{"Content-Type", "application/json"}}, body.dump()};
  }

  ScriptedReply answer(const ScriptedRequest& request) {
    std::lock_guard lock(mutex_);
    if (request.path == "/v2/access") {
      return reply(200, {{"success", true},
                         {"attached_devices", devices_.size()},
                         {"device_id", kDevice},
                         {"access", kAccess}});
    }
    if (request.path.starts_with("/v2/access/device/")) {
      ScriptedReply stream;
      stream.headers = {{"Content-Type", "text/event-stream"}};
      stream.body = ": open\n\n";
      stream.keepOpen = true;
      return stream;
    }
    const bool ours = request.path == "/v2/access/devices" ||
                      request.path == "/v2/access/devices/logout" ||
                      request.path == "/v2/access/detach";
    if (!ours) return reply(404, {{"error", "not found"}});
    if (!queued_.empty()) {
      ScriptedReply next = std::move(queued_.front());
      queued_.pop_front();
      return next;
    }
    const json body = json::parse(request.body, nullptr, false);
    if (request.path == "/v2/access/detach") {
      return reply(200, {{"success", true},
                         {"device_id", body.value("device", "")},
                         {"attached_devices", devices_.size()}});
    }
    if (!body.is_object() || body.value("device", "") != kDevice ||
        body.value("access", "") != kAccess) {
      return reply(401, {{"error", "unknown access"}});
    }
    if (request.path == "/v2/access/devices") {
      json list = json::array();
      for (json record : devices_) {
        record["current"] = record["_id"] == kDevice;
        list.push_back(std::move(record));
      }
      json answer = {{"device_id", kDevice}, {"devices", list}};
      if (swaps_) answer["swaps"] = *swaps_;
      return reply(200, answer);
    }
    std::string target;
    if (body.contains("code")) {
      const auto code = codes_.find(body.value("code", ""));
      if (code == codes_.end()) return reply(404, {{"error", "unknown code"}});
      target = code->second;
    } else {
      target = body.value("target", "");
    }
    const auto found = std::find_if(devices_.begin(), devices_.end(),
                                    [&](const json& record) { return record["_id"] == target; });
    if (found == devices_.end()) return reply(404, {{"error", "unknown device"}});
    devices_.erase(found);
    return reply(200,
                 {{"success", true}, {"device_id", target}, {"attached_devices", devices_.size()}});
  }

  mutable std::mutex mutex_;
  std::vector<json> devices_;
  std::map<std::string, std::string> codes_;
  std::optional<json> swaps_;
  std::deque<ScriptedReply> queued_;
  ScriptedServer server_{[this](const ScriptedRequest& request) { return answer(request); }};
};

}  // namespace zelk::testing
