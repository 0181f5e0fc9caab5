// SPDX-License-Identifier: Apache-2.0
// The service operations under /v2/ that the library calls: attach, detach, identify, listen and
// the challenge calls. Parses and validates requests, calls the rules, writes their answers as
// JSON once what they changed is stored, and hands the realtime messages they cause to the open
// streams. Answers are never waited for on the server's loop: each is given when the rules
// report.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

#include "geoip/geoip.hpp"
#include "http/message.hpp"
#include "metrics/metrics.hpp"
#include "realtime/hub.hpp"
#include "routes/operations.hpp"
#include "routes/rate_limits.hpp"
#include "service/service.hpp"

namespace zelk::server {

// The client id carried by an "Authorization: Basic <client id>:" header value, or "" when the
// value does not have exactly that form.
std::string clientIdFromAuthorization(const std::string& value);

class ServiceRoutes {
 public:
  ServiceRoutes(Service& service, Hub& hub, Metrics& metrics)
      : service_(service), hub_(hub), metrics_(metrics) {}

  // Where new codes go to be delivered; called before the answer is written, on the thread that
  // gives it. Without one, codes go nowhere but their HMAC.
  void setCodeSink(std::function<void(const SentCode&)> sink) { codeSink_ = std::move(sink); }

  // The limits attach, identify and the challenge calls go through; none without one.
  void setRateLimiter(RateLimiter* limiter) { limiter_ = limiter; }

  // The database attaches are placed by, from their source address as `sources` tells it (the
  // one the rate limits count); without one, devices are placed nowhere.
  void setGeoIP(const GeoIP* geoip, const RateLimiter* sources) {
    geoip_ = geoip;
    sources_ = sources;
  }

  // Answers a request whose path starts with /v2/ (in `res`, or through res.deferred); returns
  // the route name for the metrics.
  std::string handle(const http::Request& req, http::Response& res);

 private:
  using Respond = std::function<void(http::Response)>;
  // What a call needs of its request once the request itself is gone.
  struct Asked {
    Call call;
    std::string clientId;
    std::string body;
    std::string address;  // the source address the rate limits count and GeoIP places
    bool codeRequest = false;
  };
  void admit(const Asked& asked, Respond respond);
  void dispatch(const Asked& asked, const Respond& respond);
  void attach(const Asked& asked, const Respond& respond);
  void detach(const Asked& asked, const Respond& respond);
  void identify(const Asked& asked, const Respond& respond);
  void ownerDevices(const Asked& asked, const Respond& respond);
  void ownerLogout(const Asked& asked, const Respond& respond);
  void listen(const std::string& device, const http::Request& req, http::Response& res);
  void sendCode(const std::string& project, const std::string& challenge,
                const std::string& channel, const Respond& respond);
  // Whether a refusal by the rate limits for `key` goes into the audit trail: the first one of
  // each minute, so a flood fills neither the trail nor the disk.
  bool auditRefusal(const std::string& key);

  Service& service_;
  Hub& hub_;
  Metrics& metrics_;
  std::function<void(const SentCode&)> codeSink_;
  RateLimiter* limiter_ = nullptr;
  const GeoIP* geoip_ = nullptr;
  const RateLimiter* sources_ = nullptr;
  std::mutex refusalsMutex_;
  std::unordered_map<std::string, std::chrono::steady_clock::time_point> refusals_;
};

}  // namespace zelk::server
