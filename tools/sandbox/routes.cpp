#include "routes.hpp"

#include <exception>
#include <optional>
#include <string_view>
#include <utility>

namespace zelk::sandbox {
namespace {

using nlohmann::json;

// Header entries httplib adds to every request itself; they were never on the wire.
bool isSyntheticHeader(const std::string& name) {
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
         name == "LOCAL_PORT";
}

// Invalid UTF-8 in recorded bodies or device facts must not make a dump throw.
std::string render(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

void reply(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(render(body), "application/json");
}

void fail(httplib::Response& res, int status, const std::string& error) {
  reply(res, status, {{"success", false}, {"error", error}});
}

RecordedRequest recordOf(const httplib::Request& req) {
  RecordedRequest recorded;
  recorded.method = req.method;
  // The raw request target keeps the path and the query exactly as sent (req.path is decoded).
  const auto question = req.target.find('?');
  recorded.path = req.target.substr(0, question);
  if (question != std::string::npos) recorded.query = req.target.substr(question + 1);
  for (const auto& [name, value] : req.headers) {
    if (!isSyntheticHeader(name)) recorded.headers.emplace_back(name, value);
  }
  recorded.body = req.body;
  return recorded;
}

json toJSON(const RecordedRequest& request) {
  json headers = json::array();
  for (const auto& [name, value] : request.headers) headers.push_back({name, value});
  return {{"method", request.method},
          {"path", request.path},
          {"query", request.query},
          {"headers", std::move(headers)},
          {"body", request.body}};
}

std::optional<Operation> operationOf(const httplib::Request& req) {
  if (req.method != "POST") return std::nullopt;
  if (req.path == "/v2/access") return Operation::attach;
  if (req.path == "/v2/access/detach") return Operation::detach;
  if (req.path == "/v2/identity") return Operation::identify;
  return std::nullopt;
}

// A validation failure: the message goes back to the caller in a 400 answer.
struct BadRequest {
  std::string error;
};

json parseObject(const std::string& body) {
  json parsed = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) throw BadRequest{"body is not valid JSON"};
  if (!parsed.is_object()) throw BadRequest{"body must be a JSON object"};
  return parsed;
}

std::string requiredString(const json& object, const char* key, bool nonEmpty) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string() ||
      (nonEmpty && it->get_ref<const std::string&>().empty()))
    throw BadRequest{std::string(key) +
                     (nonEmpty ? " must be a non-empty string" : " must be a string")};
  return it->get<std::string>();
}

std::string optionalString(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return {};
  if (!it->is_string()) throw BadRequest{std::string(key) + " must be a string"};
  return it->get<std::string>();
}

json requiredObject(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_object())
    throw BadRequest{std::string(key) + " must be an object"};
  return *it;
}

json optionalMetadata(const json& object) {
  auto it = object.find("metadata");
  if (it == object.end() || it->is_null()) return json::object();
  if (!it->is_object() && !it->is_array())
    throw BadRequest{"metadata must be an object or an array"};
  return *it;
}

std::string vendorIdentifier(const json& body) {
  const json signals = requiredObject(body, "signals");
  auto it = signals.find("iosVendorIdentifier");
  if (it == signals.end() || !it->is_string())
    throw BadRequest{"signals.iosVendorIdentifier must be a string"};
  return it->get<std::string>();
}

void attach(ServiceState& state, const std::string& clientId, const httplib::Request& req,
            httplib::Response& res) {
  const json body = parseObject(req.body);
  AttachInput input;
  input.project = clientId;
  input.user = requiredString(body, "user", /*nonEmpty=*/true);
  input.deviceInfo = requiredObject(body, "device_info");
  input.vendorId = vendorIdentifier(body);
  input.metadata = optionalMetadata(body);
  input.library = optionalString(body, "library");
  input.version = optionalString(body, "version");
  input.identity = optionalString(body, "identity");

  const AttachResult result = state.attach(input);
  reply(res, 200,
        {{"success", true},
         {"device_id", result.deviceId},
         {"access", result.access},
         {"attached_devices", result.attachedDevices},
         {"block_over_usage", result.blockOverUsage},
         {"default_device_limit", result.defaultDeviceLimit}});
}

void detach(ServiceState& state, const std::string& clientId, const httplib::Request& req,
            httplib::Response& res) {
  const json body = parseObject(req.body);
  const std::string device = requiredString(body, "device", /*nonEmpty=*/true);
  const std::string user = requiredString(body, "user", /*nonEmpty=*/true);

  const DetachResult result = state.detach(clientId, user, device);
  if (!result.found) return fail(res, 404, "unknown device");
  reply(res, 200,
        {{"success", true},
         {"device_id", result.deviceId},
         {"attached_devices", result.attachedDevices}});
}

void identify(ServiceState& state, const std::string& clientId, const httplib::Request& req,
              httplib::Response& res) {
  const json body = parseObject(req.body);
  IdentifyInput input;
  input.project = clientId;
  input.deviceInfo = requiredObject(body, "device_info");
  input.vendorId = vendorIdentifier(body);
  optionalMetadata(body);
  input.identityId = optionalString(body, "identity_id");

  const IdentifyResult result = state.identify(input);
  reply(res, 200, {{"identity", result.identity}, {"confidence", result.confidence}});
}

void serviceRequest(ServiceState& state, const httplib::Request& req, httplib::Response& res) {
  state.record(recordOf(req));

  const std::optional<Operation> operation = operationOf(req);
  if (operation) {
    if (auto scripted = state.takeScript(*operation)) {
      res.status = scripted->status;
      res.set_content(std::move(scripted->body), "application/json");
      return;
    }
  }

  const std::string clientId = clientIdFromAuthorization(req.get_header_value("Authorization"));
  if (clientId.empty()) return fail(res, 401, "missing or malformed Authorization header");
  if (!operation) return fail(res, 404, "not found");

  try {
    switch (*operation) {
      case Operation::attach:
        return attach(state, clientId, req, res);
      case Operation::detach:
        return detach(state, clientId, req, res);
      case Operation::identify:
        return identify(state, clientId, req, res);
    }
  } catch (const BadRequest& bad) {
    fail(res, 400, bad.error);
  }
}

void queueScript(ServiceState& state, const httplib::Request& req, httplib::Response& res) {
  try {
    const json body = parseObject(req.body);
    const auto operation = operationFromName(requiredString(body, "operation", false));
    if (!operation) throw BadRequest{"operation must be one of attach, detach, identify"};
    auto status = body.find("status");
    if (status == body.end() || !status->is_number_integer() || *status < 100 || *status > 599)
      throw BadRequest{"status must be an integer from 100 to 599"};
    state.pushScript(*operation, {status->get<int>(), optionalString(body, "body")});
    reply(res, 200, {{"success", true}});
  } catch (const BadRequest& bad) {
    fail(res, 400, bad.error);
  }
}

}  // namespace

std::string clientIdFromAuthorization(const std::string& value) {
  constexpr std::string_view kScheme = "Basic ";
  std::string_view rest(value);
  if (!rest.starts_with(kScheme)) return {};
  rest.remove_prefix(kScheme.size());
  // "<client id>:" with a non-empty client id and nothing after the colon.
  if (rest.size() < 2 || rest.back() != ':') return {};
  rest.remove_suffix(1);
  // Client ids are sent as they are: anything but a colon, spaces included.
  if (rest.find(':') != std::string_view::npos) return {};
  return std::string(rest);
}

void installRoutes(httplib::Server& server, ServiceState& state) {
  const auto service = [&state](const httplib::Request& req, httplib::Response& res) {
    serviceRequest(state, req, res);
  };
  const char* kService = R"(/v2/.*)";
  server.Get(kService, service);
  server.Post(kService, service);
  server.Put(kService, service);
  server.Patch(kService, service);
  server.Delete(kService, service);
  server.Options(kService, service);

  server.Get("/_sandbox/requests", [&state](const httplib::Request&, httplib::Response& res) {
    json all = json::array();
    for (const RecordedRequest& request : state.requests()) all.push_back(toJSON(request));
    reply(res, 200, all);
  });
  server.Delete("/_sandbox/requests", [&state](const httplib::Request&, httplib::Response& res) {
    state.clearRequests();
    reply(res, 200, {{"success", true}});
  });
  server.Post("/_sandbox/script", [&state](const httplib::Request& req, httplib::Response& res) {
    queueScript(state, req, res);
  });
  server.Get("/_sandbox/state", [&state](const httplib::Request&, httplib::Response& res) {
    reply(res, 200, state.dump());
  });

  server.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
        std::string what = "unknown error";
        try {
          if (error) std::rethrow_exception(error);
        } catch (const std::exception& e) {
          what = e.what();
        } catch (...) {
        }
        fail(res, 500, "internal error: " + what);
      });
}

}  // namespace zelk::sandbox
