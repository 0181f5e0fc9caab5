// SPDX-License-Identifier: Apache-2.0
// The service operations under /v2/ that the library calls: attach, detach, identify, listen and
// the challenge calls. Parses and validates requests, calls the rules, writes their answers as
// JSON, and hands the realtime messages they cause to the open streams.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

#include "hooks/hooks.hpp"
#include "http/message.hpp"
#include "metrics/metrics.hpp"
#include "realtime/hub.hpp"
#include "routes/rate_limits.hpp"
#include "service/service.hpp"

namespace zelk::server {

// The client id carried by an "Authorization: Basic <client id>:" header value, or "" when the
// value does not have exactly that form.
std::string clientIdFromAuthorization(const std::string& value);

// Sends the messages of a raised challenge to the devices of its user. `attachedDevice`, when
// not "", is the device whose attach raised it.
void announceChallenge(Service& service, Hub& hub, Metrics& metrics, const RaisedChallenge& raised,
                       const std::string& attachedDevice = {});

class ServiceRoutes {
 public:
  // `hooks` is set in sandbox mode only.
  ServiceRoutes(Service& service, Hub& hub, Metrics& metrics, SandboxHooks* hooks)
      : service_(service), hub_(hub), metrics_(metrics), hooks_(hooks) {}

  // Where new codes go to be delivered; called on the thread that answers the request, before
  // the answer is written. Without one, codes go nowhere but their HMAC.
  void setCodeSink(std::function<void(const SentCode&)> sink) { codeSink_ = std::move(sink); }

  // The limits attach, identify and the challenge calls go through; none without one.
  void setRateLimiter(RateLimiter* limiter) { limiter_ = limiter; }

  // Told of every stream the rules let open, with its device, on the server's loop; must not
  // wait. Several instances on one store tell it on.
  void setStreamObserver(std::function<void(const std::string&)> observer) {
    streamObserver_ = std::move(observer);
  }

  // Answers a request whose path starts with /v2/; returns the route name for the metrics.
  std::string handle(const http::Request& req, http::Response& res);

 private:
  void attach(const std::string& clientId, const http::Request& req, http::Response& res);
  void detach(const std::string& clientId, const http::Request& req, http::Response& res);
  void identify(const std::string& clientId, const http::Request& req, http::Response& res);
  void listen(const std::string& device, const http::Request& req, http::Response& res);
  void sendCode(const std::string& project, const std::string& challenge,
                const std::string& channel, http::Response& res);
  // Whether a refusal by the rate limits for `key` goes into the audit trail: the first one of
  // each minute, so a flood fills neither the trail nor the disk.
  bool auditRefusal(const std::string& key);

  Service& service_;
  Hub& hub_;
  Metrics& metrics_;
  std::function<void(const std::string&)> streamObserver_;
  SandboxHooks* hooks_;
  std::function<void(const SentCode&)> codeSink_;
  RateLimiter* limiter_ = nullptr;
  std::mutex refusalsMutex_;
  std::unordered_map<std::string, std::chrono::steady_clock::time_point> refusals_;
};

}  // namespace zelk::server
