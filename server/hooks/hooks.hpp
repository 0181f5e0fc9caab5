// SPDX-License-Identifier: Apache-2.0
// What sandbox mode puts around the service's routes for tests and demos: the log of /v2/
// requests, answers scripted in advance, and the /_sandbox/ endpoints that inspect and steer the
// service and its streams (projects, users, challenges with their codes, pushes, stream ends,
// stalls and drips). The routes know nothing of it; none of it exists outside sandbox mode.
// Every public member is thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "http/message.hpp"
#include "routes/operations.hpp"

namespace zelk::server {

class Service;
class Hub;
class Metrics;

struct ScriptedAnswer {
  int status = 200;
  std::string body;

  // Listen scripts only.
  std::string device;  // the device whose next listen this answers; "" for any device
  // Instead of the status and body: a stream that stays silent, or one that first writes `drip`
  // in pieces of `chunk` bytes, `interval` apart.
  enum class Stream { none, stall, drip } stream = Stream::none;
  std::string drip;
  std::size_t chunk = 1;
  std::chrono::milliseconds interval{0};
};

// How many recorded requests a sandbox keeps: the most recent ones. A long-running sandbox (the
// demo, a load test) would otherwise grow without bound.
inline constexpr std::size_t kMaxRecordedRequests = 10000;

struct RecordedRequest {
  std::string method;
  std::string path;   // as sent, without the query
  std::string query;  // as sent, after '?', without it; "" when there was none
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

class SandboxHooks {
 public:
  SandboxHooks(Service& service, Hub& hub, Metrics& metrics)
      : service_(service), hub_(hub), metrics_(metrics) {}

  // Keeps `request`; only the last kMaxRecordedRequests stay, older ones are dropped.
  void record(const http::Request& request);
  // The kept requests, oldest first.
  std::vector<RecordedRequest> requests() const;
  void clearRequests();

  void pushScript(Operation operation, ScriptedAnswer answer);
  // The first queued answer of `operation` meant for `device` (or for any device).
  std::optional<ScriptedAnswer> takeScript(Operation operation, std::string_view device = {});

  // The codes sent, which the sandbox reveals to tests instead of delivering them; the service
  // itself keeps only their HMAC. The codes of the last kMaxRecordedRequests challenges stay.
  void rememberCode(const std::string& challenge, const std::string& code);
  std::optional<std::string> lastCode(const std::string& challenge) const;

  // Records a /v2/ request, and answers it when an answer was scripted for it (true then).
  bool intercept(const http::Request& request, http::Response& response);

  // Answers GET/POST/DELETE /_sandbox/...; false when `request` is not one of them. Calls the
  // service and waits for it: never on a server's loop thread.
  bool handle(const http::Request& request, http::Response& response);

 private:
  nlohmann::json scriptsJSON() const;
  void streams(const http::Request& request, http::Response& response);

  Service& service_;
  Hub& hub_;
  Metrics& metrics_;
  mutable std::mutex mutex_;
  std::deque<RecordedRequest> requests_;  // at most kMaxRecordedRequests
  std::map<Operation, std::deque<ScriptedAnswer>> scripts_;
  std::map<std::string, std::string> codes_;  // by challenge
  std::deque<std::string> codeOrder_;         // challenges in codes_, first coded first
};

}  // namespace zelk::server
