// SPDX-License-Identifier: Apache-2.0
#include "app/app.hpp"

#include <cstdio>
#include <ctime>
#include <iostream>

#include <zelk/version.hpp>

#include "routes/json_input.hpp"

namespace zelk::server {
namespace {

std::unique_ptr<Store> openStore(const AppConfig& config) {
  if (!config.database.empty())
    return makePostgresStore(config.database, config.databaseConnections);
  if (config.dataFile.empty()) return makeMemoryStore();
  return makeSQLiteStore(config.dataFile);
}

Service::Config serviceConfig(const AppConfig& config, App* app) {
  Service::Config service;
  service.openProjects = config.sandbox;
  service.codeKey = config.codeKey;
  service.codes = config.codes;
  service.clock = config.clock;
  // A SQLite store gathers the changes of concurrent requests into one transaction; PostgreSQL
  // writes each request's in its own, on a connection of its pool.
  service.groupCommit = config.database.empty() && !config.dataFile.empty();
  service.deliverCodes = !config.sandbox;
  service.audit = config.audit;
  service.onOutbox = [app] { app->wakeCourier(); };
  return service;
}

}  // namespace

App::App(AppConfig config)
    : config_(std::move(config)),
      service_(std::make_unique<Service>(openStore(config_), serviceConfig(config_, this))),
      server_([this](const http::Request& req, http::Response& res) { handle(req, res); }) {
  courier_ = std::make_unique<Courier>(*service_, config_.delivery,
                                       [this](const std::string& kind, const std::string& result) {
                                         metrics_.countDelivery(kind, result);
                                       });
  if (config_.sandbox) hooks_ = std::make_unique<SandboxHooks>(*service_, hub_, metrics_);
  serviceRoutes_ = std::make_unique<ServiceRoutes>(*service_, hub_, metrics_, hooks_.get());
  if (config_.onCodeSent) serviceRoutes_->setCodeSink(config_.onCodeSent);
  limiter_ = std::make_unique<RateLimiter>(config_.rateLimits);
  if (limiter_->active()) serviceRoutes_->setRateLimiter(limiter_.get());
  adminRoutes_ = std::make_unique<AdminRoutes>(*service_, hub_, metrics_, config_.adminToken);
  if (service_->store().shared()) {
    relay_ = std::make_unique<Relay>(service_->store(), *service_, hub_, metrics_);
    serviceRoutes_->setStreamObserver([this](const std::string& device) {
      if (relay_) relay_->streamOpened(device);
    });
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
  if (http.port == 0) http.port = port_;  // keeps base URLs handed out earlier valid
  hub_.reopen();
  draining_ = false;
  if (!server_.start(http, error)) return false;
  port_ = server_.port();
  if (config_.heartbeat.count() > 0) server_.every(config_.heartbeat, [this] { hub_.heartbeat(); });
  if (config_.sweepEvery.count() > 0)
    server_.every(config_.sweepEvery, [this] { sweepIdleDevices(); });
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
  // Answers that wait for their changes to be stored are posted to the loop, which must still
  // be there to take them.
  server_.halt();
  service_->flush();
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
    const std::vector<Delivery> logouts = service_->expireIdleDevices();
    std::uint64_t sent = 0;
    for (const Delivery& logout : logouts) {
      hub_.forget(logout.device);
      sent += static_cast<std::uint64_t>(hub_.deliver(logout));
      metrics_.countEvent("devices_removed", "idle");
    }
    metrics_.countMessages(sent);
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
  const auto started = std::chrono::steady_clock::now();
  const std::uint64_t changedBefore = Service::lastChangeOfThisThread();
  std::string route;
  const std::string& path = req.path;
  try {
    if (path.starts_with("/v2/")) {
      route = serviceRoutes_->handle(req, res);
    } else if (path.starts_with("/admin/")) {
      route = "admin";
      adminRoutes_->handle(req, res);
    } else if (path.starts_with("/_sandbox/") && hooks_) {
      route = "sandbox";
      if (!hooks_->handle(req, res)) fail(res, 404, "not found");
    } else if (path == "/healthz") {
      route = "healthz";
      reply(res, 200, {{"status", "ok"}, {"version", ZELK_VERSION}});
    } else if (path == "/readyz") {
      route = "readyz";
      const bool ready = !draining_ && service_->storeReady();
      reply(res, ready ? 200 : 503, {{"status", ready ? "ready" : "not ready"}});
    } else if (path == "/metrics") {
      route = "metrics";
      res.status = 200;
      res.contentType = "text/plain; version=0.0.4";
      res.body =
          metrics_.render({hub_.openStreamCount(), server_.connections(), service_->deviceCount()});
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
  metrics_.countRequest(route, res.stream ? 200 : res.status);
  if (config_.logFormat != LogFormat::none)
    log(req, res, route, std::chrono::steady_clock::now() - started);
  const std::uint64_t changed = Service::lastChangeOfThisThread();
  if (changed != changedBefore && !res.stream && !res.deferred) {
    // An answer that changed something goes out once the change is stored.
    auto answer = std::make_shared<http::Response>(std::move(res));
    res = {};
    res.deferred = [this, changed, answer](boost::asio::any_io_executor,
                                           std::function<void(http::Response)> respond) {
      service_->whenStored(changed, [answer, respond = std::move(respond)](bool stored) {
        if (stored) return respond(std::move(*answer));
        http::Response failed;
        fail(failed, 503, "storage unavailable");
        respond(std::move(failed));
      });
    };
  }
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

// One line per request, without its line break. Never the query (it carries access tokens),
// the body or a header.
void appendLogLine(std::string& out, LogFormat format, const http::Request& req, int status,
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

void App::log(const http::Request& req, const http::Response& res, const std::string& route,
              std::chrono::steady_clock::duration took) {
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
