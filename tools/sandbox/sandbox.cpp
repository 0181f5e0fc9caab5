// SPDX-License-Identifier: Apache-2.0
#include "sandbox.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include "connections.hpp"
#include "notices.hpp"
#include "routes.hpp"
#include "service_state.hpp"
#include "streams.hpp"

namespace zelk::sandbox {
namespace {

// Worker threads per server. httplib keeps a worker for as long as a keep-alive connection stays
// open, and an open listen stream holds one for its whole life, so this bounds the number of
// concurrently connected clients, streams included.
constexpr std::size_t kWorkerThreads = 32;

std::string openSSLError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown OpenSSL error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// The TLS version constant for "1.0".."1.3"; 0 for "" (library default); -1 when unknown.
int tlsVersion(const std::string& name) {
  if (name.empty()) return 0;
  if (name == "1.0") return TLS1_VERSION;
  if (name == "1.1") return TLS1_1_VERSION;
  if (name == "1.2") return TLS1_2_VERSION;
  if (name == "1.3") return TLS1_3_VERSION;
  return -1;
}

std::unique_ptr<httplib::Server> makeTLSServer(const Options& options, std::string& error) {
  const int maxVersion = tlsVersion(options.tlsMaxVersion);
  auto server = std::make_unique<httplib::SSLServer>([&](SSL_CTX& ctx) {
    SSL_CTX_set_options(&ctx,
                        SSL_OP_NO_COMPRESSION | SSL_OP_NO_SESSION_RESUMPTION_ON_RENEGOTIATION);
    if (SSL_CTX_use_certificate_chain_file(&ctx, options.tlsCertFile.c_str()) != 1) {
      error = "cannot load TLS certificate " + options.tlsCertFile + ": " + openSSLError();
      return false;
    }
    if (SSL_CTX_use_PrivateKey_file(&ctx, options.tlsKeyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(&ctx) != 1) {
      error = "cannot use TLS key " + options.tlsKeyFile + ": " + openSSLError();
      return false;
    }
    if (maxVersion > 0) {
      if (maxVersion < TLS1_2_VERSION) {
        // OpenSSL refuses TLS 1.0/1.1 at its default security level (SHA-1 signatures).
        SSL_CTX_set_security_level(&ctx, 0);
        SSL_CTX_set_cipher_list(&ctx, "DEFAULT:@SECLEVEL=0");
        SSL_CTX_set_min_proto_version(&ctx, TLS1_VERSION);
      }
      if (SSL_CTX_set_max_proto_version(&ctx, maxVersion) != 1) {
        error = "cannot limit TLS to " + options.tlsMaxVersion + ": " + openSSLError();
        return false;
      }
    }
    return true;
  });
  if (!server->is_valid()) {
    if (error.empty()) error = "cannot set up TLS: " + openSSLError();
    return nullptr;
  }
  return server;
}

}  // namespace

struct Sandbox::Impl {
  explicit Impl(Options o) : options(std::move(o)) {}

  const Options options;
  ServiceState state;
  StreamHub streams;

  mutable std::mutex mutex;  // guards the members below
  std::unique_ptr<httplib::Server> server;
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> listenReturned;
  int port = 0;

  bool tls() const { return !options.tlsCertFile.empty() && !options.tlsKeyFile.empty(); }
};

Sandbox::Sandbox(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Sandbox::~Sandbox() {
  stop();
}

bool Sandbox::start(std::string* error) {
  auto failWith = [error](std::string message) {
    if (error) *error = std::move(message);
    return false;
  };
  std::lock_guard lock(impl_->mutex);
  const Options& options = impl_->options;
  if (impl_->server) return failWith("the sandbox is already running");
  if (options.tlsCertFile.empty() != options.tlsKeyFile.empty())
    return failWith("a TLS certificate and a TLS key must be given together");
  if (tlsVersion(options.tlsMaxVersion) < 0)
    return failWith("unknown TLS version '" + options.tlsMaxVersion +
                    "' (expected 1.0, 1.1, 1.2 or 1.3)");
  if (!options.tlsMaxVersion.empty() && !impl_->tls())
    return failWith("a TLS version limit needs a TLS certificate and key");

  // Writing to a connection the client already closed must fail with EPIPE, not kill the process.
  struct sigaction current {};
  if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
    std::signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<httplib::Server> server;
  if (impl_->tls()) {
    std::string tlsError;
    server = makeTLSServer(options, tlsError);
    if (!server) return failWith(tlsError);
  } else {
    server = std::make_unique<httplib::Server>();
  }
  server->new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
  // httplib's default adds SO_REUSEPORT, which would let two sandboxes share a port unnoticed.
  // Accepted sockets inherit TCP_NODELAY: without it, the reply's header and body writes wait
  // for the client's delayed acknowledgement, adding tens of milliseconds to every round trip.
  server->set_socket_options([](int sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  });
  installRoutes(*server, impl_->state, impl_->streams);

  // Rebinding the earlier port keeps base URLs valid across stop() and start().
  const int wanted = options.port != 0 ? options.port : impl_->port;
  errno = 0;
  int bound = -1;
  if (wanted == 0) {
    bound = server->bind_to_any_port(options.host);
  } else if (server->bind_to_port(options.host, wanted)) {
    bound = wanted;
  }
  if (bound <= 0) {
    std::string message = "cannot listen on " + options.host + ":" + std::to_string(wanted);
    if (errno != 0) message += std::string(": ") + std::strerror(errno);
    return failWith(message);
  }

  impl_->streams.reopen();
  auto returned = std::make_shared<std::atomic<bool>>(false);
  httplib::Server* raw = server.get();
  impl_->thread = std::thread([raw, returned] {
    raw->listen_after_bind();
    returned->store(true);
  });
  // httplib's stop() only takes effect once the accept loop runs, so wait for it to start.
  while (!raw->is_running() && !returned->load())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));

  impl_->server = std::move(server);
  impl_->listenReturned = std::move(returned);
  impl_->port = bound;
  return true;
}

void Sandbox::stop() {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->server) return;
  impl_->server->stop();
  // Stream writers block on the hub, not on their sockets; the listening thread only returns once
  // every worker is done, so they are woken first.
  impl_->streams.shutDown();
  shutDownAcceptedConnections(impl_->port);
  if (impl_->thread.joinable()) impl_->thread.join();
  impl_->server.reset();
  impl_->listenReturned.reset();
}

bool Sandbox::running() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->server && !impl_->listenReturned->load();
}

int Sandbox::port() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->port;
}

std::string Sandbox::baseURL() const {
  std::string host = impl_->options.host;
  if (host.empty() || host == "0.0.0.0") {
    host = "127.0.0.1";
  } else if (host == "::") {
    host = "[::1]";
  } else if (host.find(':') != std::string::npos) {
    host = "[" + host + "]";
  }
  return (impl_->tls() ? "https://" : "http://") + host + ":" + std::to_string(port());
}

std::vector<RecordedRequest> Sandbox::requests() const {
  return impl_->state.requests();
}

void Sandbox::clearRequests() {
  impl_->state.clearRequests();
}

void Sandbox::script(std::string operation, int status, std::string body) {
  const auto parsed = operationFromName(operation);
  if (!parsed) throw std::invalid_argument("unknown sandbox operation: " + operation);
  if (status < 100 || status > 599)
    throw std::invalid_argument("status out of range: " + std::to_string(status));
  ScriptedAnswer answer;
  answer.status = status;
  answer.body = std::move(body);
  impl_->state.pushScript(*parsed, std::move(answer));
}

void Sandbox::scriptListen(std::string device, int status, std::string body) {
  if (status < 100 || status > 599)
    throw std::invalid_argument("status out of range: " + std::to_string(status));
  ScriptedAnswer answer;
  answer.status = status;
  answer.body = std::move(body);
  answer.device = std::move(device);
  impl_->state.pushScript(Operation::listen, std::move(answer));
}

void Sandbox::stallListen(std::string device) {
  ScriptedAnswer answer;
  answer.device = std::move(device);
  answer.stream = ScriptedAnswer::Stream::stall;
  impl_->state.pushScript(Operation::listen, std::move(answer));
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
  impl_->state.pushScript(Operation::listen, std::move(answer));
}

int Sandbox::push(const std::string& device, const Event& event) {
  return impl_->streams.push(device, formatEvent(event));
}

int Sandbox::pushRaw(const std::string& device, std::string bytes) {
  if (bytes.empty()) throw std::invalid_argument("nothing to push");
  return impl_->streams.push(device, bytes);
}

int Sandbox::endStreams(const std::string& device, bool abort) {
  return impl_->streams.end(device, abort);
}

int Sandbox::openStreams(const std::string& device) const {
  return impl_->streams.openStreams(device);
}

bool Sandbox::waitForStreams(const std::string& device, int count,
                             std::chrono::milliseconds timeout) const {
  return impl_->streams.waitForStreams(device, count, timeout);
}

bool Sandbox::waitForNoStreams(const std::string& device, std::chrono::milliseconds timeout) const {
  return impl_->streams.waitForNoStreams(device, timeout);
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
  impl_->state.configureProject(clientID, std::move(settings));
}

ProjectSettings Sandbox::projectSettings(const std::string& clientID) const {
  return impl_->state.projectSettings(clientID);
}

void Sandbox::configureUser(const std::string& clientID, const std::string& user,
                            UserProfile profile) {
  checkNames(clientID, user);
  impl_->state.configureUser(clientID, user, std::move(profile));
}

std::string Sandbox::raiseChallenge(const std::string& clientID, const std::string& user) {
  checkNames(clientID, user);
  const RaisedChallenge raised = impl_->state.raiseChallenge(clientID, user, "manual");
  announceChallenge(impl_->streams, raised);
  return raised.id;
}

std::vector<std::string> Sandbox::challenges(const std::string& clientID,
                                             const std::string& user) const {
  return impl_->state.challenges(clientID, user);
}

std::optional<std::string> Sandbox::lastCode(const std::string& challengeID) const {
  return impl_->state.lastCode(challengeID);
}

int Sandbox::pushLogout(const std::string& device) {
  return sendLogout(impl_->streams, device);
}

ServiceState& Sandbox::state() {
  return impl_->state;
}

}  // namespace zelk::sandbox
