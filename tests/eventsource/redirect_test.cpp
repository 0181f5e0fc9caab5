// SPDX-License-Identifier: Apache-2.0
// Where the event stream follows a redirect, and what it takes along.
#include <zelk/event_source.hpp>

#include "support/scripted_server.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <gtest/gtest.h>

#include <sys/time.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace zelk::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Records the handler calls; tests wait on them from the test thread.
class Recorder final : public EventHandler {
 public:
  void onOpened() override {}
  void onClosed() override {}
  void onComment(std::string_view) override {}
  void onMessage(std::string_view, const MessageEvent& event) override {
    std::lock_guard lock(mutex_);
    messages_.push_back(event.data);
    changed_.notify_all();
  }
  void onError(const StreamError& error) override {
    std::lock_guard lock(mutex_);
    errors_.push_back(error.description);
    changed_.notify_all();
  }

  bool waitForMessage() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return !messages_.empty(); });
  }
  bool waitForError() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return !errors_.empty(); });
  }
  std::vector<std::string> messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  std::vector<std::string> errors() const {
    std::lock_guard lock(mutex_);
    return errors_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> messages_, errors_;
};

ScriptedReply stream(std::string events) {
  ScriptedReply reply;
  reply.headers = {{"Content-Type", "text/event-stream"}};
  reply.body = std::move(events);
  reply.keepOpen = true;
  return reply;
}

ScriptedReply redirect(int status, std::string location) {
  return ScriptedReply{status, {{"Location", std::move(location)}}, "moved"};
}

// A configuration whose first failure is not retried for a long while, so that each test sees
// exactly one connection attempt.
EventSource::Config config(std::shared_ptr<Recorder> recorder, std::string url) {
  EventSource::Config config(std::move(recorder), std::move(url));
  config.reconnectTime = 60;
  config.maxReconnectTime = 60;
  config.headers = {{"X-Secret", "s3cret"}};
  config.headerTransform = [](const EventSource::Headers& headers) {
    auto transformed = headers;
    transformed["X-Transformed"] = "yes";
    return transformed;
  };
  return config;
}

TEST(StreamRedirectTest, TheConfiguredHeadersStayWithTheStreamsOwnOrigin) {
  ScriptedServer other([](const ScriptedRequest&) { return stream("data: from elsewhere\n\n"); });
  ScriptedServer origin([&](const ScriptedRequest& request) {
    if (request.path == "/old") return redirect(301, "/moved");
    if (request.path == "/moved") return redirect(307, other.baseURL() + "/stream");
    return ScriptedReply{404, {}, ""};
  });
  auto recorder = std::make_shared<Recorder>();
  EventSource source(config(recorder, origin.baseURL() + "/old"));
  source.start();
  ASSERT_TRUE(recorder->waitForMessage());
  EXPECT_EQ(recorder->messages(), std::vector<std::string>{"from elsewhere"});
  EXPECT_TRUE(recorder->errors().empty());

  // Both hops on the stream's own origin carry the headers...
  const auto own = origin.requests();
  ASSERT_EQ(own.size(), 2u);
  for (const auto& request : own) {
    EXPECT_EQ(request.header("X-Secret"), "s3cret") << request.path;
    EXPECT_EQ(request.header("X-Transformed"), "yes") << request.path;
  }
  // ...the other origin gets none of them, only what any event stream request carries.
  const auto elsewhere = other.requests();
  ASSERT_EQ(elsewhere.size(), 1u);
  EXPECT_EQ(elsewhere[0].header("X-Secret"), std::nullopt);
  EXPECT_EQ(elsewhere[0].header("X-Transformed"), std::nullopt);
  EXPECT_EQ(elsewhere[0].header("Accept"), "text/event-stream");
  source.stop();
}

TEST(StreamRedirectTest, AnEndlessRedirectFailsAfterTenHops) {
  ScriptedServer origin([](const ScriptedRequest&) { return redirect(302, "/again"); });
  auto recorder = std::make_shared<Recorder>();
  EventSource source(config(recorder, origin.baseURL() + "/first"));
  source.start();
  ASSERT_TRUE(recorder->waitForError());
  EXPECT_EQ(recorder->errors(), std::vector<std::string>{"Maximum (10) redirects followed"});
  EXPECT_EQ(origin.requestCount(), 11u);
  source.stop();
}

// A throwaway certificate authority and a certificate for 127.0.0.1 that it signed.
class Certificates {
 public:
  Certificates() {
    char pattern[] = "/tmp/zelk-redirect-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    std::ofstream(dir_ / "server.ext")
        << "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n";
    const std::string d = dir_.string();
    const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    ok_ = run("openssl req -x509 " + key + " -keyout " + d + "/ca.key -out " + d +
              "/ca.pem -days 2 -subj '/CN=zelk redirect CA'") &&
          run("openssl req " + key + " -keyout " + d + "/server.key -out " + d +
              "/server.csr -subj '/CN=127.0.0.1'") &&
          run("openssl x509 -req -in " + d + "/server.csr -CA " + d + "/ca.pem -CAkey " + d +
              "/ca.key -CAcreateserial -out " + d + "/server.pem -days 2 -extfile " + d +
              "/server.ext");
  }
  ~Certificates() { fs::remove_all(dir_); }
  bool ok() const { return ok_; }
  std::string file(const char* name) const { return (dir_ / name).string(); }

 private:
  static bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
  }
  fs::path dir_;
  bool ok_ = false;
};

// An HTTPS server that answers every request with a redirect to `location`, one connection at a
// time.
class TLSRedirectServer {
 public:
  TLSRedirectServer(const Certificates& certificates, std::string location)
      : location_(std::move(location)) {
    context_ = SSL_CTX_new(TLS_server_method());
    if (SSL_CTX_use_certificate_chain_file(context_, certificates.file("server.pem").c_str()) !=
            1 ||
        SSL_CTX_use_PrivateKey_file(context_, certificates.file("server.key").c_str(),
                                    SSL_FILETYPE_PEM) != 1) {
      throw std::runtime_error("the test certificate does not load");
    }
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0) {
      throw std::runtime_error("bind or listen failed");
    }
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~TLSRedirectServer() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
    SSL_CTX_free(context_);
  }
  std::string baseURL() const { return "https://127.0.0.1:" + std::to_string(port_); }
  int requests() const { return requests_.load(); }

 private:
  void run() {
    while (!stopping_) {
      pollfd fd{listener_, POLLIN, 0};
      if (::poll(&fd, 1, 100) <= 0) continue;
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      timeval timeout{5, 0};
      ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
      SSL* ssl = SSL_new(context_);
      SSL_set_fd(ssl, client);
      if (SSL_accept(ssl) == 1) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
          const int got = SSL_read(ssl, buffer, sizeof buffer);
          if (got <= 0) break;
          request.append(buffer, static_cast<std::size_t>(got));
        }
        if (request.find("\r\n\r\n") != std::string::npos) {
          ++requests_;
          const std::string reply = "HTTP/1.1 302 Found\r\nLocation: " + location_ +
                                    "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
          SSL_write(ssl, reply.data(), static_cast<int>(reply.size()));
          SSL_shutdown(ssl);
        }
      }
      SSL_free(ssl);
      ::close(client);
    }
  }

  std::string location_;
  SSL_CTX* context_ = nullptr;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

TEST(StreamRedirectTest, AnHTTPSStreamNeverFollowsARedirectToPlainHTTP) {
  Certificates certificates;
  ASSERT_TRUE(certificates.ok()) << "openssl could not make certificates";
  ScriptedServer plain([](const ScriptedRequest&) {
    return stream("data: \"logout\"\n\n");  // what an attacker on the plain path would say
  });
  TLSRedirectServer secure(certificates, plain.baseURL() + "/v2/stream");

  auto recorder = std::make_shared<Recorder>();
  auto configuration = config(recorder, secure.baseURL() + "/v2/stream");
  configuration.caFile = certificates.file("ca.pem");
  EventSource source(configuration);
  source.start();
  ASSERT_TRUE(recorder->waitForError());
  EXPECT_EQ(recorder->errors(),
            std::vector<std::string>{"Refused a redirect from https to plain http"});
  EXPECT_EQ(secure.requests(), 1);
  EXPECT_EQ(plain.requestCount(), 0u);
  EXPECT_TRUE(recorder->messages().empty());
  source.stop();
}

}  // namespace
}  // namespace zelk::testing
