// SPDX-License-Identifier: Apache-2.0
#include "routes/operations.hpp"

namespace zelk::server {

std::optional<Operation> operationFromName(std::string_view name) {
  if (name == "attach") return Operation::attach;
  if (name == "detach") return Operation::detach;
  if (name == "identify") return Operation::identify;
  if (name == "listen") return Operation::listen;
  if (name == "challenge") return Operation::challenge;
  if (name == "challenge-devices") return Operation::challengeDevices;
  if (name == "device-limit") return Operation::deviceLimit;
  if (name == "attempt") return Operation::attempt;
  if (name == "verify") return Operation::verify;
  if (name == "resend") return Operation::resend;
  if (name == "devices") return Operation::devices;
  if (name == "devices-logout") return Operation::devicesLogout;
  return std::nullopt;
}

std::string_view operationName(Operation operation) {
  switch (operation) {
    case Operation::attach:
      return "attach";
    case Operation::detach:
      return "detach";
    case Operation::identify:
      return "identify";
    case Operation::listen:
      return "listen";
    case Operation::challenge:
      return "challenge";
    case Operation::challengeDevices:
      return "challenge-devices";
    case Operation::deviceLimit:
      return "device-limit";
    case Operation::attempt:
      return "attempt";
    case Operation::verify:
      return "verify";
    case Operation::resend:
      return "resend";
    case Operation::devices:
      return "devices";
    case Operation::devicesLogout:
      return "devices-logout";
  }
  return "";
}

std::optional<Call> callOf(const http::Request& req) {
  std::string_view path(req.path);
  if (req.method == "GET") {
    // GET /v2/access/device/<device id>/listen
    constexpr std::string_view kDevice = "/v2/access/device/", kListen = "/listen";
    if (path.starts_with(kDevice) && path.ends_with(kListen)) {
      std::string_view device = path.substr(kDevice.size());
      device.remove_suffix(kListen.size());
      if (device.empty() || device.find('/') != std::string_view::npos) return std::nullopt;
      return Call{Operation::listen, http::percentDecode(device, false)};
    }
  }
  if (req.method == "POST") {
    if (path == "/v2/access") return Call{Operation::attach, {}};
    if (path == "/v2/access/detach") return Call{Operation::detach, {}};
    if (path == "/v2/access/devices") return Call{Operation::devices, {}};
    if (path == "/v2/access/devices/logout") return Call{Operation::devicesLogout, {}};
    if (path == "/v2/identity") return Call{Operation::identify, {}};
    if (path == "/v2/challenge/attempt") return Call{Operation::attempt, {}};
    if (path == "/v2/challenge/verify") return Call{Operation::verify, {}};
    if (path == "/v2/challenge/resend") return Call{Operation::resend, {}};
    return std::nullopt;
  }
  if (req.method != "GET") return std::nullopt;
  constexpr std::string_view kPrefix = "/v2/challenge/";
  if (!path.starts_with(kPrefix)) return std::nullopt;
  path.remove_prefix(kPrefix.size());
  const auto slash = path.find('/');
  const std::string id = http::percentDecode(path.substr(0, slash), false);
  if (id.empty()) return std::nullopt;
  if (slash == std::string_view::npos) return Call{Operation::challenge, id};
  const std::string_view rest = path.substr(slash);
  if (rest == "/devices") return Call{Operation::challengeDevices, id};
  if (rest == "/device-limit") return Call{Operation::deviceLimit, id};
  return std::nullopt;
}

std::string routeName(const http::Request& req) {
  const std::optional<Call> call = callOf(req);
  return call ? std::string(operationName(call->operation)) : "unknown";
}

}  // namespace zelk::server
