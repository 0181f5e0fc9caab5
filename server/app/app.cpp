// SPDX-License-Identifier: Apache-2.0
#include "app/app.hpp"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <string_view>

#include <zelk/version.hpp>

#include "app/openapi.hpp"
#include "realtime/push.hpp"
#include "routes/json_input.hpp"
#include "routes/operations.hpp"

namespace zelk::server {
namespace {

std::unique_ptr<Store> openStore(const AppConfig& config) {
  if (!config.database.empty())
    return makePostgresStore(config.database, config.databaseConnections);
  if (config.dataFile.empty()) return makeMemoryStore();
  return makeSQLiteStore(config.dataFile);
}

// The admin route `path` names, for the metrics and the request log: one of the admin API's
// routes, or "admin" for a path that is none of them.
std::string adminRouteName(const std::string& path) {
  for (const auto& [method, route] : AdminRoutes::routes()) {
    if (path == route) return route.substr(1);
  }
  return "admin";
}

Service::Config serviceConfig(const AppConfig& config, App* app) {
  Service::Config service;
  service.openProjects = config.sandbox;
  service.codeKey = config.codeKey;
  service.codes = config.codes;
  service.clock = config.clock;
  const bool memory = config.database.empty() && config.dataFile.empty();
  service.cacheUsers = memory ? 0 : config.cacheUsers;
  service.maxDevicesPerUser = config.maxDevicesPerUser;
  if (!config.database.empty()) {
    // PostgreSQL takes several commits at once, each flushed on its own connection; SQLite has
    // one writer.
    service.committers = std::clamp(config.databaseConnections / 4, 1, 4);
    service.readers = std::clamp(config.databaseConnections / 2, 1, 8);
  }
  if (!config.sandbox) {
    service.codeChannels.email =
        !config.delivery.mail.url.empty() && !config.delivery.mail.from.empty();
    service.codeChannels.text = !config.delivery.text.url.empty();
  }
  service.codeChannels.revealed = config.sandbox || config.onCodeSent != nullptr;
  service.audit = config.audit;
  service.onOutbox = [app] { app->wakeCourier(); };
  return service;
}

}  // namespace

App::App(AppConfig config)
    : config_(std::move(config)),
      geoip_(config_.geoipDatabase.empty() ? nullptr
                                           : std::make_unique<const GeoIP>(config_.geoipDatabase)),
      service_(std::make_unique<Service>(openStore(config_), serviceConfig(config_, this))),
      server_([this](const http::Request& req, http::Response& res) { handle(req, res); }) {
  courier_ = std::make_unique<Courier>(*service_, config_.delivery,
                                       [this](const std::string& kind, const std::string& result) {
                                         metrics_.countDelivery(kind, result);
                                       });
  if (config_.sandbox) hooks_ = std::make_unique<SandboxHooks>(*service_, hub_, metrics_);
  serviceRoutes_ = std::make_unique<ServiceRoutes>(*service_, hub_, metrics_);
  if (hooks_ || config_.onCodeSent) {
    // The sandbox reveals the codes it sends to tests, beside whatever else takes them.
    serviceRoutes_->setCodeSink(
        [hooks = hooks_.get(), sink = config_.onCodeSent](const SentCode& code) {
          if (hooks) hooks->rememberCode(code.challenge, code.code);
          if (sink) sink(code);
        });
  }
  limiter_ = std::make_unique<RateLimiter>(config_.rateLimits);
  if (limiter_->active()) serviceRoutes_->setRateLimiter(limiter_.get());
  if (geoip_) serviceRoutes_->setGeoIP(geoip_.get(), limiter_.get());
  accounts_ = std::make_unique<OperatorAccounts>(service_->store(), OperatorAccounts::Config{});
  adminRoutes_ =
      std::make_unique<AdminRoutes>(*service_, hub_, metrics_, *accounts_, config_.adminToken);
  consoleRoutes_ = std::make_unique<ConsoleRoutes>(
      *service_, *adminRoutes_, *accounts_, hub_,
      !config_.http.tlsCertFile.empty() && !config_.http.tlsKeyFile.empty());
  if (service_->store().shared()) {
    relay_ = std::make_unique<Relay>(service_->store(), *service_, hub_, metrics_);
    relay_->start();
  }
}

App::~App() {
  stop();
  // No notice is handled once this returns: then the hub and the service may go.
  if (relay_) relay_->stop();
}

bool App::start(std::string* error) {
  http::ServerConfig http = config_.http;
  // A proxy's connections carry many clients: no cap holds them back.
  http.uncapped = [limiter = limiter_.get()](const std::string& peer) {
    return limiter->trusted(peer);
  };
  if (http.port == 0) http.port = port_;  // keeps base URLs handed out earlier valid
  hub_.reopen();
  draining_ = false;
  if (!server_.start(http, error)) return false;
  port_ = server_.port();
  if (config_.heartbeat.count() > 0) server_.every(config_.heartbeat, [this] { hub_.heartbeat(); });
  if (config_.sweepEvery.count() > 0) {
    server_.every(config_.sweepEvery, [this] {
      // One sweep at a time; it runs on the service's threads, never on the loop.
      if (sweeping_.exchange(true)) return;
      service_->sweepIdleDevices([this](Outcome<std::vector<Delivery>> logouts) {
        if (logouts.value) pushLogouts(hub_, metrics_, *logouts.value, "idle");
        sweeping_ = false;
      });
    });
  }
  server_.every(kLogFlushPeriod, [this] { flushLog(); });
  courier_->start();
  return true;
}

void App::wakeCourier() {
  if (courier_) courier_->wake();
}

void App::stop() {
  // Streams hold their connections: they go first, then the loop that serves them.
  hub_.shutDown();
  server_.halt();
  {
    // Answers still coming (their changes being stored) are posted to the halted loop, which
    // drops them with their connections in stop().
    std::unique_lock lock(pendingMutex_);
    while (!pendingDone_.wait_for(lock, std::chrono::seconds(10), [this] { return pending_ == 0; }))
      std::cerr << "zelk-server: waiting for " << pending_ << " answers to stop" << std::endl;
  }
  server_.stop();
  courier_->stop();
  flushLog();
}

bool App::drain(std::chrono::milliseconds deadline) {
  draining_ = true;
  server_.stopAccepting();
  hub_.end("", /*abort=*/false);
  const bool drained = server_.drain(deadline);
  stop();
  return drained;
}

void App::sweepIdleDevices() {
  try {
    pushLogouts(hub_, metrics_, service_->sweepIdleDevices(), "idle");
  } catch (const StoreError& error) {
    // Tried again at the next sweep.
    std::cerr << "zelk-server: storage failure: " << error.what() << std::endl;
  }
}

bool App::running() const {
  return server_.running();
}

int App::port() const {
  return port_;
}

std::string App::baseURL() const {
  std::string host = config_.http.host;
  if (host.empty() || host == "0.0.0.0") {
    host = "127.0.0.1";
  } else if (host == "::") {
    host = "[::1]";
  } else if (host.find(':') != std::string::npos) {
    host = "[" + host + "]";
  }
  const bool tls = !config_.http.tlsCertFile.empty() && !config_.http.tlsKeyFile.empty();
  return (tls ? "https://" : "http://") + host + ":" + std::to_string(port_);
}

void App::handle(const http::Request& req, http::Response& res) {
  Seen seen{limiter_->sourceAddress(req.peer, req.header("X-Forwarded-For")),
            req.method,
            req.path,
            {},
            std::chrono::steady_clock::now()};
  std::string& route = seen.route;
  const std::string& path = req.path;
  try {
    if (path.starts_with("/v2/")) {
      if (hooks_ && hooks_->intercept(req, res)) {
        route = routeName(req);
      } else {
        route = serviceRoutes_->handle(req, res);
      }
    } else if (path.starts_with("/admin/")) {
      route = adminRouteName(path);
      answerOffLoop(req, res, OffLoop::admin);
    } else if (path == "/console" || path.starts_with("/console/")) {
      route = "console";
      answerOffLoop(req, res, OffLoop::console);
    } else if (path.starts_with("/_sandbox/") && hooks_) {
      route = "sandbox";
      answerOffLoop(req, res, OffLoop::sandbox);
    } else if (path == "/healthz") {
      route = "healthz";
      reply(res, 200, {{"status", "ok"}, {"version", ZELK_VERSION}});
    } else if (path == "/openapi.json") {
      route = "openapi";
      res.status = 200;
      res.contentType = "application/json";
      res.body = openapiDocument();
    } else if (path == "/readyz") {
      route = "readyz";
      const bool ready = !draining_ && service_->storeReady();
      reply(res, ready ? 200 : 503, {{"status", ready ? "ready" : "not ready"}});
    } else if (path == "/metrics") {
      route = "metrics";
      res.status = 200;
      res.contentType = "text/plain; version=0.0.4";
      const CacheFigures cache = service_->cacheFigures();
      res.body = metrics_.render({hub_.openStreamCount(), server_.connections(),
                                  service_->deviceCount(), cache.users, cache.misses, cache.hits,
                                  cache.evictions, cache.conflicts});
      service_->store().appendMetrics(res.body);
    } else {
      route = "unknown";
      fail(res, 404, "not found");
    }
  } catch (const StoreError& error) {
    // The message names the file, not what was being written.
    std::cerr << "zelk-server: storage failure: " << error.what() << std::endl;
    res = {};
    fail(res, 503, "storage unavailable");
  }
  if (!res.deferred) return done(seen, res);
  // Counted and logged with the answer it ends with, whenever that comes; until then stop()
  // waits for it, as the loop it is posted to must still be there to take it.
  res.deferred = [this, seen = std::move(seen), inner = std::move(res.deferred)](
                     boost::asio::any_io_executor executor,
                     std::function<void(http::Response)> respond) {
    {
      std::lock_guard lock(pendingMutex_);
      ++pending_;
    }
    inner(executor, [this, seen, respond = std::move(respond)](http::Response answer) {
      done(seen, answer);
      respond(std::move(answer));
      std::lock_guard lock(pendingMutex_);
      if (--pending_ == 0) pendingDone_.notify_all();
    });
  };
}

void App::answerOffLoop(const http::Request& req, http::Response& res, OffLoop which) {
  res.deferred = [this, req, which](boost::asio::any_io_executor executor,
                                    std::function<void(http::Response)> respond) {
    operators_.post([this, req, which, executor, respond = std::move(respond)] {
      http::Response answer;
      try {
        if (which == OffLoop::admin) {
          adminRoutes_->handle(req, answer);
        } else if (which == OffLoop::console) {
          consoleRoutes_->handle(req, answer);
        } else if (!hooks_->handle(req, answer)) {
          fail(answer, 404, "not found");
        }
      } catch (const StoreError& error) {
        std::cerr << "zelk-server: storage failure: " << error.what() << std::endl;
        answer = {};
        fail(answer, 503, "storage unavailable");
      }
      if (!answer.deferred) return respond(std::move(answer));
      auto later = std::move(answer.deferred);
      later(executor, respond);
    });
  };
}

void App::done(const Seen& seen, const http::Response& res) {
  const auto took = std::chrono::steady_clock::now() - seen.started;
  metrics_.countRequest(seen.route, res.stream ? 200 : res.status, took);
  if (config_.logFormat != LogFormat::none) log(seen, res, took);
}

namespace {

// The time of a log line as isoTimeMillis() writes it; the part up to the second is formatted
// once a second per thread.
void appendLogTime(std::string& out) {
  thread_local std::int64_t cachedSecond = -1;
  thread_local char cached[32];
  thread_local std::size_t cachedLength = 0;
  const auto now = Clock::now();
  const auto millis = toMillis(now);
  const std::int64_t second = millis >= 0 ? millis / 1000 : (millis - 999) / 1000;
  if (second != cachedSecond) {
    const std::time_t whole = static_cast<std::time_t>(second);
    std::tm utc{};
    gmtime_r(&whole, &utc);
    cachedLength = std::strftime(cached, sizeof cached, "%Y-%m-%dT%H:%M:%S", &utc);
    cachedSecond = second;
  }
  out.append(cached, cachedLength);
  char fraction[8];
  const int length =
      std::snprintf(fraction, sizeof fraction, ".%03dZ", static_cast<int>(millis - second * 1000));
  out.append(fraction, static_cast<std::size_t>(length));
}

void appendJSONString(std::string& out, const std::string& text) {
  out += render(nlohmann::json(text));
}

// What a log line tells of its request.
struct LoggedRequest {
  const std::string &peer, &method, &path;
};

// One line per request, without its line break. Never the query (it carries access tokens),
// the body or a header.
void appendLogLine(std::string& out, LogFormat format, const LoggedRequest& req, int status,
                   bool stream, const std::string& route, double millis) {
  char number[48];
  if (format == LogFormat::json) {
    out += "{\"time\":\"";
    appendLogTime(out);
    out += "\",\"peer\":";
    appendJSONString(out, req.peer);
    out += ",\"method\":";
    appendJSONString(out, req.method);
    out += ",\"path\":";
    appendJSONString(out, req.path);
    out += ",\"route\":";
    appendJSONString(out, route);
    out += ",\"status\":";
    out.append(number,
               static_cast<std::size_t>(std::snprintf(number, sizeof number, "%d", status)));
    out += stream ? ",\"stream\":true" : ",\"stream\":false";
    out += ",\"duration_ms\":";
    out.append(number,
               static_cast<std::size_t>(std::snprintf(number, sizeof number, "%f", millis)));
    out += '}';
    return;
  }
  appendLogTime(out);
  out += ' ';
  out += req.peer;
  out += ' ';
  out += req.method;
  out += ' ';
  out += req.path;
  out.append(number, static_cast<std::size_t>(std::snprintf(number, sizeof number, " %d", status)));
  if (stream) out += " stream";
  out.append(number,
             static_cast<std::size_t>(std::snprintf(number, sizeof number, " %fms", millis)));
}

}  // namespace

void App::log(const Seen& seen, const http::Response& res,
              std::chrono::steady_clock::duration took) {
  const LoggedRequest req{seen.peer, seen.method, seen.path};
  const std::string& route = seen.route;
  const int status = res.stream ? 200 : res.status;
  const double millis = std::chrono::duration<double, std::milli>(took).count();
  const bool stream = static_cast<bool>(res.stream);
  if (config_.logSink) {
    std::string line;
    appendLogLine(line, config_.logFormat, req, status, stream, route, millis);
    config_.logSink(line);
    return;
  }
  // Written straight into the block gathered for standard error (see flushLog()), not a write
  // per request.
  std::lock_guard lock(logMutex_);
  if (logBuffer_.capacity() < kLogBlock + 1024) logBuffer_.reserve(kLogBlock + 1024);
  appendLogLine(logBuffer_, config_.logFormat, req, status, stream, route, millis);
  logBuffer_ += '\n';
  if (logBuffer_.size() >= kLogBlock) flushLogLocked();
}

void App::flushLog() {
  std::lock_guard lock(logMutex_);
  flushLogLocked();
}

void App::flushLogLocked() {
  if (logBuffer_.empty()) return;
  std::fwrite(logBuffer_.data(), 1, logBuffer_.size(), stderr);
  std::fflush(stderr);
  logBuffer_.clear();
}

}  // namespace zelk::server
