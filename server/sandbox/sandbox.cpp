// SPDX-License-Identifier: Apache-2.0
#include "sandbox/sandbox.hpp"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>

#include "app/app.hpp"
#include "realtime/events.hpp"
#include "realtime/push.hpp"
#include "storage/scratch_database.hpp"

namespace zelk::sandbox {
namespace {

using zelk::server::App;
using zelk::server::AppConfig;
using zelk::server::Operation;
using zelk::server::ScriptedAnswer;

// A folder of its own under the temporary directory, removed with it.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zelk-sandbox-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    path_ = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

AppConfig configOf(const Options& options, const std::string& dataFile,
                   const std::string& database) {
  AppConfig config;
  config.sandbox = true;
  config.http.host = options.host;
  config.http.port = options.port;
  config.http.tlsCertFile = options.tlsCertFile;
  config.http.tlsKeyFile = options.tlsKeyFile;
  config.http.tlsMaxVersion = options.tlsMaxVersion;
  config.http.headerTimeout = options.headerTimeout;
  config.heartbeat = options.heartbeat;
  config.dataFile = dataFile;
  config.database = database;
  config.databaseConnections = 4;
  return config;
}

}  // namespace

struct Sandbox::Impl {
  explicit Impl(Options o) : options(std::move(o)) {
    std::string dataFile = options.dataFile;
    const char* store = std::getenv("ZELK_SANDBOX_STORE");
    if (dataFile.empty() && store && std::string(store) == "sqlite") {
      folder = std::make_unique<TemporaryFolder>();
      dataFile = (folder->path() / "zelk.db").string();
    }
    std::string databaseUrl;
    if (dataFile.empty() && store && std::string(store) == "postgres") {
      const char* admin = std::getenv("ZELK_TEST_POSTGRES");
      if (!admin || !*admin)
        throw std::runtime_error(
            "ZELK_TEST_POSTGRES is not set: start a server with scripts/postgres.sh and set it "
            "to the URL it prints");
      try {
        database = std::make_unique<zelk::server::ScratchDatabase>(admin);
      } catch (const std::exception& error) {
        throw std::runtime_error(std::string("cannot make the sandbox's database: ") +
                                 error.what());
      }
      databaseUrl = database->url();
    }
    try {
      app = std::make_unique<App>(configOf(options, dataFile, databaseUrl));
    } catch (const std::exception& error) {
      throw std::runtime_error(std::string("cannot open the sandbox's data: ") + error.what());
    }
  }

  const Options options;
  std::unique_ptr<TemporaryFolder> folder;                  // before the app: removed after it
  std::unique_ptr<zelk::server::ScratchDatabase> database;  // likewise dropped after it
  std::unique_ptr<App> app;
  mutable std::mutex mutex;  // start and stop
};

Sandbox::Sandbox(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Sandbox::~Sandbox() {
  stop();
}

bool Sandbox::start(std::string* error) {
  std::lock_guard lock(impl_->mutex);
  const Options& options = impl_->options;
  const auto failWith = [error](std::string message) {
    if (error) *error = std::move(message);
    return false;
  };
  if (impl_->app->running()) return failWith("the sandbox is already running");
  if (zelk::server::http::tlsVersionFromName(options.tlsMaxVersion) < 0)
    return failWith("unknown TLS version '" + options.tlsMaxVersion +
                    "' (expected 1.0, 1.1, 1.2 or 1.3)");
  if (!options.tlsMaxVersion.empty() && (options.tlsCertFile.empty() || options.tlsKeyFile.empty()))
    return failWith("a TLS version limit needs a TLS certificate and key");
  // Writing to a connection the client already closed must fail with EPIPE, not kill the process.
  struct sigaction current {};
  if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
    std::signal(SIGPIPE, SIG_IGN);
  return impl_->app->start(error);
}

void Sandbox::stop() {
  std::lock_guard lock(impl_->mutex);
  impl_->app->stop();
}

bool Sandbox::running() const {
  return impl_->app->running();
}

int Sandbox::port() const {
  return impl_->app->port();
}

std::string Sandbox::baseURL() const {
  return impl_->app->baseURL();
}

std::vector<RecordedRequest> Sandbox::requests() const {
  return impl_->app->hooks()->requests();
}

void Sandbox::clearRequests() {
  impl_->app->hooks()->clearRequests();
}

void Sandbox::script(std::string operation, int status, std::string body) {
  const auto parsed = zelk::server::operationFromName(operation);
  if (!parsed) throw std::invalid_argument("unknown sandbox operation: " + operation);
  if (status < 100 || status > 599)
    throw std::invalid_argument("status out of range: " + std::to_string(status));
  ScriptedAnswer answer;
  answer.status = status;
  answer.body = std::move(body);
  impl_->app->hooks()->pushScript(*parsed, std::move(answer));
}

void Sandbox::scriptListen(std::string device, int status, std::string body) {
  if (status < 100 || status > 599)
    throw std::invalid_argument("status out of range: " + std::to_string(status));
  ScriptedAnswer answer;
  answer.status = status;
  answer.body = std::move(body);
  answer.device = std::move(device);
  impl_->app->hooks()->pushScript(Operation::listen, std::move(answer));
}

void Sandbox::stallListen(std::string device) {
  ScriptedAnswer answer;
  answer.device = std::move(device);
  answer.stream = ScriptedAnswer::Stream::stall;
  impl_->app->hooks()->pushScript(Operation::listen, std::move(answer));
}

void Sandbox::dripListen(std::string device, std::string bytes, std::size_t chunk,
                         std::chrono::milliseconds interval) {
  if (chunk == 0) throw std::invalid_argument("drip chunk size must be at least 1");
  if (interval.count() < 0) throw std::invalid_argument("negative drip interval");
  ScriptedAnswer answer;
  answer.device = std::move(device);
  answer.stream = ScriptedAnswer::Stream::drip;
  answer.drip = std::move(bytes);
  answer.chunk = chunk;
  answer.interval = interval;
  impl_->app->hooks()->pushScript(Operation::listen, std::move(answer));
}

int Sandbox::push(const std::string& device, const Event& event) {
  return impl_->app->hub().push(device, zelk::server::formatEvent(event));
}

int Sandbox::pushRaw(const std::string& device, std::string bytes) {
  if (bytes.empty()) throw std::invalid_argument("nothing to push");
  return impl_->app->hub().push(device, bytes);
}

int Sandbox::endStreams(const std::string& device, bool abort) {
  return impl_->app->hub().end(device, abort);
}

int Sandbox::openStreams(const std::string& device) const {
  return impl_->app->hub().openStreams(device);
}

bool Sandbox::waitForStreams(const std::string& device, int count,
                             std::chrono::milliseconds timeout) const {
  return impl_->app->hub().waitForStreams(device, count, timeout);
}

bool Sandbox::waitForNoStreams(const std::string& device, std::chrono::milliseconds timeout) const {
  return impl_->app->hub().waitForNoStreams(device, timeout);
}

namespace {

void checkSettings(const ProjectSettings& settings) {
  for (const int limit : {settings.overallLimit, settings.mobileLimit, settings.tabletLimit,
                          settings.computerLimit}) {
    if (limit < 0) throw std::invalid_argument("negative device limit: " + std::to_string(limit));
  }
}

void checkNames(const std::string& clientID, const std::string& user) {
  if (clientID.empty()) throw std::invalid_argument("empty client id");
  if (user.empty()) throw std::invalid_argument("empty user");
}

}  // namespace

void Sandbox::configureProject(const std::string& clientID, ProjectSettings settings) {
  if (clientID.empty()) throw std::invalid_argument("empty client id");
  checkSettings(settings);
  impl_->app->service().configureProject(clientID, std::move(settings));
}

ProjectSettings Sandbox::projectSettings(const std::string& clientID) const {
  return impl_->app->service().projectSettings(clientID);
}

void Sandbox::configureUser(const std::string& clientID, const std::string& user,
                            UserProfile profile) {
  checkNames(clientID, user);
  impl_->app->service().configureUser(clientID, user, std::move(profile));
}

std::string Sandbox::raiseChallenge(const std::string& clientID, const std::string& user) {
  checkNames(clientID, user);
  auto& app = *impl_->app;
  const auto raised = app.service().raiseChallenge(clientID, user, "manual");
  zelk::server::announceChallenge(app.hub(), app.metrics(), raised,
                                  app.service().repeatOpenChallenges());
  return raised.id;
}

void Sandbox::setRepeatOpenChallenges(bool repeat) {
  impl_->app->service().setRepeatOpenChallenges(repeat);
}

std::vector<std::string> Sandbox::challenges(const std::string& clientID,
                                             const std::string& user) const {
  return impl_->app->service().challenges(clientID, user);
}

std::optional<std::string> Sandbox::sendCode(const std::string& challengeID) {
  const auto sent = impl_->app->service().sendCodeNow(challengeID);
  if (!sent) return std::nullopt;
  impl_->app->hooks()->rememberCode(sent->challenge, sent->code);
  return sent->code;
}

std::optional<std::string> Sandbox::lastCode(const std::string& challengeID) const {
  return impl_->app->hooks()->lastCode(challengeID);
}

int Sandbox::pushLogout(const std::string& device) {
  auto& app = *impl_->app;
  if (const auto delivery = app.service().logout("", device))
    return static_cast<int>(zelk::server::pushMessages(app.hub(), app.metrics(), {*delivery}));
  Event order;
  order.data = zelk::server::logoutData();
  return app.hub().push(device, zelk::server::formatEvent(order));
}

ServiceState& Sandbox::state() {
  return impl_->app->service();
}

}  // namespace zelk::sandbox
