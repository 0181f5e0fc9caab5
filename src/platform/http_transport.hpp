// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zelk::detail {

struct HttpRequest {
  std::string method = "GET";
  std::string url;
  std::vector<std::string> headers;  // "Name: value", sent in this order
  std::optional<std::string> body;
  std::chrono::seconds timeout{60};  // longest wait for the connection or for the next byte
};

struct HttpResult {
  std::optional<std::string> data;  // the response body; absent on a transport error
  long status = 0;                  // HTTP status, 0 when no response arrived
  std::string error;                // transport error text; empty when none
};

/// Sends HTTP(S) requests on one worker thread that runs them all concurrently (libcurl multi)
/// and keeps connections open for reuse. Certificates are verified and TLS below 1.2 refused.
/// Completions run on the worker thread, never on the caller's.
class HttpTransport {
 public:
  struct Options {
    std::string caFile;  // extra PEM bundle to trust besides the system store
  };

  explicit HttpTransport(Options options = {});
  /// Abandons requests still in flight (their completions are dropped unrun) and ends the
  /// worker thread.
  ~HttpTransport();
  HttpTransport(const HttpTransport&) = delete;
  HttpTransport& operator=(const HttpTransport&) = delete;

  /// Queues `request`; `completion` runs exactly once on the worker thread unless the transport
  /// is destroyed first. Any thread.
  void send(HttpRequest request, std::function<void(HttpResult)> completion);

  /// Requests queued or running whose completion has not returned yet.
  std::size_t inFlight() const;

  /// Whether `url` is an absolute http or https URL that libcurl accepts.
  static bool isValidURL(const std::string& url);

 private:
  struct Worker;
  std::shared_ptr<Worker> worker_;
};

}  // namespace zelk::detail
