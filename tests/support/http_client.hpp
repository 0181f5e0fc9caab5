// SPDX-License-Identifier: Apache-2.0
#pragma once

// A small blocking HTTP/1.1 client for tests that talk to the service directly: one connection
// per request, plain or TLS (verified against a given CA file when one is set).

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace zelk::testing {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct HttpResult {
  int status = 0;
  std::string body;
  Headers headers;

  std::string get_header_value(std::string_view name) const {
    for (const auto& [key, value] : headers) {
      if (boost::beast::iequals(key, name)) return value;
    }
    return {};
  }
};

class HttpClient {
 public:
  /// `baseURL` is "http://host:port" or "https://host:port".
  explicit HttpClient(const std::string& baseURL) {
    std::string rest = baseURL;
    if (rest.starts_with("https://")) {
      tls_ = true;
      rest = rest.substr(8);
    } else if (rest.starts_with("http://")) {
      rest = rest.substr(7);
    }
    const auto colon = rest.rfind(':');
    host_ = rest.substr(0, colon);
    port_ = colon == std::string::npos ? (tls_ ? "443" : "80") : rest.substr(colon + 1);
    if (host_.size() > 2 && host_.front() == '[') host_ = host_.substr(1, host_.size() - 2);
  }

  /// Verify the server's certificate against this PEM file.
  void setCAFile(std::string path) { caFile_ = std::move(path); }

  std::optional<HttpResult> Get(const std::string& target, const Headers& headers = {}) {
    return send("GET", target, headers, "", "");
  }
  std::optional<HttpResult> Post(const std::string& target, const Headers& headers,
                                 const std::string& body, const std::string& contentType) {
    return send("POST", target, headers, body, contentType);
  }
  std::optional<HttpResult> Delete(const std::string& target, const Headers& headers = {}) {
    return send("DELETE", target, headers, "", "");
  }

 private:
  std::optional<HttpResult> send(const std::string& method, const std::string& target,
                                 const Headers& headers, const std::string& body,
                                 const std::string& contentType) {
    namespace beast = boost::beast;
    namespace http = boost::beast::http;
    namespace net = boost::asio;
    using tcp = net::ip::tcp;
    try {
      net::io_context io;
      http::request<http::string_body> request(http::string_to_verb(method), target, 11);
      // With the port, as browsers send it: what a server compares an Origin with.
      request.set(http::field::host,
                  (host_.find(':') == std::string::npos ? host_ : "[" + host_ + "]") + ":" + port_);
      request.set(http::field::connection, "close");
      for (const auto& [name, value] : headers) request.insert(name, value);
      if (!contentType.empty()) request.set(http::field::content_type, contentType);
      request.body() = body;
      request.prepare_payload();
      http::response<http::string_body> response;
      beast::flat_buffer buffer;
      tcp::resolver resolver(io);
      const auto endpoints = resolver.resolve(host_, port_);
      if (tls_) {
        net::ssl::context ctx(net::ssl::context::tls_client);
        if (!caFile_.empty()) {
          ctx.load_verify_file(caFile_);
          ctx.set_verify_mode(net::ssl::verify_peer);
        }
        net::ssl::stream<tcp::socket> stream(io, ctx);
        net::connect(stream.next_layer(), endpoints);
        stream.handshake(net::ssl::stream_base::client);
        http::write(stream, request);
        http::read(stream, buffer, response);
      } else {
        tcp::socket socket(io);
        net::connect(socket, endpoints);
        http::write(socket, request);
        http::read(socket, buffer, response);
      }
      HttpResult result;
      result.status = static_cast<int>(response.result_int());
      result.body = std::move(response.body());
      for (const auto& field : response)
        result.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
      return result;
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }

  bool tls_ = false;
  std::string host_, port_, caFile_;
};

}  // namespace zelk::testing
