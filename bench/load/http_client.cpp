// SPDX-License-Identifier: Apache-2.0
#include "http_client.hpp"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace zelk::bench {
namespace {

// The server closed a kept-alive connection before answering: the request may be sent again.
struct ClosedBeforeReply : std::runtime_error {
  ClosedBeforeReply() : std::runtime_error("the server closed the connection before answering") {}
};

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return std::string(text);
}

}  // namespace

sockaddr_in Endpoint::address() const {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
    throw std::runtime_error("not a numeric IPv4 address: " + host);
  return address;
}

std::optional<Endpoint> parseBaseURL(std::string_view url) {
  constexpr std::string_view kScheme = "http://";
  if (!url.starts_with(kScheme)) return std::nullopt;
  url.remove_prefix(kScheme.size());
  url = url.substr(0, url.find('/'));
  const auto colon = url.rfind(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == url.size()) return std::nullopt;
  unsigned port = 0;
  for (char c : url.substr(colon + 1)) {
    if (c < '0' || c > '9' || port > 65535) return std::nullopt;
    port = port * 10 + static_cast<unsigned>(c - '0');
  }
  if (port == 0 || port > 65535) return std::nullopt;
  Endpoint endpoint{std::string(url.substr(0, colon)), static_cast<std::uint16_t>(port)};
  try {
    endpoint.address();
  } catch (const std::runtime_error&) {
    return std::nullopt;
  }
  return endpoint;
}

std::string percentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

HttpConnection::HttpConnection(Endpoint endpoint, std::chrono::milliseconds timeout)
    : endpoint_(std::move(endpoint)), timeout_(timeout) {}

HttpConnection::~HttpConnection() {
  close();
}

void HttpConnection::connect() {
  close();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  const int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(timeout_.count() / 1000);
  limit.tv_usec = static_cast<suseconds_t>(timeout_.count() % 1000 * 1000);
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  const sockaddr_in address = endpoint_.address();
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    close();
    throw std::runtime_error("connect to " + endpoint_.hostHeader() + ": " + std::strerror(error));
  }
  reused_ = false;
}

void HttpConnection::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  buffer_.clear();
}

void HttpConnection::send(std::string_view method, std::string_view target, std::string_view body,
                          std::string_view extraHeaders) {
  std::string request;
  request.reserve(256 + body.size());
  request.append(method).append(" ").append(target).append(" HTTP/1.1\r\nHost: ");
  request.append(endpoint_.hostHeader()).append("\r\n");
  request.append(extraHeaders);
  if (!body.empty() || method == "POST" || method == "PUT") {
    request.append("Content-Type: application/json\r\nContent-Length: ");
    request.append(std::to_string(body.size())).append("\r\n");
  }
  request.append("\r\n").append(body);
  lastRequest_ = std::move(request);

  if (fd_ < 0) {
    connect();
  } else {
    reused_ = true;
  }
  std::string_view rest(lastRequest_);
  while (!rest.empty()) {
    const ssize_t sent = ::send(fd_, rest.data(), rest.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) {
      const int error = errno;
      close();
      throw std::runtime_error(std::string("send: ") + std::strerror(error));
    }
    rest.remove_prefix(static_cast<std::size_t>(sent));
  }
}

bool HttpConnection::fill() {
  char chunk[16384];
  for (;;) {
    const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
    if (got > 0) {
      buffer_.append(chunk, static_cast<std::size_t>(got));
      return true;
    }
    if (got == 0) return false;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
      throw std::runtime_error("no reply from " + endpoint_.hostHeader() + " within " +
                               std::to_string(timeout_.count()) + " ms");
    throw std::runtime_error(std::string("recv: ") + std::strerror(errno));
  }
}

std::string HttpConnection::readLine() {
  std::size_t end;
  while ((end = buffer_.find("\r\n")) == std::string::npos) {
    if (buffer_.size() > 65536) throw std::runtime_error("reply line too long");
    if (!fill()) throw std::runtime_error("connection closed in the middle of a reply");
  }
  std::string line = buffer_.substr(0, end);
  buffer_.erase(0, end + 2);
  return line;
}

std::string HttpConnection::readExactly(std::size_t size) {
  while (buffer_.size() < size) {
    if (!fill()) throw std::runtime_error("connection closed in the middle of a reply body");
  }
  std::string out = buffer_.substr(0, size);
  buffer_.erase(0, size);
  return out;
}

HttpReply HttpConnection::receive() {
  if (fd_ < 0) throw std::runtime_error("no request to receive a reply for");
  if (buffer_.empty()) {
    bool more = false;
    try {
      more = fill();
    } catch (const std::runtime_error&) {
      close();
      throw;
    }
    if (!more) {
      close();
      throw ClosedBeforeReply();
    }
  }
  try {
    HttpReply reply;
    const std::string status = readLine();
    if (!status.starts_with("HTTP/1.") || status.size() < 12)
      throw std::runtime_error("not an HTTP reply: " + status.substr(0, 80));
    reply.status = std::stoi(status.substr(9, 3));
    std::optional<std::size_t> length;
    bool chunked = false;
    bool closeAfter = status.starts_with("HTTP/1.0");
    for (std::string line; !(line = readLine()).empty();) {
      const auto colon = line.find(':');
      if (colon == std::string::npos) continue;
      const std::string name = lower(line.substr(0, colon));
      const std::string value = trim(std::string_view(line).substr(colon + 1));
      if (name == "content-length") length = std::stoull(value);
      if (name == "transfer-encoding" && lower(value).find("chunked") != std::string::npos)
        chunked = true;
      if (name == "connection") closeAfter = lower(value) == "close";
    }
    if (chunked) {
      for (;;) {
        const std::size_t size = std::stoull(readLine(), nullptr, 16);
        if (size == 0) {
          while (!readLine().empty()) {
          }
          break;
        }
        reply.body += readExactly(size);
        readLine();
      }
    } else if (length) {
      reply.body = readExactly(*length);
    } else if (reply.status != 204 && reply.status != 304 && reply.status >= 200) {
      while (fill()) {
      }
      reply.body = std::move(buffer_);
      closeAfter = true;
    }
    if (closeAfter) close();
    return reply;
  } catch (const std::invalid_argument&) {
    close();
    throw std::runtime_error("malformed reply from " + endpoint_.hostHeader());
  } catch (const std::out_of_range&) {
    close();
    throw std::runtime_error("malformed reply from " + endpoint_.hostHeader());
  } catch (...) {
    close();
    throw;
  }
}

HttpReply HttpConnection::request(std::string_view method, std::string_view target,
                                  std::string_view body, std::string_view extraHeaders) {
  send(method, target, body, extraHeaders);
  try {
    return receive();
  } catch (const ClosedBeforeReply&) {
    if (!reused_) throw;
  }
  send(method, target, body, extraHeaders);
  return receive();
}

}  // namespace zelk::bench
