// SPDX-License-Identifier: Apache-2.0
#include "hooks/hooks.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <stdexcept>

#include "hooks/demo_logo.hpp"
#include "realtime/events.hpp"
#include "realtime/hub.hpp"
#include "realtime/push.hpp"
#include "routes/json_input.hpp"
#include "routes/service_routes.hpp"
#include "service/ids.hpp"
#include "service/service.hpp"

namespace zelk::server {
namespace {

using nlohmann::json;

json toJSON(const RecordedRequest& request) {
  json headers = json::array();
  for (const auto& [name, value] : request.headers) headers.push_back({name, value});
  return {{"method", request.method},
          {"path", request.path},
          {"query", request.query},
          {"headers", std::move(headers)},
          {"body", request.body}};
}

std::string requiredClientId(const json& body) {
  const std::string clientId = requiredString(body, "client_id", /*nonEmpty=*/true, 256);
  if (!isValidClientId(clientId)) throw BadRequest{"client_id must not contain a colon"};
  return clientId;
}

ScriptedAnswer scriptOf(const json& body, Operation operation) {
  const bool listen = operation == Operation::listen;
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
    answer.drip = requiredString(body, "drip", /*nonEmpty=*/false, 60'000);
    answer.chunk = static_cast<std::size_t>(optionalInteger(body, "chunk", 1, 1 << 20).value_or(1));
    answer.interval =
        std::chrono::milliseconds(optionalInteger(body, "interval", 0, 60'000).value_or(0));
  } else {
    answer.status = static_cast<int>(*status);
    answer.body = optionalString(body, "body", 60'000);
  }
  return answer;
}

std::string pushBytes(const json& body) {
  if (body.contains("raw")) {
    for (const char* key : {"event", "id", "data", "retry", "comment"}) {
      if (body.contains(key)) throw BadRequest{std::string("raw excludes ") + key};
    }
    auto raw = body.find("raw");
    if (!raw->is_string() || raw->get_ref<const std::string&>().empty())
      throw BadRequest{"raw must be a non-empty string"};
    return raw->get<std::string>();
  }
  Event event;
  event.type = optionalString(body, "event");
  for (auto [key, field] : {std::pair{"id", &event.id}, std::pair{"data", &event.data},
                            std::pair{"comment", &event.comment}}) {
    if (!body.contains(key) || body[key].is_null()) continue;
    if (!body[key].is_string()) throw BadRequest{std::string(key) + " must be a string"};
    *field = body[key].get<std::string>();
  }
  if (const auto retry = optionalInteger(body, "retry", 0, std::numeric_limits<int>::max()))
    event.retry = static_cast<int>(*retry);
  try {
    return formatEvent(event);
  } catch (const std::invalid_argument& invalid) {
    throw BadRequest{invalid.what()};
  }
}

}  // namespace

bool SandboxHooks::intercept(const http::Request& request, http::Response& response) {
  record(request);
  const std::optional<Call> call = callOf(request);
  if (!call) return false;
  const bool listen = call->operation == Operation::listen;
  std::optional<ScriptedAnswer> scripted = takeScript(call->operation, listen ? call->id : "");
  if (!scripted) return false;
  if (scripted->stream == ScriptedAnswer::Stream::none) {
    response.status = scripted->status;
    response.contentType = listen && scripted->body.empty() ? "" : "application/json";
    response.body = std::move(scripted->body);
    return true;
  }
  // A stream the rules never saw: it stalls, or drips its bytes and then hears what is pushed.
  Hub::Options options;
  if (scripted->stream == ScriptedAnswer::Stream::stall) {
    options.receivePushes = false;
  } else {
    options.drip = {std::move(scripted->drip), scripted->chunk, scripted->interval};
  }
  response.stream = [this, device = call->id,
                     options = std::move(options)](std::shared_ptr<http::StreamSink> sink) mutable {
    std::shared_ptr<Hub::Stream> stream = hub_.add(device, sink, std::move(options));
    if (!stream) sink->abort();
    return std::function<void()>([this, weak = std::weak_ptr<Hub::Stream>(stream)] {
      if (auto gone = weak.lock()) hub_.remove(gone);
    });
  };
  return true;
}

void SandboxHooks::record(const http::Request& request) {
  RecordedRequest recorded{request.method, request.path, request.query, request.headers,
                           request.body};
  std::lock_guard lock(mutex_);
  requests_.push_back(std::move(recorded));
  while (requests_.size() > kMaxRecordedRequests) requests_.pop_front();
}

std::vector<RecordedRequest> SandboxHooks::requests() const {
  std::lock_guard lock(mutex_);
  return {requests_.begin(), requests_.end()};
}

void SandboxHooks::clearRequests() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

void SandboxHooks::pushScript(Operation operation, ScriptedAnswer answer) {
  std::lock_guard lock(mutex_);
  scripts_[operation].push_back(std::move(answer));
}

std::optional<ScriptedAnswer> SandboxHooks::takeScript(Operation operation,
                                                       std::string_view device) {
  std::lock_guard lock(mutex_);
  auto queue = scripts_.find(operation);
  if (queue == scripts_.end()) return std::nullopt;
  auto& answers = queue->second;
  auto match = std::find_if(answers.begin(), answers.end(), [&](const ScriptedAnswer& answer) {
    return answer.device.empty() || answer.device == device;
  });
  if (match == answers.end()) return std::nullopt;
  ScriptedAnswer answer = std::move(*match);
  answers.erase(match);
  return answer;
}

json SandboxHooks::scriptsJSON() const {
  std::lock_guard lock(mutex_);
  json scripts = json::object();
  for (const auto& [operation, queue] : scripts_) {
    json pending = json::array();
    for (const ScriptedAnswer& answer : queue) {
      json entry = {{"status", answer.status}, {"body", answer.body}};
      if (answer.stream == ScriptedAnswer::Stream::stall) entry = {{"stall", true}};
      if (answer.stream == ScriptedAnswer::Stream::drip)
        entry = {
            {"drip", answer.drip}, {"chunk", answer.chunk}, {"interval", answer.interval.count()}};
      if (!answer.device.empty()) entry["device"] = answer.device;
      pending.push_back(std::move(entry));
    }
    scripts[std::string(operationName(operation))] = std::move(pending);
  }
  return scripts;
}

void SandboxHooks::rememberCode(const std::string& challenge, const std::string& code) {
  std::lock_guard lock(mutex_);
  if (!codes_.insert_or_assign(challenge, code).second) return;
  codeOrder_.push_back(challenge);
  if (codeOrder_.size() > kMaxRecordedRequests) {
    codes_.erase(codeOrder_.front());
    codeOrder_.pop_front();
  }
}

std::optional<std::string> SandboxHooks::lastCode(const std::string& challenge) const {
  std::lock_guard lock(mutex_);
  const auto code = codes_.find(challenge);
  if (code == codes_.end()) return std::nullopt;
  return code->second;
}

bool SandboxHooks::handle(const http::Request& req, http::Response& res) {
  const std::string& path = req.path;
  const bool get = req.method == "GET", post = req.method == "POST";
  try {
    if (path == "/_sandbox/requests" && get) {
      json all = json::array();
      for (const RecordedRequest& request : requests()) all.push_back(toJSON(request));
      reply(res, 200, all);
    } else if (path == "/_sandbox/requests" && req.method == "DELETE") {
      clearRequests();
      reply(res, 200, {{"success", true}});
    } else if (path == "/_sandbox/script" && post) {
      const json body = parseObject(req.body);
      const auto operation = operationFromName(requiredString(body, "operation", false));
      if (!operation)
        throw BadRequest{
            "operation must be one of attach, detach, identify, listen, challenge, "
            "challenge-devices, device-limit, attempt, verify, resend"};
      pushScript(*operation, scriptOf(body, *operation));
      reply(res, 200, {{"success", true}});
    } else if (path == "/_sandbox/state" && get) {
      json dump = service_.dump();
      dump["pending_scripts"] = scriptsJSON();
      {
        std::lock_guard lock(mutex_);
        dump["recorded_requests"] = requests_.size();
      }
      json kept = json::object();
      for (const auto& [device, count] : hub_.keptByDevice()) kept[device] = count;
      dump["kept_messages"] = std::move(kept);
      dump["repeat_open_challenges"] = service_.repeatOpenChallenges();
      reply(res, 200, dump);
    } else if (path == "/_sandbox/project" && post) {
      // Members left out keep their values; null or "" clears a text.
      const json body = parseObject(req.body);
      const std::string clientId = requiredClientId(body);
      ProjectSettings settings = service_.projectSettings(clientId);
      if (!service_.projectConfigured(clientId) && settings.name == clientId) settings.name.clear();
      applyProjectSettings(body, settings);
      checkProjectSettings(settings);
      service_.configureProject(clientId, settings);
      json project = settingsJSON(service_.projectSettings(clientId));
      project["client_id"] = clientId;
      reply(res, 200, {{"success", true}, {"project", std::move(project)}});
    } else if (path == "/_sandbox/user" && post) {
      const json body = parseObject(req.body);
      const std::string clientId = requiredClientId(body);
      const std::string user = requiredString(body, "user", /*nonEmpty=*/true, 256);
      UserProfile profile = service_.userProfile(clientId, user);
      if (body.contains("email")) profile.email = optionalString(body, "email", 256);
      if (body.contains("phone")) profile.phone = optionalString(body, "phone", 64);
      service_.configureUser(clientId, user, profile);
      reply(res, 200,
            {{"success", true},
             {"client_id", clientId},
             {"user", user},
             {"email", profile.email},
             {"phone", profile.phone}});
    } else if (path == "/_sandbox/challenge" && post) {
      const json body = parseObject(req.body);
      const std::string clientId = requiredClientId(body);
      const std::string user = requiredString(body, "user", /*nonEmpty=*/true, 256);
      RaisedChallenge raised = service_.raiseChallenge(clientId, user, "manual");
      reply(res, 200, {{"success", true}, {"challenge", raised.id}});
      // A message per device of the user: moved along, never copied.
      res.after = [this, raised = std::move(raised)] {
        announceChallenge(hub_, metrics_, raised, service_.repeatOpenChallenges());
      };
    } else if (path == "/_sandbox/code" && post) {
      const json body = parseObject(req.body);
      const std::string id = requiredString(body, "challenge", /*nonEmpty=*/true, 64);
      const auto sent = isServiceId(id, "ch_") ? service_.sendCodeNow(id) : std::nullopt;
      if (!sent) {
        fail(res, 404, "unknown challenge");
      } else {
        rememberCode(sent->challenge, sent->code);
        reply(res, 200, {{"success", true}, {"code", sent->code}, {"channel", sent->channel}});
      }
    } else if (path.starts_with("/_sandbox/challenge/") && get) {
      const std::string id = path.substr(sizeof "/_sandbox/challenge/" - 1);
      auto found = service_.challengeState(id);
      if (!found) {
        fail(res, 404, "unknown challenge");
      } else {
        const auto code = lastCode(id);
        (*found)["code"] = code ? json(*code) : json(nullptr);
        reply(res, 200, *found);
      }
    } else if (path == "/_sandbox/logout" && post) {
      const json body = parseObject(req.body);
      const std::string device = requiredString(body, "device", /*nonEmpty=*/true, 64);
      const auto delivery = service_.logout("", device);
      Event order;
      order.data = logoutData();
      const int delivered = delivery ? static_cast<int>(pushMessages(hub_, metrics_, {*delivery}))
                                     : hub_.push(device, formatEvent(order));
      reply(res, 200, {{"success", true}, {"delivered", delivered}});
    } else if (path == "/_sandbox/geolocation" && post) {
      // Where a device shows as last seen, as a GeoIP database would have placed it; a member
      // left out, null or "" is not known.
      const json body = parseObject(req.body);
      const std::string device = requiredString(body, "device", /*nonEmpty=*/true, 64);
      Location location{optionalString(body, "city", 200), optionalString(body, "country", 2)};
      if (!location.country.empty() &&
          (location.country.size() != 2 ||
           !std::all_of(location.country.begin(), location.country.end(),
                        [](char c) { return c >= 'A' && c <= 'Z'; })))
        throw BadRequest{"country must be an ISO 3166-1 code of two capital letters"};
      if (!service_.setLocation("", device, location)) {
        fail(res, 404, "unknown device");
      } else {
        reply(res, 200, {{"success", true}, {"geolocation", locationJSON(location)}});
      }
    } else if (path == "/_sandbox/push" && post) {
      const json body = parseObject(req.body);
      const std::string device = requiredString(body, "device", /*nonEmpty=*/true, 64);
      const std::string bytes = pushBytes(body);
      reply(res, 200, {{"success", true}, {"delivered", hub_.push(device, bytes)}});
    } else if (path == "/_sandbox/end-stream" && post) {
      const json body = parseObject(req.body);
      const std::string device = optionalString(body, "device", 64);
      const bool abort = optionalBool(body, "abort").value_or(false);
      reply(res, 200, {{"success", true}, {"ended", hub_.end(device, abort)}});
    } else if (path == "/_sandbox/repeat-open-challenges" && post) {
      const json body = parseObject(req.body);
      const auto repeat = optionalBool(body, "repeat");
      if (!repeat) throw BadRequest{"repeat must be true or false"};
      service_.setRepeatOpenChallenges(*repeat);
      reply(res, 200, {{"success", true}, {"repeat", *repeat}});
    } else if (path == "/_sandbox/streams" && get) {
      streams(req, res);
    } else if (path == "/_sandbox/logo.png" && get) {
      res.status = 200;
      res.contentType = "image/png";
      res.body.assign(reinterpret_cast<const char*>(zelk::sandbox::kDemoLogoPNG),
                      sizeof zelk::sandbox::kDemoLogoPNG);
    } else {
      return false;
    }
  } catch (const BadRequest& bad) {
    fail(res, 400, bad.error);
  }
  return true;
}

// GET /_sandbox/streams: open streams by device. With ?device=D&count=N, first waits up to
// `timeout` milliseconds (default 5000) for at least N streams of D to be open.
void SandboxHooks::streams(const http::Request& req, http::Response& res) {
  if (!req.param("count")) {
    json open = json::object();
    for (const auto& [device, count] : hub_.openStreamsByDevice()) open[device] = count;
    return reply(res, 200, {{"streams", std::move(open)}});
  }
  const std::string device = req.param("device").value_or("");
  int count = 0;
  long long timeout = 5000;
  try {
    count = std::stoi(*req.param("count"));
    if (auto given = req.param("timeout")) timeout = std::stoll(*given);
  } catch (const std::exception&) {
    return fail(res, 400, "count and timeout must be integers");
  }
  if (device.empty() || count < 0 || timeout < 0 || timeout > 60'000)
    return fail(res, 400, "device, count >= 0 and timeout from 0 to 60000 are needed");

  // This runs off the server's loop, where waiting holds nobody up.
  const bool reached = hub_.waitForStreams(device, count, std::chrono::milliseconds(timeout));
  reply(res, 200, {{"device", device}, {"open", hub_.openStreams(device)}, {"reached", reached}});
}

}  // namespace zelk::server
