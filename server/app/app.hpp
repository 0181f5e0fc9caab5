// SPDX-License-Identifier: Apache-2.0
// One running zelk-server: the rules over their store, the realtime streams, the HTTP routes
// (service, admin, health and metrics, and in sandbox mode the test hooks) and the HTTP server
// that serves them. The zelk-server program and the in-process sandbox both run one.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "delivery/courier.hpp"
#include "geoip/geoip.hpp"
#include "hooks/hooks.hpp"
#include "http/server.hpp"
#include "metrics/metrics.hpp"
#include "realtime/hub.hpp"
#include "realtime/relay.hpp"
#include "routes/admin_routes.hpp"
#include "routes/console_routes.hpp"
#include "routes/service_routes.hpp"
#include "service/service.hpp"
#include "service/workers.hpp"

namespace zelk::server {

enum class LogFormat { none, text, json };

struct AppConfig {
  http::ServerConfig http;
  // Any client id is a project, and the /_sandbox/ hooks answer.
  bool sandbox = false;
  std::string dataFile;  // a SQLite database; "" keeps everything in memory
  // A PostgreSQL database shared with other instances ("postgres://..."); wins over dataFile.
  std::string database;
  int databaseConnections = 8;
  std::chrono::milliseconds heartbeat{25'000};
  std::string adminToken;  // "" turns the admin API off
  // Users whose records an instance holds between calls at most; 0: no bound. The memory store
  // holds every record anyway, and its instance then holds all of them.
  std::size_t cacheUsers = 20'000;
  // Devices one user may have attached at once, whatever the project's limits; an attach of one
  // more is refused (409). Bounds what one user's records, and each attach of theirs, cost.
  std::size_t maxDevicesPerUser = 100;
  // The key one-time codes are kept under; "" : a random one for this run (codes sent before a
  // restart are then void).
  std::string codeKey;
  CodePolicy codes;
  // Where new codes go to be delivered (sandbox mode also reveals them through its hooks).
  // Called while the request that sent the code is answered; must not call into the App.
  std::function<void(const SentCode&)> onCodeSent;
  // How codes and webhook events leave the service (codes only outside sandbox mode, where the
  // hooks reveal them instead).
  DeliveryConfig delivery;
  AuditRetention audit;
  // Request rates per client id and per source address; no limits by default.
  RateLimitConfig rateLimits;
  // A GeoIP database (MaxMind DB format, City or Country) that places each attach by its source
  // address; "" places none.
  std::string geoipDatabase;
  // How often devices whose grace is over are looked for.
  std::chrono::milliseconds sweepEvery{30'000};
  // The time the rules go by; tests set their own.
  std::function<Clock::time_point()> clock;
  LogFormat logFormat = LogFormat::none;
  // Where request log lines go; by default standard error.
  std::function<void(const std::string&)> logSink;
};

class App {
 public:
  // Opens the GeoIP database, then the store; throws std::runtime_error when the database cannot
  // be opened, StoreError when the store cannot.
  explicit App(AppConfig config);
  ~App();
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  // Serves on the configured address; false with a reason in *error when it cannot. May be
  // called again after stop(); a port of 0 then binds the port bound before.
  bool start(std::string* error);
  // Drops every connection and stream at once.
  void stop();
  // Stops taking connections, ends every stream so its client reconnects elsewhere, lets the
  // answers being written finish, then stops; false when connections were left at `deadline`.
  bool drain(std::chrono::milliseconds deadline);
  // Loads the TLS certificate and key again from their files (as on SIGHUP); false with the
  // reason in *error, and the ones in use kept, when they cannot be.
  bool reloadTLS(std::string* error) { return server_.reloadTLS(error); }

  // Detaches the devices whose grace is over, now, and waits for it; the server does it every
  // `sweepEvery` on its own.
  void sweepIdleDevices();

  bool running() const;
  int port() const;
  std::string baseURL() const;

  Service& service() { return *service_; }
  Hub& hub() { return hub_; }
  Metrics& metrics() { return metrics_; }
  // Looks at the outbox now instead of at the next poll.
  void wakeCourier();
  SandboxHooks* hooks() { return hooks_.get(); }
  const AppConfig& config() const { return config_; }

 private:
  void handle(const http::Request& req, http::Response& res);
  // What a request's log line and its count in the metrics tell of it.
  struct Seen {
    // `peer`: the client's address, after the trusted proxies (the one the rate limits count).
    std::string peer, method, path, route;
    std::chrono::steady_clock::time_point started;
  };
  void done(const Seen& seen, const http::Response& res);
  void log(const Seen& seen, const http::Response& res, std::chrono::steady_clock::duration took);
  // Answers an operator's request (admin, sandbox) on the operators' thread: those calls wait
  // for the service, which the server's loop must never do.
  enum class OffLoop { admin, console, sandbox };
  void answerOffLoop(const http::Request& req, http::Response& res, OffLoop which);
  // Writes the request log lines gathered so far.
  void flushLog();
  void flushLogLocked();
  static constexpr std::size_t kLogBlock = 32 * 1024;
  static constexpr std::chrono::milliseconds kLogFlushPeriod{200};

  AppConfig config_;
  std::unique_ptr<const GeoIP> geoip_;  // opened before the store: a bad file fails first
  std::unique_ptr<Service> service_;
  std::unique_ptr<Courier> courier_;  // goes before the service it reads
  Hub hub_;
  Metrics metrics_;
  // Messages committed by other instances on a shared store; goes before the hub it writes to.
  std::unique_ptr<Relay> relay_;
  std::unique_ptr<SandboxHooks> hooks_;
  std::unique_ptr<RateLimiter> limiter_;
  std::unique_ptr<ServiceRoutes> serviceRoutes_;
  std::unique_ptr<OperatorAccounts> accounts_;
  std::unique_ptr<AdminRoutes> adminRoutes_;
  std::unique_ptr<ConsoleRoutes> consoleRoutes_;
  Workers operators_{1};
  std::mutex pendingMutex_;
  std::condition_variable pendingDone_;
  std::size_t pending_ = 0;  // deferred answers not given yet
  std::atomic<bool> sweeping_{false};
  http::Server server_;
  std::atomic<bool> draining_{false};
  std::mutex logMutex_;
  std::string logBuffer_;
  int port_ = 0;
};

}  // namespace zelk::server
