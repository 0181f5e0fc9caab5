// SPDX-License-Identifier: Apache-2.0
#include "routes.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "connections.hpp"
#include "notices.hpp"

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

// Like reply(), then runs `after` once the answer is written (or failed to be): a notice sent
// from there cannot reach the client before the answer that caused it.
void replyThen(httplib::Response& res, int status, const json& body, std::function<void()> after) {
  res.status = status;
  auto text = std::make_shared<const std::string>(render(body));
  // The releaser runs when the response is destroyed; a copy of the response must not run it
  // a second time.
  auto ran = std::make_shared<std::atomic<bool>>(false);
  res.set_content_provider(
      text->size(), "application/json",
      [text](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        return sink.write(text->data() + offset, length);
      },
      [ran, after = std::move(after)](bool) {
        if (!ran->exchange(true)) after();
      });
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

// A /v2/ request other than listen: the operation, and for the challenge reads the challenge id
// taken from the path.
struct Call {
  Operation operation;
  std::string challenge;
};

std::optional<Call> callOf(const httplib::Request& req) {
  if (req.method == "POST") {
    if (req.path == "/v2/access") return Call{Operation::attach, {}};
    if (req.path == "/v2/access/detach") return Call{Operation::detach, {}};
    if (req.path == "/v2/identity") return Call{Operation::identify, {}};
    if (req.path == "/v2/challenge/attempt") return Call{Operation::attempt, {}};
    if (req.path == "/v2/challenge/verify") return Call{Operation::verify, {}};
    if (req.path == "/v2/challenge/resend") return Call{Operation::resend, {}};
    return std::nullopt;
  }
  if (req.method != "GET") return std::nullopt;
  constexpr std::string_view kPrefix = "/v2/challenge/";
  std::string_view path(req.path);
  if (!path.starts_with(kPrefix)) return std::nullopt;
  path.remove_prefix(kPrefix.size());
  const auto slash = path.find('/');
  const std::string_view id = path.substr(0, slash);
  if (id.empty()) return std::nullopt;
  if (slash == std::string_view::npos) return Call{Operation::challenge, std::string(id)};
  const std::string_view rest = path.substr(slash);
  if (rest == "/devices") return Call{Operation::challengeDevices, std::string(id)};
  if (rest == "/device-limit") return Call{Operation::deviceLimit, std::string(id)};
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

void attach(ServiceState& state, StreamHub& hub, const std::string& clientId,
            const httplib::Request& req, httplib::Response& res) {
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
  const json answer = {{"success", true},
                       {"device_id", result.deviceId},
                       {"access", result.access},
                       {"attached_devices", result.attachedDevices},
                       {"block_over_usage", result.blockOverUsage},
                       {"default_device_limit", result.defaultDeviceLimit}};
  if (!result.challenge) return reply(res, 200, answer);
  // Nobody can open a stream with the new access token before this answer, so the notice kept
  // for that stream is in place in time; the other devices hear of it once the answer is out.
  keepChallengeNotice(hub, result.challenge->id, result.deviceId, result.access);
  replyThen(res, 200, answer, [&hub, challenge = *result.challenge, device = result.deviceId] {
    announceChallenge(hub, challenge, device);
  });
}

void detach(ServiceState& state, StreamHub& hub, const std::string& clientId,
            const httplib::Request& req, httplib::Response& res) {
  const json body = parseObject(req.body);
  const std::string device = requiredString(body, "device", /*nonEmpty=*/true);
  const std::string user = requiredString(body, "user", /*nonEmpty=*/true);

  const DetachResult result = state.detach(clientId, user, device);
  if (!result.found) return fail(res, 404, "unknown device");
  hub.forget(result.deviceId);
  replyThen(res, 200,
            {{"success", true},
             {"device_id", result.deviceId},
             {"attached_devices", result.attachedDevices}},
            [&hub, device = result.deviceId] { sendLogout(hub, device); });
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

void failUnknownChallenge(httplib::Response& res) {
  fail(res, 404, "unknown challenge");
}

// GET /v2/challenge/<id>, .../devices and .../device-limit.
void readChallenge(ServiceState& state, const std::string& clientId, const Call& call,
                   httplib::Response& res) {
  std::optional<json> answer;
  if (call.operation == Operation::challenge) {
    answer = state.challengeDetails(clientId, call.challenge);
  } else if (call.operation == Operation::challengeDevices) {
    answer = state.challengeDevices(clientId, call.challenge);
  } else {
    answer = state.deviceLimit(clientId, call.challenge);
  }
  if (!answer) return failUnknownChallenge(res);
  reply(res, 200, *answer);
}

// The client ID of the library's code-request client.
constexpr const char* kCodeRequestClientID = "5B3F2E9A-7C41-4D8E-9A06-1F2C3B4D5E6F";

void attempt(ServiceState& state, const std::string& clientId, const httplib::Request& req,
             httplib::Response& res) {
  const json body = parseObject(req.body);
  const std::string challenge = requiredString(body, "challenge", /*nonEmpty=*/true);
  if (requiredString(body, "action", false) != "verify") throw BadRequest{"action must be verify"};
  const std::string channel = requiredString(body, "channel", false);
  if (channel != "email" && channel != "text") throw BadRequest{"channel must be email or text"};
  // The library asks for codes through a client of its own whose placeholder client ID stands
  // for every project.
  const std::string project = clientId == kCodeRequestClientID
                                  ? state.challengeProject(challenge).value_or(clientId)
                                  : clientId;
  if (!state.sendCode(project, challenge, channel)) return failUnknownChallenge(res);
  reply(res, 200, {{"success", true}, {"channel", channel}});
}

void verify(ServiceState& state, const std::string& clientId, const httplib::Request& req,
            httplib::Response& res) {
  const json body = parseObject(req.body);
  const std::string challenge = requiredString(body, "challenge", /*nonEmpty=*/true);
  const std::string code = requiredString(body, "code", false);
  const std::optional<bool> right = state.checkCode(clientId, challenge, code);
  if (!right) return failUnknownChallenge(res);
  reply(res, 200, {{"success", *right}});
}

void resend(ServiceState& state, const std::string& clientId, const httplib::Request& req,
            httplib::Response& res) {
  const json body = parseObject(req.body);
  const std::string challenge = requiredString(body, "challenge", /*nonEmpty=*/true);
  if (!state.sendCode(clientId, challenge, "")) return failUnknownChallenge(res);
  reply(res, 200, {{"success", true}});
}

// The device id of a GET /v2/access/device/<device id>/listen request.
std::optional<std::string> listenDevice(const httplib::Request& req) {
  constexpr std::string_view kPrefix = "/v2/access/device/", kSuffix = "/listen";
  std::string_view path(req.path);
  if (req.method != "GET" || !path.starts_with(kPrefix) || !path.ends_with(kSuffix))
    return std::nullopt;
  path.remove_prefix(kPrefix.size());
  path.remove_suffix(kSuffix.size());
  if (path.empty() || path.find('/') != std::string_view::npos) return std::nullopt;
  return std::string(path);
}

int numericHeader(const httplib::Request& req, const char* name) {
  try {
    return std::stoi(req.get_header_value(name));
  } catch (const std::exception&) {
    return -1;
  }
}

// Answers with an open event stream written from `stream`.
void serveStream(StreamHub& hub, std::shared_ptr<StreamHub::Stream> stream,
                 const httplib::Request& req, httplib::Response& res) {
  // The connection's socket tells when the client hangs up; httplib's own check misses a TLS
  // client that said goodbye before closing, since its close_notify is still unread.
  const int socket =
      findAcceptedConnection(numericHeader(req, "LOCAL_PORT"), req.get_header_value("REMOTE_ADDR"),
                             numericHeader(req, "REMOTE_PORT"));
  res.status = 200;
  res.set_header("Cache-Control", "no-cache");
  res.set_chunked_content_provider(
      "text/event-stream",
      [&hub, stream, socket](std::size_t, httplib::DataSink& sink) {
        const auto connected = [&] {
          return sink.is_writable() && (socket < 0 || !peerHungUp(socket));
        };
        StreamHub::Step step = hub.next(*stream, connected);
        switch (step.kind) {
          case StreamHub::Step::Kind::write:
            return sink.write(step.bytes.data(), step.bytes.size());
          case StreamHub::Step::Kind::finish:
            sink.done();
            return true;
          case StreamHub::Step::Kind::abort:
            break;
        }
        return false;  // httplib closes the connection without the final chunk
      },
      [&hub, stream](bool) { hub.remove(stream); });
}

void listen(ServiceState& state, StreamHub& hub, const std::string& device,
            const httplib::Request& req, httplib::Response& res) {
  std::shared_ptr<StreamHub::Stream> stream;
  if (auto scripted = state.takeScript(Operation::listen, device)) {
    switch (scripted->stream) {
      case ScriptedAnswer::Stream::none:
        res.status = scripted->status;
        if (!scripted->body.empty()) res.set_content(std::move(scripted->body), "application/json");
        return;
      case ScriptedAnswer::Stream::stall:
        stream = hub.add(device, /*receivePushes=*/false);
        break;
      case ScriptedAnswer::Stream::drip:
        stream = hub.add(device, /*receivePushes=*/true,
                         {std::move(scripted->drip), scripted->chunk, scripted->interval},
                         req.get_param_value("access"));
        break;
    }
  } else {
    const std::string clientId =
        clientIdFromAuthorization(req.has_param("auth") ? req.get_param_value("auth") : "");
    if (clientId.empty()) return fail(res, 401, "missing or malformed auth parameter");
    switch (state.checkListen(clientId, device, req.get_param_value("access"))) {
      case ListenCheck::unknownDevice:
        return fail(res, 404, "unknown device");
      case ListenCheck::unknownAccess:
        return fail(res, 401, "unknown access");
      case ListenCheck::ok:
        break;
    }
    stream = hub.add(device, /*receivePushes=*/true, {}, req.get_param_value("access"));
  }
  if (!stream) return fail(res, 503, "the sandbox is stopping");
  serveStream(hub, std::move(stream), req, res);
}

void serviceRequest(ServiceState& state, StreamHub& hub, const httplib::Request& req,
                    httplib::Response& res) {
  state.record(recordOf(req));
  if (const auto device = listenDevice(req)) return listen(state, hub, *device, req, res);

  const std::optional<Call> call = callOf(req);
  if (call) {
    if (auto scripted = state.takeScript(call->operation)) {
      res.status = scripted->status;
      res.set_content(std::move(scripted->body), "application/json");
      return;
    }
  }

  const std::string clientId = clientIdFromAuthorization(req.get_header_value("Authorization"));
  if (clientId.empty()) return fail(res, 401, "missing or malformed Authorization header");
  if (!call) return fail(res, 404, "not found");

  try {
    switch (call->operation) {
      case Operation::attach:
        return attach(state, hub, clientId, req, res);
      case Operation::detach:
        return detach(state, hub, clientId, req, res);
      case Operation::identify:
        return identify(state, clientId, req, res);
      case Operation::challenge:
      case Operation::challengeDevices:
      case Operation::deviceLimit:
        return readChallenge(state, clientId, *call, res);
      case Operation::attempt:
        return attempt(state, clientId, req, res);
      case Operation::verify:
        return verify(state, clientId, req, res);
      case Operation::resend:
        return resend(state, clientId, req, res);
      case Operation::listen:
        break;  // answered above, never returned by callOf()
    }
  } catch (const BadRequest& bad) {
    fail(res, 400, bad.error);
  }
}

std::optional<bool> optionalBool(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::nullopt;
  if (!it->is_boolean()) throw BadRequest{std::string(key) + " must be true or false"};
  return it->get<bool>();
}

std::optional<long long> optionalInteger(const json& object, const char* key, long long min,
                                         long long max) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::nullopt;
  if (!it->is_number_integer() || *it < min || *it > max)
    throw BadRequest{std::string(key) + " must be an integer from " + std::to_string(min) + " to " +
                     std::to_string(max)};
  return it->get<long long>();
}

void queueScript(ServiceState& state, const httplib::Request& req, httplib::Response& res) {
  try {
    const json body = parseObject(req.body);
    const auto operation = operationFromName(requiredString(body, "operation", false));
    if (!operation)
      throw BadRequest{
          "operation must be one of attach, detach, identify, listen, challenge, "
          "challenge-devices, device-limit, attempt, verify, resend"};
    const bool listen = *operation == Operation::listen;
    ScriptedAnswer answer;
    answer.device = optionalString(body, "device");
    const bool stall = optionalBool(body, "stall").value_or(false);
    const bool drip = body.contains("drip");
    if (!listen && (!answer.device.empty() || stall || drip))
      throw BadRequest{"device, stall and drip are for the listen operation only"};
    if (stall && drip) throw BadRequest{"stall and drip exclude each other"};
    const auto status = optionalInteger(body, "status", 100, 599);
    if (stall || drip) {
      if (status && *status != 200) throw BadRequest{"a stalled or dripping stream answers 200"};
      if (body.contains("body")) throw BadRequest{"a stalled or dripping stream has no body"};
    } else if (!status) {
      throw BadRequest{"status must be an integer from 100 to 599"};
    }
    if (!drip && (body.contains("chunk") || body.contains("interval")))
      throw BadRequest{"chunk and interval go with drip"};

    if (stall) {
      answer.stream = ScriptedAnswer::Stream::stall;
    } else if (drip) {
      answer.stream = ScriptedAnswer::Stream::drip;
      answer.drip = requiredString(body, "drip", /*nonEmpty=*/false);
      answer.chunk =
          static_cast<std::size_t>(optionalInteger(body, "chunk", 1, 1 << 20).value_or(1));
      answer.interval =
          std::chrono::milliseconds(optionalInteger(body, "interval", 0, 60'000).value_or(0));
    } else {
      answer.status = static_cast<int>(*status);
      answer.body = optionalString(body, "body");
    }
    state.pushScript(*operation, std::move(answer));
    reply(res, 200, {{"success", true}});
  } catch (const BadRequest& bad) {
    fail(res, 400, bad.error);
  }
}

void pushEvent(StreamHub& hub, const httplib::Request& req, httplib::Response& res) {
  try {
    const json body = parseObject(req.body);
    const std::string device = requiredString(body, "device", /*nonEmpty=*/true);
    std::string bytes;
    if (body.contains("raw")) {
      for (const char* key : {"event", "id", "data", "retry", "comment"}) {
        if (body.contains(key)) throw BadRequest{std::string("raw excludes ") + key};
      }
      bytes = requiredString(body, "raw", /*nonEmpty=*/true);
    } else {
      Event event;
      event.type = optionalString(body, "event");
      for (auto [key, field] : {std::pair{"id", &event.id}, std::pair{"data", &event.data},
                                std::pair{"comment", &event.comment}}) {
        if (body.contains(key) && !body[key].is_null()) *field = optionalString(body, key);
      }
      if (const auto retry = optionalInteger(body, "retry", 0, std::numeric_limits<int>::max()))
        event.retry = static_cast<int>(*retry);
      try {
        bytes = formatEvent(event);
      } catch (const std::invalid_argument& invalid) {
        throw BadRequest{invalid.what()};
      }
    }
    reply(res, 200, {{"success", true}, {"delivered", hub.push(device, bytes)}});
  } catch (const BadRequest& bad) {
    fail(res, 400, bad.error);
  }
}

void endStreams(StreamHub& hub, const httplib::Request& req, httplib::Response& res) {
  try {
    const json body = parseObject(req.body);
    const std::string device = optionalString(body, "device");
    const bool abort = optionalBool(body, "abort").value_or(false);
    reply(res, 200, {{"success", true}, {"ended", hub.end(device, abort)}});
  } catch (const BadRequest& bad) {
    fail(res, 400, bad.error);
  }
}

// GET /_sandbox/streams: open streams by device. With ?device=D&count=N, first waits up to
// `timeout` milliseconds (default 5000) for at least N streams of D to be open.
void listStreams(StreamHub& hub, const httplib::Request& req, httplib::Response& res) {
  if (req.has_param("count")) {
    const std::string device = req.get_param_value("device");
    int count = 0;
    long long timeout = 5000;
    try {
      count = std::stoi(req.get_param_value("count"));
      if (req.has_param("timeout")) timeout = std::stoll(req.get_param_value("timeout"));
    } catch (const std::exception&) {
      return fail(res, 400, "count and timeout must be integers");
    }
    if (device.empty() || count < 0 || timeout < 0 || timeout > 60'000)
      return fail(res, 400, "device, count >= 0 and timeout from 0 to 60000 are needed");
    const bool reached = hub.waitForStreams(device, count, std::chrono::milliseconds(timeout));
    return reply(res, 200,
                 {{"device", device}, {"open", hub.openStreams(device)}, {"reached", reached}});
  }
  json open = json::object();
  for (const auto& [device, count] : hub.openStreamsByDevice()) open[device] = count;
  reply(res, 200, {{"streams", std::move(open)}});
}

json settingsJSON(const std::string& clientId, const ProjectSettings& settings) {
  json object = settingsJSON(settings);
  object["client_id"] = clientId;
  return object;
}

// POST /_sandbox/project: members left out keep their values; null or "" clears a text.
void configureProject(ServiceState& state, const httplib::Request& req, httplib::Response& res) {
  try {
    const json body = parseObject(req.body);
    const std::string clientId = requiredString(body, "client_id", /*nonEmpty=*/true);
    ProjectSettings settings = state.projectSettings(clientId);
    if (body.contains("name")) settings.name = optionalString(body, "name");
    for (auto [key, field] : {std::pair{"overall_limit", &settings.overallLimit},
                              std::pair{"mobile_limit", &settings.mobileLimit},
                              std::pair{"tablet_limit", &settings.tabletLimit},
                              std::pair{"computer_limit", &settings.computerLimit}}) {
      if (const auto limit = optionalInteger(body, key, 0, 1'000'000))
        *field = static_cast<int>(*limit);
    }
    if (body.contains("logo")) settings.logo = optionalString(body, "logo");
    if (body.contains("primary_color"))
      settings.primaryColor = optionalString(body, "primary_color");
    if (const auto flag = optionalBool(body, "require_verification"))
      settings.requireVerification = *flag;
    if (const auto flag = optionalBool(body, "block_over_usage")) settings.blockOverUsage = *flag;
    state.configureProject(clientId, settings);
    reply(
        res, 200,
        {{"success", true}, {"project", settingsJSON(clientId, state.projectSettings(clientId))}});
  } catch (const BadRequest& bad) {
    fail(res, 400, bad.error);
  }
}

// POST /_sandbox/user: members left out keep their values; null or "" clears them.
void configureUser(ServiceState& state, const httplib::Request& req, httplib::Response& res) {
  try {
    const json body = parseObject(req.body);
    const std::string clientId = requiredString(body, "client_id", /*nonEmpty=*/true);
    const std::string user = requiredString(body, "user", /*nonEmpty=*/true);
    UserProfile profile = state.userProfile(clientId, user);
    if (body.contains("email")) profile.email = optionalString(body, "email");
    if (body.contains("phone")) profile.phone = optionalString(body, "phone");
    state.configureUser(clientId, user, profile);
    reply(res, 200,
          {{"success", true},
           {"client_id", clientId},
           {"user", user},
           {"email", profile.email},
           {"phone", profile.phone}});
  } catch (const BadRequest& bad) {
    fail(res, 400, bad.error);
  }
}

void raiseChallenge(ServiceState& state, StreamHub& hub, const httplib::Request& req,
                    httplib::Response& res) {
  try {
    const json body = parseObject(req.body);
    const std::string clientId = requiredString(body, "client_id", /*nonEmpty=*/true);
    const std::string user = requiredString(body, "user", /*nonEmpty=*/true);
    const RaisedChallenge raised = state.raiseChallenge(clientId, user, "manual");
    announceChallenge(hub, raised);
    reply(res, 200, {{"success", true}, {"challenge", raised.id}});
  } catch (const BadRequest& bad) {
    fail(res, 400, bad.error);
  }
}

void pushLogout(StreamHub& hub, const httplib::Request& req, httplib::Response& res) {
  try {
    const json body = parseObject(req.body);
    const std::string device = requiredString(body, "device", /*nonEmpty=*/true);
    reply(res, 200, {{"success", true}, {"delivered", sendLogout(hub, device)}});
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

void installRoutes(httplib::Server& server, ServiceState& state, StreamHub& streams) {
  const auto service = [&state, &streams](const httplib::Request& req, httplib::Response& res) {
    serviceRequest(state, streams, req, res);
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
  server.Get("/_sandbox/state",
             [&state, &streams](const httplib::Request&, httplib::Response& res) {
               json dump = state.dump();
               json kept = json::object();
               for (const auto& [device, count] : streams.keptByDevice()) kept[device] = count;
               dump["kept_messages"] = std::move(kept);
               reply(res, 200, dump);
             });
  server.Post("/_sandbox/project", [&state](const httplib::Request& req, httplib::Response& res) {
    configureProject(state, req, res);
  });
  server.Post("/_sandbox/user", [&state](const httplib::Request& req, httplib::Response& res) {
    configureUser(state, req, res);
  });
  server.Post("/_sandbox/challenge",
              [&state, &streams](const httplib::Request& req, httplib::Response& res) {
                raiseChallenge(state, streams, req, res);
              });
  server.Get(R"(/_sandbox/challenge/([^/]+))",
             [&state](const httplib::Request& req, httplib::Response& res) {
               const auto found = state.challengeState(req.matches[1]);
               if (!found) return fail(res, 404, "unknown challenge");
               reply(res, 200, *found);
             });
  server.Post("/_sandbox/logout", [&streams](const httplib::Request& req, httplib::Response& res) {
    pushLogout(streams, req, res);
  });
  server.Post("/_sandbox/push", [&streams](const httplib::Request& req, httplib::Response& res) {
    pushEvent(streams, req, res);
  });
  server.Post("/_sandbox/end-stream",
              [&streams](const httplib::Request& req, httplib::Response& res) {
                endStreams(streams, req, res);
              });
  server.Get("/_sandbox/streams", [&streams](const httplib::Request& req, httplib::Response& res) {
    listStreams(streams, req, res);
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
