// SPDX-License-Identifier: Apache-2.0
// HTTP front of the sandbox service: parses and validates requests, turns them into calls on the
// ServiceState and renders its answers as JSON.
#pragma once

#include <string>

#include <httplib.h>

#include "service_state.hpp"
#include "streams.hpp"

namespace zelk::sandbox {

// Registers the /v2/ service operations and the /_sandbox/ admin endpoints on `server`. `state`
// and `streams` must outlive the server.
void installRoutes(httplib::Server& server, ServiceState& state, StreamHub& streams);

// The client id carried by an "Authorization: Basic <client id>:" header value, or "" when the
// value does not have exactly that form.
std::string clientIdFromAuthorization(const std::string& value);

}  // namespace zelk::sandbox
