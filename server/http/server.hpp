// SPDX-License-Identifier: Apache-2.0
// The HTTP/1.1 server: an event loop on a small fixed set of threads (one by default), no thread
// per connection. Keeps connections alive, caps request heads and bodies (431 and 413 beyond),
// answers malformed requests with 400, drops a client that sends its request head too slowly
// (408), serves HTTPS when given a certificate, and turns answers that ask for it into event
// streams.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "http/message.hpp"

namespace zelk::server::http {

struct ServerConfig {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port
  // Both set: serve HTTPS with this PEM certificate (chain) and PEM private key.
  std::string tlsCertFile, tlsKeyFile;
  // "" or "1.0".."1.3": the highest TLS version offered. TLS 1.2 is the lowest offered unless
  // this is below it (tests of clients that must refuse old versions).
  std::string tlsMaxVersion;
  std::size_t bodyLimit = 64 * 1024;
  std::size_t headerLimit = 16 * 1024;
  // How long a client may take to send a request once it started it, and to finish a TLS
  // handshake.
  std::chrono::milliseconds headerTimeout{10'000};
  // How long a kept-alive connection may wait for its next request.
  std::chrono::milliseconds idleTimeout{60'000};
  int threads = 1;
  // Connections one address may hold at once; past them a new one is answered 503 and closed
  // (over HTTPS closed only), so that one client cannot take every connection the process can
  // have. 0: no cap. Addresses `uncapped` says yes to (trusted proxies) have none.
  std::size_t maxConnectionsPerAddress = 0;
  std::function<bool(const std::string& address)> uncapped;
};

// A quarter of the files this process may have open: the default cap of one address's
// connections.
std::size_t quarterOfOpenFiles();

class Server {
 public:
  explicit Server(Handler handler);
  ~Server();  // stops
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and serves on the server's threads; false with a reason in *error when the TLS
  // setup fails or the address cannot be bound. May be called again after stop().
  bool start(const ServerConfig& config, std::string* error);
  // Stops taking new connections; the open ones go on.
  void stopAccepting();
  // Closes every idle connection and every connection once its answer is written; returns once
  // none is left, or after `deadline` (false then).
  bool drain(std::chrono::milliseconds deadline);
  // Stops the loop and joins its threads: no handler runs any more, and what is posted to the
  // loop waits there until stop() drops it with the connections.
  void halt();
  // Drops every connection and joins the threads.
  void stop();

  bool running() const;
  int port() const;
  bool tls() const;
  // Loads the certificate and the key again from the files start() was given, for the
  // connections that come next (the open ones keep theirs); false with the reason in *error,
  // and the one in use kept, when they cannot be loaded or the server serves plain HTTP. Any
  // thread.
  bool reloadTLS(std::string* error);
  std::size_t connections() const;
  // Runs `task` on the server's loop every `period` while it runs.
  void every(std::chrono::milliseconds period, std::function<void()> task);

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

// The TLS version constant for "1.0".."1.3"; 0 for "" ; -1 when unknown.
int tlsVersionFromName(const std::string& name);

}  // namespace zelk::server::http
