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

/// The largest reply body a service call accepts: a longer reply ends the request as failed.
inline constexpr std::size_t kMaxReplyBytes = std::size_t{4} << 20;

/// Requests to one host that run at once; further ones wait for a free connection.
inline constexpr long kMaxConnectionsPerHost = 6;

struct HttpRequest {
  std::string method = "GET";
  std::string url;
  std::vector<std::string> headers;  // "Name: value", sent in this order
  std::optional<std::string> body;
  /// A request that makes no progress (no byte sent or received, connection not made) for this
  /// long fails as timed out.
  std::chrono::milliseconds idleTimeout = std::chrono::seconds(60);
  /// A request still unfinished this long after it started fails as timed out, whatever its
  /// progress.
  std::chrono::milliseconds deadline = std::chrono::seconds(120);
  /// A reply body longer than this fails the request.
  std::size_t maxReplyBytes = kMaxReplyBytes;
};

struct HttpResult {
  std::optional<std::string> data;  // the response body; absent on a transport error
  long status = 0;                  // HTTP status, 0 when no response arrived
  std::string error;                // transport error text; empty when none
};

class CurlLoop;

/// Sends HTTP(S) requests on a `CurlLoop`'s thread, which runs them concurrently, at most
/// `kMaxConnectionsPerHost` at a time to one host (the rest wait their turn), and keeps
/// connections open for reuse. Redirects are not followed. Certificates are verified and TLS
/// below 1.2 refused. Completions run on the loop's thread, never on the caller's.
class HttpTransport {
 public:
  struct Options {
    std::string caFile;  // extra PEM bundle to trust besides the system store
  };

  /// A transport on a loop of its own.
  explicit HttpTransport(Options options = {});
  /// A transport on `loop`, which it shares with whatever else runs there.
  HttpTransport(std::shared_ptr<CurlLoop> loop, Options options);
  /// Abandons requests still in flight: their completions are dropped unrun, and none runs
  /// once this returns.
  ~HttpTransport();
  HttpTransport(const HttpTransport&) = delete;
  HttpTransport& operator=(const HttpTransport&) = delete;

  /// Queues `request`; `completion` runs exactly once on the worker thread unless the transport
  /// is destroyed first. Any thread.
  void send(HttpRequest request, std::function<void(HttpResult)> completion);

  /// Requests queued or running whose completion has not returned yet.
  std::size_t inFlight() const;

  /// Waits until no request is in flight, or `timeout` has passed; true when none is. Not on the
  /// loop's thread (there it only reports whether none is).
  bool waitUntilIdle(std::chrono::milliseconds timeout) const;

  /// The loop the requests run on.
  const std::shared_ptr<CurlLoop>& loop() const { return loop_; }

  /// Whether `url` is an absolute http or https URL that libcurl accepts.
  static bool isValidURL(const std::string& url);

 private:
  struct Worker;
  std::shared_ptr<CurlLoop> loop_;
  std::shared_ptr<Worker> worker_;
};

}  // namespace zelk::detail
