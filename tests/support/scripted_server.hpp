// SPDX-License-Identifier: Apache-2.0
#pragma once

// A small HTTP/1.1 server on loopback whose every answer a test scripts: slow answers, endless
// answers, trickled answers, redirects and event streams that stay open. It runs one poll loop on
// a thread of its own, so it never needs a thread per connection, and counts the connections
// open at once.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zelk::testing {

struct ScriptedRequest {
  std::string method;
  std::string target;  // as sent: path and query
  std::string path;    // before '?'
  std::string query;   // after '?', "" when none
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  int connection = 0;  // numbered from 1 in the order the connections were accepted

  /// The value of the first header named `name` (any case), or nothing.
  std::optional<std::string> header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
      if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0)
        return value;
    }
    return std::nullopt;
  }
};

struct ScriptedReply {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;  // besides Content-Length
  std::string body;
  /// Answer this much later (the connection stays open meanwhile).
  std::chrono::milliseconds delay{0};
  /// After `body`, this many bytes of filler, as fast as the client reads them. The length is
  /// not announced; the connection closes after the last byte.
  std::size_t filler = 0;
  /// Send `body` one byte at a time, this far apart, without announcing its length; the
  /// connection closes after the last byte.
  std::chrono::milliseconds trickle{0};
  /// Send the status, the headers and `body`, then keep the connection open and silent (an
  /// event stream that has nothing more to say). No length is announced.
  bool keepOpen = false;
};

class ScriptedServer {
 public:
  using Handler = std::function<ScriptedReply(const ScriptedRequest&)>;

  explicit ScriptedServer(Handler handler) : handler_(std::move(handler)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener_ < 0) throw std::runtime_error("socket failed");
    int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 1024) != 0) {
      throw std::runtime_error("bind or listen failed");
    }
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    if (::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    thread_ = std::thread([this] { run(); });
  }

  ~ScriptedServer() {
    stopping_ = true;
    wake();
    thread_.join();
    for (auto& [fd, connection] : connections_) ::close(fd);
    ::close(listener_);
    ::close(wake_[0]);
    ::close(wake_[1]);
  }

  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int port() const { return port_; }
  std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

  std::vector<ScriptedRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  std::size_t requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
  }
  /// Waits until at least `count` requests have arrived; false when `timeout` passes first.
  bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
  }
  /// Connections open right now, and the most that were open at once.
  int openConnections() const { return open_.load(); }
  int mostOpenConnections() const { return mostOpen_.load(); }
  /// Waits until no connection is open; false when `timeout` passes first.
  bool waitForNoConnections(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return open_.load() == 0; });
  }

 private:
  using Clock = std::chrono::steady_clock;

  struct Connection {
    int number = 0;
    std::string in;
    std::string out;
    std::optional<ScriptedReply> pending;  // answered at `due`
    Clock::time_point due;
    std::string trickle;  // body bytes still to trickle
    Clock::time_point nextTrickle;
    std::chrono::milliseconds trickleInterval{0};
    std::size_t filler = 0;
    bool closeWhenWritten = false;
    bool silent = false;  // kept open with nothing more to send
  };

  void wake() { (void)!::write(wake_[1], "x", 1); }

  static const char* reason(int status) {
    switch (status) {
      case 200:
        return "OK";
      case 204:
        return "No Content";
      case 301:
        return "Moved Permanently";
      case 302:
        return "Found";
      case 303:
        return "See Other";
      case 307:
        return "Temporary Redirect";
      case 308:
        return "Permanent Redirect";
      case 404:
        return "Not Found";
      default:
        return "Status";
    }
  }

  void run() {
    while (!stopping_) {
      std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
      auto nextDue = Clock::time_point::max();
      for (auto& [fd, c] : connections_) {
        short events = POLLIN;
        if (!c.out.empty() || c.filler > 0) events |= POLLOUT;
        fds.push_back({fd, events, 0});
        if (c.pending) nextDue = std::min(nextDue, c.due);
        if (!c.trickle.empty()) nextDue = std::min(nextDue, c.nextTrickle);
      }
      int timeout = -1;
      if (nextDue != Clock::time_point::max()) {
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextDue - Clock::now()).count();
        timeout = static_cast<int>(std::clamp<long long>(wait, 0, 60'000));
      }
      ::poll(fds.data(), fds.size(), timeout);
      if (fds[0].revents & POLLIN) {
        char drain[64];
        while (::read(wake_[0], drain, sizeof drain) > 0) {
        }
      }
      if (fds[1].revents & POLLIN) acceptAll();
      for (std::size_t i = 2; i < fds.size(); ++i) {
        auto it = connections_.find(fds[i].fd);
        if (it == connections_.end()) continue;
        if (!service(it->second, fds[i].fd, fds[i].revents)) closeConnection(fds[i].fd);
      }
    }
  }

  void acceptAll() {
    for (;;) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      Connection connection;
      connection.number = ++accepted_;
      connections_.emplace(fd, std::move(connection));
      const int open = ++open_;
      int most = mostOpen_.load();
      while (open > most && !mostOpen_.compare_exchange_weak(most, open)) {
      }
    }
  }

  void closeConnection(int fd) {
    ::close(fd);
    connections_.erase(fd);
    {
      std::lock_guard lock(mutex_);
      --open_;
    }
    changed_.notify_all();
  }

  // Reads, answers and writes what is due on one connection; false: close it.
  bool service(Connection& c, int fd, short revents) {
    if (revents & (POLLERR | POLLNVAL)) return false;
    if (revents & (POLLIN | POLLHUP)) {
      char buffer[16384];
      for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
          c.in.append(buffer, static_cast<std::size_t>(got));
          continue;
        }
        if (got == 0) return false;  // the client went away
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        return false;
      }
    }
    if (!c.pending && !c.silent && c.out.empty() && c.filler == 0 && c.trickle.empty()) {
      if (auto request = takeRequest(c)) {
        ScriptedReply reply = handler_(*request);
        c.due = Clock::now() + reply.delay;
        c.pending = std::move(reply);
      }
    }
    const auto now = Clock::now();
    if (c.pending && now >= c.due) {
      ScriptedReply reply = std::move(*c.pending);
      c.pending.reset();
      std::string head =
          "HTTP/1.1 " + std::to_string(reply.status) + " " + reason(reply.status) + "\r\n";
      for (const auto& [name, value] : reply.headers) head += name + ": " + value + "\r\n";
      const bool streamed = reply.filler > 0 || reply.trickle.count() > 0 || reply.keepOpen;
      if (!streamed) {
        head += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
      } else {
        head += "Connection: close\r\n";
      }
      head += "\r\n";
      c.out += head;
      if (reply.trickle.count() > 0) {
        c.trickle = reply.body;
        c.trickleInterval = reply.trickle;
        c.nextTrickle = now;
        c.closeWhenWritten = true;
      } else {
        c.out += reply.body;
      }
      c.filler = reply.filler;
      if (reply.filler > 0) c.closeWhenWritten = true;
      c.silent = reply.keepOpen;
    }
    if (!c.trickle.empty() && now >= c.nextTrickle) {
      c.out.push_back(c.trickle.front());
      c.trickle.erase(0, 1);
      c.nextTrickle = now + c.trickleInterval;
    }
    while (!c.out.empty() || c.filler > 0) {
      if (c.out.empty()) {
        const std::size_t piece = std::min<std::size_t>(c.filler, 65536);
        c.out.assign(piece, 'x');
        c.filler -= piece;
      }
      const ssize_t sent = ::send(fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
      if (sent < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        return false;
      }
      c.out.erase(0, static_cast<std::size_t>(sent));
    }
    if (c.closeWhenWritten && c.trickle.empty()) return false;
    return true;
  }

  std::optional<ScriptedRequest> takeRequest(Connection& c) {
    const auto end = c.in.find("\r\n\r\n");
    if (end == std::string::npos) return std::nullopt;
    ScriptedRequest request;
    request.connection = c.number;
    std::size_t lineEnd = c.in.find("\r\n");
    const std::string first = c.in.substr(0, lineEnd);
    const auto space1 = first.find(' ');
    const auto space2 = first.find(' ', space1 + 1);
    request.method = first.substr(0, space1);
    request.target = first.substr(space1 + 1, space2 - space1 - 1);
    const auto question = request.target.find('?');
    request.path = request.target.substr(0, question);
    if (question != std::string::npos) request.query = request.target.substr(question + 1);
    std::size_t contentLength = 0;
    for (std::size_t at = lineEnd + 2; at < end;) {
      const std::size_t next = c.in.find("\r\n", at);
      const std::string line = c.in.substr(at, next - at);
      at = next + 2;
      const auto colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(' '));
      request.headers.emplace_back(line.substr(0, colon), value);
      if (strcasecmp(line.substr(0, colon).c_str(), "Content-Length") == 0) {
        contentLength = std::stoul(value);
      }
    }
    if (c.in.size() < end + 4 + contentLength) return std::nullopt;
    request.body = c.in.substr(end + 4, contentLength);
    c.in.erase(0, end + 4 + contentLength);
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
    }
    changed_.notify_all();
    return request;
  }

  Handler handler_;
  int listener_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::map<int, Connection> connections_;  // server thread only
  int accepted_ = 0;
  std::atomic<int> open_{0};
  std::atomic<int> mostOpen_{0};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<ScriptedRequest> requests_;
};

}  // namespace zelk::testing
