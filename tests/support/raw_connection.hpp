// SPDX-License-Identifier: Apache-2.0
#pragma once

// A plain TCP connection to a local server, to see a response byte for byte as it was sent.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>

namespace zelk::testing {

using namespace std::chrono_literals;

// A plain TCP connection to the sandbox, to see a response byte for byte as it was sent.
class RawConnection {
 public:
  // A `receiveBuffer` of bytes other than 0 keeps the socket's receive buffer that small, so that
  // what the server writes before this side reads fills the connection soon.
  explicit RawConnection(int port, int receiveBuffer = 0) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) throw std::runtime_error("socket() failed");
    if (receiveBuffer > 0 &&
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) != 0)
      throw std::runtime_error("setsockopt(SO_RCVBUF) failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error("cannot connect to the sandbox");
  }
  ~RawConnection() { close(); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  void send(const std::string& bytes) {
    if (::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
      throw std::runtime_error("send() failed");
  }

  // Reads until `done(received())` holds (true), or the peer closes or the deadline passes
  // (false).
  bool readUntil(const std::function<bool(const std::string&)>& done,
                 std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (done(received_)) return true;
      if (closed_) return false;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd watched{fd_, POLLIN, 0};
      const int ready = poll(&watched, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return false;
      char buffer[4096];
      const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
      if (got <= 0) {
        closed_ = true;
      } else {
        received_.append(buffer, static_cast<std::size_t>(got));
      }
    }
  }
  bool readUntilClosed(std::chrono::milliseconds timeout = 10s) {
    return readUntil([this](const std::string&) { return closed_; }, timeout);
  }
  bool readHead() {
    return readUntil([](const std::string& r) { return r.find("\r\n\r\n") != std::string::npos; });
  }
  // Reads until the body is `expected` or longer; true when it is exactly `expected`.
  bool readBody(const std::string& expected) {
    readUntil([&](const std::string&) { return body().size() >= expected.size(); });
    return body() == expected;
  }

  const std::string& received() const { return received_; }
  std::string head() const { return received_.substr(0, received_.find("\r\n\r\n") + 4); }
  std::string body() const {
    const auto end = received_.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : received_.substr(end + 4);
  }
  bool closedByPeer() const { return closed_; }

  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  std::string received_;
  bool closed_ = false;
};

// One HTTP chunk of a chunked response body.
inline std::string chunk(const std::string& bytes) {
  char size[32];
  std::snprintf(size, sizeof size, "%zx", bytes.size());
  return std::string(size) + "\r\n" + bytes + "\r\n";
}

}  // namespace zelk::testing
