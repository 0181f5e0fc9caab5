// SPDX-License-Identifier: Apache-2.0
// The service operations under /v2/ the library calls, as the routes and whatever wraps them
// (the sandbox hooks, the request log) name them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "http/message.hpp"

namespace zelk::server {

enum class Operation {
  attach,
  detach,
  identify,
  listen,
  challenge,         // GET /v2/challenge/<id>
  challengeDevices,  // GET /v2/challenge/<id>/devices
  deviceLimit,       // GET /v2/challenge/<id>/device-limit
  attempt,           // POST /v2/challenge/attempt
  verify,            // POST /v2/challenge/verify
  resend,            // POST /v2/challenge/resend
  devices,           // POST /v2/access/devices: a device lists its user's devices
  devicesLogout,     // POST /v2/access/devices/logout: and signs one of them out
};
std::optional<Operation> operationFromName(std::string_view name);
std::string_view operationName(Operation operation);

// A /v2/ request: its operation, and the challenge id of a challenge read or the device id of a
// listen, taken from the path.
struct Call {
  Operation operation;
  std::string id;
};
std::optional<Call> callOf(const http::Request& req);
// The route name of a /v2/ request for the metrics: its operation's, or "unknown".
std::string routeName(const http::Request& req);

}  // namespace zelk::server
