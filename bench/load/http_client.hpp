// SPDX-License-Identifier: Apache-2.0
// A small blocking HTTP/1.1 client for the load tools: one keep-alive connection to a server on
// this machine, requests written whole, replies read with Content-Length or chunked bodies.
// Failures throw std::runtime_error with a message that names what went wrong.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelk::bench {

struct Endpoint {
  std::string host;  // numeric IPv4 address
  std::uint16_t port = 0;

  sockaddr_in address() const;  // throws when host is not a numeric IPv4 address
  std::string hostHeader() const { return host + ":" + std::to_string(port); }
};

// "http://127.0.0.1:8080" (a path after the port is ignored); nothing for anything else.
std::optional<Endpoint> parseBaseURL(std::string_view url);

// Percent-encodes everything but unreserved characters, for query values.
std::string percentEncode(std::string_view text);

struct HttpReply {
  int status = 0;
  std::string body;
};

class HttpConnection {
 public:
  explicit HttpConnection(Endpoint endpoint,
                          std::chrono::milliseconds timeout = std::chrono::seconds(30));
  ~HttpConnection();
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  // send() then receive(). A request on a kept-alive connection that the server closed in the
  // meantime is sent once more on a new connection.
  HttpReply request(std::string_view method, std::string_view target, std::string_view body = {},
                    std::string_view extraHeaders = {});

  // Writes one request; `extraHeaders` are complete lines ending in "\r\n".
  void send(std::string_view method, std::string_view target, std::string_view body = {},
            std::string_view extraHeaders = {});
  // Reads the reply of the oldest request sent and not yet received.
  HttpReply receive();

  // Opens a fresh connection, so that a measured request never meets one the server is about
  // to close for idleness.
  void reconnect() { connect(); }

  int fd() const { return fd_; }

 private:
  void connect();
  void close();
  // Reads more bytes into buffer_; false on end of stream.
  bool fill();
  std::string readLine();
  std::string readExactly(std::size_t size);

  Endpoint endpoint_;
  std::chrono::milliseconds timeout_;
  int fd_ = -1;
  bool reused_ = false;  // the last request went out on a connection used before
  std::string lastRequest_;
  std::string buffer_;
};

}  // namespace zelk::bench
