// In-memory stand-in for the account-protection service, for integration tests and the demo.
//
// A Sandbox serves the /v2/ operations (attach, detach, identify) over HTTP or HTTPS from a
// background thread, keeps every project's users, devices and identities in memory, records each
// /v2/ request it receives, and can be told to answer the next request of an operation with a
// canned status and body. Admin endpoints under /_sandbox/ expose the same controls over HTTP.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zelk::sandbox {

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port
  // Both set: serve HTTPS with this PEM certificate (chain) and PEM private key.
  std::string tlsCertFile, tlsKeyFile;
  // "" (library default) or "1.0", "1.1", "1.2", "1.3": the highest TLS version offered. "1.0" and
  // "1.1" also lower the minimum version and the OpenSSL security level so they really work.
  std::string tlsMaxVersion;
};

struct RecordedRequest {
  std::string method;
  std::string path;   // as sent, without the query
  std::string query;  // as sent, after '?', without it; "" when there was none
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

class ServiceState;

class Sandbox {
 public:
  explicit Sandbox(Options options = {});
  ~Sandbox();  // stops and joins
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // Binds and serves on a background thread; returns once the socket is listening. False (with a
  // reason in *error) when already running, the TLS setup fails or the port cannot be bound.
  // After stop(), start() may be called again: it binds the same port as before when
  // Options::port was 0, so base URLs handed out earlier stay valid. State survives restarts.
  bool start(std::string* error = nullptr);
  void stop();
  bool running() const;

  int port() const;             // the bound port; 0 before the first successful start()
  std::string baseURL() const;  // "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT"

  // Every request to /v2/..., in arrival order, including rejected ones.
  std::vector<RecordedRequest> requests() const;
  void clearRequests();

  // Answer the next request of `operation` ("attach", "detach" or "identify") with this status
  // and raw body (sent as application/json) instead of the normal handling. Several scripts for
  // one operation are used in the order given. Throws std::invalid_argument for an unknown
  // operation or a status outside 100..599.
  void script(std::string operation, int status, std::string body);

  // The service model behind the HTTP routes (thread-safe), for in-process inspection.
  ServiceState& state();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zelk::sandbox
