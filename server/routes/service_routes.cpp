// SPDX-License-Identifier: Apache-2.0
#include "routes/service_routes.hpp"

#include <chrono>
#include <optional>
#include <string_view>

#include "realtime/events.hpp"
#include "realtime/push.hpp"
#include "routes/json_input.hpp"
#include "service/ids.hpp"

namespace zelk::server {
namespace {

using nlohmann::json;

// The client ID the library's code-request client sends; it stands for every project, and the
// challenge tells which.
constexpr const char* kCodeRequestClientID = "5B3F2E9A-7C41-4D8E-9A06-1F2C3B4D5E6F";

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

http::Response failure(int status, const std::string& error) {
  http::Response res;
  fail(res, status, error);
  return res;
}

http::Response answer(const json& body) {
  http::Response res;
  reply(res, 200, body);
  return res;
}

http::Response unavailable() {
  return failure(503, "storage unavailable");
}

http::Response unknownChallenge() {
  return failure(404, "unknown challenge");
}

http::Response unknownProject() {
  return failure(401, "unknown client id");
}

// A challenge id as the caller sent it, when it could be one this service made.
bool plausibleChallenge(const std::string& id) {
  return isServiceId(id, "ch_");
}

// The answer for a call that failed without a result.
http::Response answerFor(Failure why) {
  switch (why) {
    case Failure::unknownProject:
      return unknownProject();
    case Failure::badSignature:
      return failure(401, "the user's signature (metadata.user_signature) is missing or wrong");
    case Failure::none:
    case Failure::unavailable:
      break;
  }
  return unavailable();
}

// Takes the user's signature out of the metadata: it vouches for this attach and is not kept.
std::optional<std::string> takeUserSignature(json& metadata) {
  if (!metadata.is_object()) return std::nullopt;
  const auto it = metadata.find("user_signature");
  if (it == metadata.end()) return std::nullopt;
  if (!it->is_string()) throw BadRequest{"metadata.user_signature must be a string"};
  std::string signature = it->get<std::string>();
  metadata.erase(it);
  return signature;
}

// The calling device of an owner's call, and what proves it is that device.
struct Caller {
  std::string device, access;
};

Caller callerOf(const json& body) {
  Caller caller{requiredString(body, "device", /*nonEmpty=*/true, 64),
                requiredString(body, "access", /*nonEmpty=*/true, 64)};
  return caller;
}

// The answer for a caller that is not a device of the user holding that access, if it is not.
std::optional<http::Response> refusedCaller(OwnerCheck check) {
  switch (check) {
    case OwnerCheck::ok:
      return std::nullopt;
    case OwnerCheck::unknownAccess:
      return failure(401, "unknown access");
    case OwnerCheck::unknownDevice:
      break;
  }
  return failure(404, "unknown device");
}

// A change of devices refused by the project's cap, and when one is allowed again.
http::Response tooSoon(Clock::time_point next) {
  const std::string at = isoTimeMillis(next);
  http::Response res;
  res.status = 409;
  res.contentType = "application/json";
  res.body = json{
      {"error", "You can change devices again on " + at.substr(0, 10) + "."},
      {"next_change_at",
       at}}.dump();
  return res;
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

std::string ServiceRoutes::handle(const http::Request& req, http::Response& res) {
  const std::optional<Call> call = callOf(req);
  const std::string route = call ? std::string(operationName(call->operation)) : "unknown";
  if (call && call->operation == Operation::listen) {
    listen(call->id, req, res);
    return route;
  }
  Asked asked;
  asked.clientId = clientIdFromAuthorization(req.header("Authorization"));
  if (asked.clientId.empty()) {
    fail(res, 401, "missing or malformed Authorization header");
    return route;
  }
  if (!call) {
    fail(res, 404, "not found");
    return route;
  }
  asked.call = *call;
  asked.body = req.body;
  // The library's code requests name no project: the challenge does.
  asked.codeRequest =
      asked.clientId == kCodeRequestClientID && call->operation == Operation::attempt;
  const RateLimiter* sources = limiter_ ? limiter_ : sources_;
  if (sources) asked.address = sources->sourceAddress(req.peer, req.header("X-Forwarded-For"));
  res.deferred = [this, asked = std::move(asked)](boost::asio::any_io_executor, Respond respond) {
    if (asked.codeRequest) return admit(asked, std::move(respond));
    service_.project(asked.clientId, [this, asked, respond = std::move(respond)](
                                         Outcome<std::optional<Project>> project) {
      if (!project.value) return respond(unavailable());
      if (!*project.value) return respond(unknownProject());
      admit(asked, respond);
    });
  };
  return route;
}

void ServiceRoutes::admit(const Asked& asked, Respond respond) {
  if (limiter_ && asked.call.operation != Operation::detach) {
    // The library's code requests share one client id across projects: only their address
    // counts, and the challenge's own limits hold its codes back.
    const auto refused =
        limiter_->admit(asked.codeRequest ? std::string() : asked.clientId, asked.address);
    if (refused) {
      metrics_.countEvent("rate_limited", refused->scope);
      http::Response res;
      res.headers.emplace_back("Retry-After", std::to_string(refused->retryAfter.count()));
      fail(res, 429, "too many requests from this " + refused->scope);
      const std::string& subject = refused->scope == "client" ? asked.clientId : asked.address;
      if (!auditRefusal(refused->scope + " " + subject)) return respond(std::move(res));
      // The refusal is answered once it is in the audit trail.
      return service_.recordAudit(
          asked.codeRequest ? std::string() : asked.clientId, "rate_limited", subject,
          {{"scope", refused->scope}, {"route", std::string(operationName(asked.call.operation))}},
          [respond = std::move(respond), res = std::move(res)](Outcome<bool> stored) mutable {
            respond(stored.value ? std::move(res) : unavailable());
          });
    }
  }
  try {
    dispatch(asked, respond);
  } catch (const BadRequest& bad) {
    respond(failure(400, bad.error));
  }
}

void ServiceRoutes::dispatch(const Asked& asked, const Respond& respond) {
  const std::string& clientId = asked.clientId;
  const std::string& challenge = asked.call.id;
  const auto reportJSON = [respond](Outcome<std::optional<json>> outcome) {
    if (!outcome.value) return respond(answerFor(outcome.failure));
    if (!*outcome.value) return respond(unknownChallenge());
    respond(answer(**outcome.value));
  };
  switch (asked.call.operation) {
    case Operation::attach:
      return attach(asked, respond);
    case Operation::detach:
      return detach(asked, respond);
    case Operation::identify:
      return identify(asked, respond);
    case Operation::challenge:
      if (!plausibleChallenge(challenge)) return respond(unknownChallenge());
      return service_.challengeDetails(clientId, challenge, reportJSON);
    case Operation::challengeDevices:
      if (!plausibleChallenge(challenge)) return respond(unknownChallenge());
      return service_.challengeDevices(clientId, challenge, reportJSON);
    case Operation::deviceLimit:
      if (!plausibleChallenge(challenge)) return respond(unknownChallenge());
      return service_.deviceLimit(clientId, challenge, reportJSON);
    case Operation::attempt: {
      const json body = parseObject(asked.body);
      const std::string id = requiredString(body, "challenge", /*nonEmpty=*/true, 64);
      if (requiredString(body, "action", false, 64) != "verify")
        throw BadRequest{"action must be verify"};
      const std::string channel = requiredString(body, "channel", false, 64);
      if (channel != "email" && channel != "text")
        throw BadRequest{"channel must be email or text"};
      if (!plausibleChallenge(id)) return respond(unknownChallenge());
      // The code request names no project: the challenge's own is taken.
      return sendCode(asked.codeRequest ? std::string() : clientId, id, channel, respond);
    }
    case Operation::verify: {
      const json body = parseObject(asked.body);
      const std::string id = requiredString(body, "challenge", /*nonEmpty=*/true, 64);
      const std::string code = requiredString(body, "code", false, 64);
      if (!plausibleChallenge(id)) return respond(unknownChallenge());
      return service_.checkCode(clientId, id, code,
                                [this, respond](Outcome<std::optional<bool>> outcome) {
                                  if (!outcome.value) return respond(answerFor(outcome.failure));
                                  if (!*outcome.value) return respond(unknownChallenge());
                                  const bool right = **outcome.value;
                                  metrics_.countEvent("codes", right ? "accepted" : "rejected");
                                  respond(answer({{"success", right}}));
                                });
    }
    case Operation::resend: {
      const json body = parseObject(asked.body);
      const std::string id = requiredString(body, "challenge", /*nonEmpty=*/true, 64);
      if (!plausibleChallenge(id)) return respond(unknownChallenge());
      return sendCode(clientId, id, "", respond);
    }
    case Operation::devices:
      return ownerDevices(asked, respond);
    case Operation::devicesLogout:
      return ownerLogout(asked, respond);
    case Operation::listen:
      break;  // answered by listen()
  }
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
                             const std::string& channel, const Respond& respond) {
  service_.sendCode(project, challenge, channel, [this, respond](Outcome<SendCodeResult> outcome) {
    if (!outcome.value) return respond(answerFor(outcome.failure));
    SendCodeResult& result = *outcome.value;
    switch (result.status) {
      case CodeSend::unknownChallenge:
        return respond(unknownChallenge());
      case CodeSend::tooSoon: {
        metrics_.countEvent("codes", "refused");
        http::Response res = failure(429, "a code was sent too recently; the last one stays good");
        res.headers.emplace_back("Retry-After", std::to_string(result.retryAfter.count()));
        return respond(std::move(res));
      }
      case CodeSend::undeliverable:
        metrics_.countEvent("codes", "undeliverable");
        return respond(failure(422, "no code can be sent: " + result.why));
      case CodeSend::sent:
        break;
    }
    // A code this server sends waits in the outbox: the delivery worker counts how that went.
    metrics_.countEvent("codes", result.queued ? "queued" : "revealed");
    if (codeSink_) codeSink_(*result.sent);
    respond(answer({{"success", true}, {"channel", result.sent->channel}}));
  });
}

void ServiceRoutes::attach(const Asked& asked, const Respond& respond) {
  const auto started = std::chrono::steady_clock::now();
  json body = parseObject(asked.body);
  AttachInput input;
  input.project = asked.clientId;
  input.user = requiredUser(body);
  input.deviceInfo = takeObject(body, "device_info");
  checkKeptSize(input.deviceInfo, "device_info", asked.body);
  input.vendorId = vendorIdentifier(body);
  input.metadata = optionalMetadata(body);
  input.userSignature = takeUserSignature(input.metadata);
  checkKeptSize(input.metadata, "metadata", asked.body);
  input.library = optionalString(body, "library", 64);
  input.version = optionalString(body, "version", 64);
  input.identity = optionalString(body, "identity", 128);
  if (geoip_) input.location = geoip_->locate(asked.address);

  service_.attach(std::move(input), [this, respond, started](Outcome<AttachResult> outcome) {
    if (!outcome.value) return respond(answerFor(outcome.failure));
    AttachResult& result = *outcome.value;
    http::Response res;
    // Devices gone quiet past their grace were detached first; none has a stream open.
    std::vector<Delivery> removed = std::move(result.expired);
    if (result.full) {
      fail(res, 409,
           "the user has " + std::to_string(result.attachedDevices) +
               " devices attached, the most the server keeps for one user: detach one first");
      pushLogouts(hub_, metrics_, removed, "idle");
      return respond(std::move(res));
    }
    if (result.blocked) {
      metrics_.countEvent("attach_blocked", "");
      ObjectWriter writer;
      writer.add("attached_devices", result.attachedDevices)
          .add("block_over_usage", true)
          .add("default_device_limit", result.defaultDeviceLimit)
          .add("success", false);
      reply(res, 200, writer);
      pushLogouts(hub_, metrics_, removed, "idle");
      return respond(std::move(res));
    }
    ObjectWriter writer;
    writer.add("access", result.access)
        .add("attached_devices", result.attachedDevices)
        .add("block_over_usage", result.blockOverUsage)
        .add("default_device_limit", result.defaultDeviceLimit)
        .add("device_id", result.deviceId)
        .add("success", true);
    reply(res, 200, writer);
    metrics_.observeAttach(std::chrono::steady_clock::now() - started);
    pushLogouts(hub_, metrics_, removed, "idle");
    const bool repeat = service_.repeatOpenChallenges();
    if (result.challenge && !repeat) {
      // Nobody can open a stream with the new access token before this answer, so the message
      // kept for that stream is in place in time.
      for (const Delivery& delivery : result.challenge->deliveries) {
        if (delivery.device == result.deviceId) hub_.keep(delivery, result.access);
      }
    }
    if (!result.evicted.empty() || result.challenge) {
      // The devices pushed out hear their logout, and the others of a challenge, once the answer
      // is out.
      res.after = [this, evicted = std::move(result.evicted),
                   challenge = std::move(result.challenge), device = result.deviceId, repeat] {
        pushLogouts(hub_, metrics_, evicted, "evicted");
        if (challenge) announceChallenge(hub_, metrics_, *challenge, repeat, device);
      };
    }
    respond(std::move(res));
  });
}

void ServiceRoutes::detach(const Asked& asked, const Respond& respond) {
  const json body = parseObject(asked.body);
  const std::string device = requiredString(body, "device", /*nonEmpty=*/true, 64);
  const std::string user = requiredUser(body);
  if (!isServiceId(device, "dev_")) return respond(failure(404, "unknown device"));
  service_.detach(asked.clientId, user, device, [this, respond](Outcome<DetachResult> outcome) {
    if (!outcome.value) return respond(answerFor(outcome.failure));
    const DetachResult& result = *outcome.value;
    if (!result.found) return respond(failure(404, "unknown device"));
    if (result.refusedUntil) return respond(tooSoon(*result.refusedUntil));
    http::Response res = answer({{"success", true},
                                 {"device_id", result.deviceId},
                                 {"attached_devices", result.attachedDevices}});
    res.after = [this, logout = result.logout] { pushLogouts(hub_, metrics_, {logout}, "detach"); };
    respond(std::move(res));
  });
}

void ServiceRoutes::ownerDevices(const Asked& asked, const Respond& respond) {
  const Caller caller = callerOf(parseObject(asked.body));
  if (!isServiceId(caller.device, "dev_")) return respond(failure(404, "unknown device"));
  service_.ownerDevices(asked.clientId, caller.device, caller.access,
                        [respond](Outcome<OwnerDevicesResult> outcome) {
                          if (!outcome.value) return respond(answerFor(outcome.failure));
                          if (auto refused = refusedCaller(outcome.value->check))
                            return respond(std::move(*refused));
                          respond(answer(outcome.value->devices));
                        });
}

void ServiceRoutes::ownerLogout(const Asked& asked, const Respond& respond) {
  const json body = parseObject(asked.body);
  const Caller caller = callerOf(body);
  const bool byCode = body.contains("code");
  if (byCode == body.contains("target"))
    throw BadRequest{"give either target (a device id) or code (from a new-device e-mail)"};
  const std::string target = byCode ? requiredString(body, "code", /*nonEmpty=*/true, 64)
                                    : requiredString(body, "target", /*nonEmpty=*/true, 64);
  if (!isServiceId(caller.device, "dev_")) return respond(failure(404, "unknown device"));
  if (!byCode && !isServiceId(target, "dev_")) return respond(failure(404, "unknown device"));
  service_.ownerLogout(asked.clientId, caller.device, caller.access, target, byCode,
                       [this, respond](Outcome<OwnerLogoutAnswer> outcome) {
                         if (!outcome.value) return respond(answerFor(outcome.failure));
                         if (auto refused = refusedCaller(outcome.value->check))
                           return respond(std::move(*refused));
                         const OwnerLogoutResult& result = outcome.value->logout;
                         switch (result.status) {
                           case OwnerLogout::unknownDevice:
                             return respond(failure(404, "unknown device"));
                           case OwnerLogout::unknownCode:
                             return respond(failure(404, "unknown code"));
                           case OwnerLogout::tooSoon:
                             return respond(tooSoon(result.nextChangeAt));
                           case OwnerLogout::done:
                             break;
                         }
                         const DetachResult& detached = result.detached;
                         http::Response res =
                             answer({{"success", true},
                                     {"device_id", detached.deviceId},
                                     {"attached_devices", detached.attachedDevices}});
                         res.after = [this, logout = detached.logout] {
                           pushLogouts(hub_, metrics_, {logout}, "owner");
                         };
                         respond(std::move(res));
                       });
}

void ServiceRoutes::identify(const Asked& asked, const Respond& respond) {
  json body = parseObject(asked.body);
  IdentifyInput input;
  input.project = asked.clientId;
  input.deviceInfo = takeObject(body, "device_info");
  checkKeptSize(input.deviceInfo, "device_info", asked.body);
  input.vendorId = vendorIdentifier(body);
  optionalMetadata(body);
  input.identityId = optionalString(body, "identity_id", 128);
  if (!isServiceId(input.identityId, "id_")) input.identityId.clear();
  service_.identify(std::move(input), [respond](Outcome<IdentifyResult> outcome) {
    if (!outcome.value) return respond(answerFor(outcome.failure));
    respond(
        answer({{"identity", outcome.value->identity}, {"confidence", outcome.value->confidence}}));
  });
}

void ServiceRoutes::listen(const std::string& device, const http::Request& req,
                           http::Response& res) {
  const std::string access = req.param("access").value_or("");
  const std::string clientId = clientIdFromAuthorization(req.param("auth").value_or(""));
  if (clientId.empty()) return fail(res, 401, "missing or malformed auth parameter");
  const std::optional<std::uint64_t> resumeAfter = parseEventId(req.header("Last-Event-ID"));
  res.deferred = [this, device, clientId, access, resumeAfter](boost::asio::any_io_executor,
                                                               Respond respond) {
    // A device id this service cannot have made is unknown, once the client id is known.
    if (!isServiceId(device, "dev_")) {
      return service_.project(clientId, [respond](Outcome<std::optional<Project>> project) {
        if (!project.value) return respond(unavailable());
        respond(*project.value ? failure(404, "unknown device") : unknownProject());
      });
    }
    service_.startListen(
        clientId, device, access, resumeAfter,
        [this, device, access, respond](Outcome<ListenStart> outcome) {
          if (!outcome.value) return respond(answerFor(outcome.failure));
          ListenStart start = std::move(*outcome.value);
          if (start.check == ListenCheck::unknownDevice)
            return respond(failure(404, "unknown device"));
          if (start.check == ListenCheck::unknownAccess)
            return respond(failure(401, "unknown access"));
          http::Response res;
          if (start.check == ListenCheck::loggedOut) {
            // A detached device's stream that already heard its logout ends for good.
            if (start.catchUp.empty()) {
              res.status = 204;
              res.contentType.clear();
              return respond(std::move(res));
            }
            // The device is gone: its stream writes the logout order and ends.
            res.stream = [this, catchUp = std::move(start.catchUp)](
                             std::shared_ptr<http::StreamSink> sink) {
              for (const Delivery& message : catchUp)
                sink->send(
                    std::make_shared<const std::string>(formatMessage(message.id, message.data)));
              sink->finish();
              metrics_.countMessages(catchUp.size());
              return std::function<void()>([] {});
            };
            return respond(std::move(res));
          }
          res.stream = [this, device, access,
                        start = std::move(start)](std::shared_ptr<http::StreamSink> sink) mutable {
            Hub::Options options;
            options.access = access;
            options.catchUp = std::move(start.catchUp);
            options.upTo = start.upTo;
            metrics_.countMessages(options.catchUp.size());
            std::shared_ptr<Hub::Stream> stream = hub_.add(device, sink, std::move(options));
            if (!stream) {
              sink->abort();
              return std::function<void()>([] {});
            }
            // The device counts as live while the stream is open.
            service_.streamOpened(device);
            // What was sent to the device while the stream was being registered.
            service_.messagesSince(device, start.upTo,
                                   [this](Outcome<std::vector<Delivery>> missed) {
                                     if (missed.value) pushMessages(hub_, metrics_, *missed.value);
                                   });
            return std::function<void()>([this, device, weak = std::weak_ptr<Hub::Stream>(stream)] {
              service_.streamClosed(device);
              if (auto gone = weak.lock()) hub_.remove(gone);
            });
          };
          respond(std::move(res));
        });
  };
}

}  // namespace zelk::server
