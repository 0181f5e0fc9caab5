// SPDX-License-Identifier: Apache-2.0
#include "routes/service_routes.hpp"

#include <chrono>
#include <iostream>
#include <optional>
#include <string_view>

#include "realtime/events.hpp"
#include "routes/json_input.hpp"
#include "service/ids.hpp"

namespace zelk::server {
namespace {

using nlohmann::json;

// The client ID the library's code-request client sends; it stands for every project, and the
// challenge tells which.
constexpr const char* kCodeRequestClientID = "5B3F2E9A-7C41-4D8E-9A06-1F2C3B4D5E6F";

// A /v2/ request other than listen: the operation, and for the challenge reads the challenge id
// taken from the path.
struct Call {
  Operation operation;
  std::string challenge;
};

std::optional<Call> callOf(const http::Request& req) {
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
  const std::string id = http::percentDecode(path.substr(0, slash), false);
  if (id.empty()) return std::nullopt;
  if (slash == std::string_view::npos) return Call{Operation::challenge, id};
  const std::string_view rest = path.substr(slash);
  if (rest == "/devices") return Call{Operation::challengeDevices, id};
  if (rest == "/device-limit") return Call{Operation::deviceLimit, id};
  return std::nullopt;
}

// The device id of a GET /v2/access/device/<device id>/listen request.
std::optional<std::string> listenDevice(const http::Request& req) {
  constexpr std::string_view kPrefix = "/v2/access/device/", kSuffix = "/listen";
  std::string_view path(req.path);
  if (req.method != "GET" || !path.starts_with(kPrefix) || !path.ends_with(kSuffix))
    return std::nullopt;
  path.remove_prefix(kPrefix.size());
  path.remove_suffix(kSuffix.size());
  if (path.empty() || path.find('/') != std::string_view::npos) return std::nullopt;
  return http::percentDecode(path, false);
}

std::string routeName(std::optional<Operation> operation) {
  return operation ? std::string(operationName(*operation)) : "unknown";
}

std::string vendorIdentifier(const json& body) {
  const auto found = body.find("signals");
  if (found == body.end() || !found->is_object()) throw BadRequest{"signals must be an object"};
  const json& signals = *found;
  auto it = signals.find("iosVendorIdentifier");
  if (it == signals.end() || !it->is_string())
    throw BadRequest{"signals.iosVendorIdentifier must be a string"};
  if (!isValidVendorId(it->get_ref<const std::string&>()))
    throw BadRequest{"signals.iosVendorIdentifier must be at most 128 printable characters"};
  return it->get<std::string>();
}

// Takes the metadata out of `object`, which keeps a null in its place.
json optionalMetadata(json& object) {
  auto it = object.find("metadata");
  if (it == object.end() || it->is_null()) return json::object();
  if (!it->is_object() && !it->is_array())
    throw BadRequest{"metadata must be an object or an array"};
  return std::move(*it);
}

// Takes the object member `key` out of `object`, which keeps a null in its place.
json takeObject(json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_object())
    throw BadRequest{std::string(key) + " must be an object"};
  return std::move(*it);
}

std::string requiredUser(const json& body) {
  const std::string user = requiredString(body, "user", /*nonEmpty=*/true, 256);
  if (!isValidUserName(user)) throw BadRequest{"user must be at most 256 bytes of text"};
  return user;
}

void failUnknownChallenge(http::Response& res) {
  fail(res, 404, "unknown challenge");
}

// A challenge id as the caller sent it, when it could be one this service made.
bool plausibleChallenge(const std::string& id) {
  return isServiceId(id, "ch_");
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
  if (!isValidClientId(rest)) return {};
  return std::string(rest);
}

void announceChallenge(Service& service, Hub& hub, Metrics& metrics, const RaisedChallenge& raised,
                       const std::string& attachedDevice) {
  const bool repeat = service.repeatOpenChallenges();
  // Fresh streams hear of open challenges anyway; without that, a device with no stream open
  // keeps the message for its next one, except the device that attached, whose next stream
  // gets it through the access its attach handed out.
  metrics.countMessages(hub.deliverAll(raised.deliveries, [&](const Delivery& delivery) {
    return !repeat && delivery.device != attachedDevice;
  }));
}

std::string ServiceRoutes::handle(const http::Request& req, http::Response& res) {
  if (hooks_) hooks_->record(req);
  if (const auto device = listenDevice(req)) {
    listen(*device, req, res);
    return "listen";
  }

  const std::optional<Call> call = callOf(req);
  const std::string route = routeName(call ? std::optional(call->operation) : std::nullopt);
  if (call && hooks_) {
    if (auto scripted = hooks_->takeScript(call->operation)) {
      res.status = scripted->status;
      res.body = std::move(scripted->body);
      return route;
    }
  }

  const std::string clientId = clientIdFromAuthorization(req.header("Authorization"));
  if (clientId.empty()) {
    fail(res, 401, "missing or malformed Authorization header");
    return route;
  }
  if (!call) {
    fail(res, 404, "not found");
    return route;
  }
  // The library's code requests name no project: the challenge does.
  const bool codeRequest =
      clientId == kCodeRequestClientID && call->operation == Operation::attempt;
  if (!codeRequest && !service_.knowsProject(clientId)) {
    fail(res, 401, "unknown client id");
    return route;
  }

  if (limiter_ && call->operation != Operation::detach) {
    // The library's code requests share one client id across projects: only their address
    // counts, and the challenge's own limits hold its codes back.
    const auto refused =
        limiter_->admit(codeRequest ? std::string() : clientId,
                        limiter_->sourceAddress(req.peer, req.header("X-Forwarded-For")));
    if (refused) {
      metrics_.countEvent("rate_limited", refused->scope);
      const std::string address = limiter_->sourceAddress(req.peer, req.header("X-Forwarded-For"));
      const std::string& subject = refused->scope == "client" ? clientId : address;
      if (auditRefusal(refused->scope + " " + subject))
        service_.recordAudit(codeRequest ? std::string() : clientId, "rate_limited", subject,
                             {{"scope", refused->scope}, {"route", route}});
      res.headers.emplace_back("Retry-After", std::to_string(refused->retryAfter.count()));
      fail(res, 429, "too many requests from this " + refused->scope);
      return route;
    }
  }

  try {
    switch (call->operation) {
      case Operation::attach:
        attach(clientId, req, res);
        break;
      case Operation::detach:
        detach(clientId, req, res);
        break;
      case Operation::identify:
        identify(clientId, req, res);
        break;
      case Operation::challenge:
      case Operation::challengeDevices:
      case Operation::deviceLimit: {
        std::optional<json> answer;
        if (plausibleChallenge(call->challenge)) {
          if (call->operation == Operation::challenge) {
            answer = service_.challengeDetails(clientId, call->challenge);
          } else if (call->operation == Operation::challengeDevices) {
            answer = service_.challengeDevices(clientId, call->challenge);
          } else {
            answer = service_.deviceLimit(clientId, call->challenge);
          }
        }
        if (!answer) {
          failUnknownChallenge(res);
        } else {
          reply(res, 200, *answer);
        }
        break;
      }
      case Operation::attempt: {
        const json body = parseObject(req.body);
        const std::string challenge = requiredString(body, "challenge", /*nonEmpty=*/true, 64);
        if (requiredString(body, "action", false, 64) != "verify")
          throw BadRequest{"action must be verify"};
        const std::string channel = requiredString(body, "channel", false, 64);
        if (channel != "email" && channel != "text")
          throw BadRequest{"channel must be email or text"};
        const std::string project =
            codeRequest ? service_.challengeProject(challenge).value_or(clientId) : clientId;
        if (!plausibleChallenge(challenge)) return failUnknownChallenge(res), route;
        sendCode(project, challenge, channel, res);
        break;
      }
      case Operation::verify: {
        const json body = parseObject(req.body);
        const std::string challenge = requiredString(body, "challenge", /*nonEmpty=*/true, 64);
        const std::string code = requiredString(body, "code", false, 64);
        const std::optional<bool> right = plausibleChallenge(challenge)
                                              ? service_.checkCode(clientId, challenge, code)
                                              : std::nullopt;
        if (!right) return failUnknownChallenge(res), route;
        metrics_.countEvent("codes", *right ? "accepted" : "rejected");
        reply(res, 200, {{"success", *right}});
        break;
      }
      case Operation::resend: {
        const json body = parseObject(req.body);
        const std::string challenge = requiredString(body, "challenge", /*nonEmpty=*/true, 64);
        if (!plausibleChallenge(challenge)) return failUnknownChallenge(res), route;
        sendCode(clientId, challenge, "", res);
        break;
      }
      case Operation::listen:
        break;  // answered above, never returned by callOf()
    }
  } catch (const BadRequest& bad) {
    fail(res, 400, bad.error);
  }
  return route;
}

bool ServiceRoutes::auditRefusal(const std::string& key) {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(refusalsMutex_);
  if (refusals_.size() >= 10'000) {
    std::erase_if(refusals_,
                  [&](const auto& entry) { return now - entry.second >= std::chrono::minutes(1); });
    if (refusals_.size() >= 10'000) return false;
  }
  auto [entry, added] = refusals_.try_emplace(key, now);
  if (!added && now - entry->second < std::chrono::minutes(1)) return false;
  entry->second = now;
  return true;
}

void ServiceRoutes::sendCode(const std::string& project, const std::string& challenge,
                             const std::string& channel, http::Response& res) {
  SendCodeResult result = service_.sendCode(project, challenge, channel);
  switch (result.status) {
    case CodeSend::unknownChallenge:
      return failUnknownChallenge(res);
    case CodeSend::tooSoon:
      metrics_.countEvent("codes", "refused");
      res.headers.emplace_back("Retry-After", std::to_string(result.retryAfter.count()));
      return fail(res, 429, "a code was sent too recently; the last one stays good");
    case CodeSend::sent:
      break;
  }
  metrics_.countEvent("codes", "sent");
  reply(res, 200, {{"success", true}, {"channel", result.sent->channel}});
  if (hooks_) hooks_->rememberCode(result.sent->challenge, result.sent->code);
  if (codeSink_) codeSink_(*result.sent);
}

void ServiceRoutes::attach(const std::string& clientId, const http::Request& req,
                           http::Response& res) {
  const auto started = std::chrono::steady_clock::now();
  json body = parseObject(req.body);
  AttachInput input;
  input.project = clientId;
  input.user = requiredUser(body);
  input.deviceInfo = takeObject(body, "device_info");
  input.vendorId = vendorIdentifier(body);
  input.metadata = optionalMetadata(body);
  input.library = optionalString(body, "library", 64);
  input.version = optionalString(body, "version", 64);
  input.identity = optionalString(body, "identity", 128);

  AttachResult result = service_.attach(std::move(input));
  // Devices gone quiet past their grace were detached first; none has a stream open.
  for (const Delivery& logout : result.expired) {
    hub_.forget(logout.device);
    metrics_.countEvent("devices_removed", "idle");
  }
  if (result.blocked) {
    metrics_.countEvent("attach_blocked", "");
    ObjectWriter answer;
    answer.add("attached_devices", result.attachedDevices)
        .add("block_over_usage", true)
        .add("default_device_limit", result.defaultDeviceLimit)
        .add("success", false);
    reply(res, 200, answer);
    return;
  }
  for (const Delivery& logout : result.evicted) {
    hub_.forget(logout.device);
    metrics_.countEvent("devices_removed", "evicted");
  }
  ObjectWriter answer;
  answer.add("access", result.access)
      .add("attached_devices", result.attachedDevices)
      .add("block_over_usage", result.blockOverUsage)
      .add("default_device_limit", result.defaultDeviceLimit)
      .add("device_id", result.deviceId)
      .add("success", true);
  reply(res, 200, answer);
  metrics_.observeAttach(std::chrono::steady_clock::now() - started);
  if (!result.evicted.empty()) {
    // The devices pushed out hear their logout once the answer is out.
    res.after = [this, evicted = result.evicted] {
      std::uint64_t sent = 0;
      for (const Delivery& logout : evicted)
        sent += static_cast<std::uint64_t>(hub_.deliver(logout));
      metrics_.countMessages(sent);
    };
  }
  if (!result.challenge) return;
  if (!service_.repeatOpenChallenges()) {
    // Nobody can open a stream with the new access token before this answer, so the message
    // kept for that stream is in place in time.
    for (const Delivery& delivery : result.challenge->deliveries) {
      if (delivery.device == result.deviceId) hub_.keep(delivery, result.access);
    }
  }
  // The other devices hear of it once the answer is out.
  res.after = [this, challenge = std::move(*result.challenge), device = result.deviceId] {
    announceChallenge(service_, hub_, metrics_, challenge, device);
  };
}

void ServiceRoutes::detach(const std::string& clientId, const http::Request& req,
                           http::Response& res) {
  const json body = parseObject(req.body);
  const std::string device = requiredString(body, "device", /*nonEmpty=*/true, 64);
  const std::string user = requiredUser(body);
  const DetachResult result =
      isServiceId(device, "dev_") ? service_.detach(clientId, user, device) : DetachResult{};
  if (!result.found) return fail(res, 404, "unknown device");
  hub_.forget(result.deviceId);
  reply(res, 200,
        {{"success", true},
         {"device_id", result.deviceId},
         {"attached_devices", result.attachedDevices}});
  res.after = [this, logout = result.logout] {
    metrics_.countMessages(static_cast<std::uint64_t>(hub_.deliver(logout)));
  };
}

void ServiceRoutes::identify(const std::string& clientId, const http::Request& req,
                             http::Response& res) {
  json body = parseObject(req.body);
  IdentifyInput input;
  input.project = clientId;
  input.deviceInfo = takeObject(body, "device_info");
  input.vendorId = vendorIdentifier(body);
  optionalMetadata(body);
  input.identityId = optionalString(body, "identity_id", 128);
  if (!isServiceId(input.identityId, "id_")) input.identityId.clear();

  const IdentifyResult result = service_.identify(input);
  reply(res, 200, {{"identity", result.identity}, {"confidence", result.confidence}});
}

void ServiceRoutes::listen(const std::string& device, const http::Request& req,
                           http::Response& res) {
  const std::string access = req.param("access").value_or("");
  Hub::Options options;
  options.access = access;
  std::string clientId;
  std::optional<std::uint64_t> resumeAfter;
  bool checked = true;  // whether the stream is one the rules let open

  std::optional<ScriptedAnswer> scripted;
  if (hooks_) scripted = hooks_->takeScript(Operation::listen, device);
  if (scripted) {
    checked = false;
    switch (scripted->stream) {
      case ScriptedAnswer::Stream::none:
        res.status = scripted->status;
        res.contentType = scripted->body.empty() ? "" : "application/json";
        res.body = std::move(scripted->body);
        return;
      case ScriptedAnswer::Stream::stall:
        options.receivePushes = false;
        break;
      case ScriptedAnswer::Stream::drip:
        options.drip = {std::move(scripted->drip), scripted->chunk, scripted->interval};
        break;
    }
  } else {
    clientId = clientIdFromAuthorization(req.param("auth").value_or(""));
    if (clientId.empty()) return fail(res, 401, "missing or malformed auth parameter");
    if (!service_.knowsProject(clientId)) return fail(res, 401, "unknown client id");
    if (!isServiceId(device, "dev_")) return fail(res, 404, "unknown device");
    resumeAfter = parseEventId(req.header("Last-Event-ID"));
    const ListenStart start =
        service_.startListen(clientId, device, access, resumeAfter, [](const ListenStart&) {});
    if (start.check == ListenCheck::unknownDevice) return fail(res, 404, "unknown device");
    if (start.check == ListenCheck::unknownAccess) return fail(res, 401, "unknown access");
    // A detached device's stream that already heard its logout ends for good.
    if (start.check == ListenCheck::loggedOut && start.catchUp.empty()) {
      res.status = 204;
      res.contentType.clear();
      return;
    }
  }

  res.stream = [this, device, clientId, access, resumeAfter, checked,
                options = std::move(options)](std::shared_ptr<http::StreamSink> sink) mutable {
    std::shared_ptr<Hub::Stream> stream;
    if (checked) {
      // Registered while no message for the device can be sent: it misses none.
      bool loggedOut = false;
      try {
        service_.startListen(clientId, device, access, resumeAfter, [&](const ListenStart& start) {
          if (start.check == ListenCheck::loggedOut) {
            // The device is gone: its stream writes the logout order and ends.
            for (const Delivery& message : start.catchUp)
              sink->send(
                  std::make_shared<const std::string>(formatMessage(message.id, message.data)));
            sink->finish();
            loggedOut = true;
            return;
          }
          if (start.check != ListenCheck::ok) return;
          options.catchUp = start.catchUp;
          options.upTo = start.upTo;
          stream = hub_.add(device, sink, std::move(options));
        });
      } catch (const StoreError& error) {
        // The store went away since the check: the client reconnects after its backoff, here or
        // on another instance.
        std::cerr << "zelk-server: storage failure: " << error.what() << std::endl;
        sink->abort();
        return std::function<void()>([] {});
      }
      metrics_.countMessages(options.catchUp.size());
      if (loggedOut) {
        metrics_.countMessages(1);
        return std::function<void()>([] {});
      }
    } else {
      stream = hub_.add(device, sink, std::move(options));
    }
    if (!stream) sink->abort();
    // The device counts as live while the stream is open.
    const bool counted = checked && stream;
    if (counted) {
      service_.streamOpened(device);
      if (streamObserver_) streamObserver_(device);
    }
    return std::function<void()>(
        [this, device, counted, weak = std::weak_ptr<Hub::Stream>(stream)] {
          if (counted) service_.streamClosed(device);
          if (auto gone = weak.lock()) hub_.remove(gone);
        });
  };
}

}  // namespace zelk::server
