// SPDX-License-Identifier: Apache-2.0
// Requests and answers as the routes see them, independent of the connection they came on.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/any_io_executor.hpp>

namespace zelk::server::http {

struct Request {
  std::string method;
  std::string target;  // as sent
  std::string path;    // the target up to '?', as sent
  std::string query;   // after '?', as sent; "" when there was none
  std::vector<std::pair<std::string, std::string>> headers;  // as sent, in order
  std::string body;
  std::string peer;  // the client's address

  // The first header of that name (compared without case); "" when there is none.
  std::string header(std::string_view name) const;
  bool hasHeader(std::string_view name) const;
  // The first query parameter of that name, percent-decoded ('+' is a space); nullopt when
  // there is none.
  std::optional<std::string> param(std::string_view name) const;
};

// Percent-decodes `text`; `plusIsSpace` for query components.
std::string percentDecode(std::string_view text, bool plusIsSpace);

// A stream answer's connection, as the realtime streams write to it. Every member may be called
// from any thread; writes go out in the order they were made.
class StreamSink {
 public:
  virtual ~StreamSink() = default;
  // Queues one chunk of the response body.
  virtual void send(std::shared_ptr<const std::string> bytes) = 0;
  // Ends the response with the final chunk once everything queued is written.
  virtual void finish() = 0;
  // Drops the connection now, without the final chunk.
  virtual void abort() = 0;
  // The executor the connection's handlers run on, for timers of the stream's own.
  virtual boost::asio::any_io_executor executor() = 0;
};

// While one lives on a server's loop thread, what that thread sends to event streams is queued
// and written when the outermost one ends, all at once: with one loop thread, a message to many
// streams is then written by the loop and a few helper threads side by side while the loop waits
// for them. On any other thread, and nested, it changes nothing. Writes to each stream keep
// their order.
class SendBatch {
 public:
  SendBatch();
  ~SendBatch();
  SendBatch(const SendBatch&) = delete;
  SendBatch& operator=(const SendBatch&) = delete;

 private:
  bool outermost_ = false;
};

struct Response {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // Runs once the answer is written, or failed to be: a message sent from there cannot reach
  // a client before the answer that caused it.
  std::function<void()> after;
  // Set for an event stream: the answer is a 200 text/event-stream whose body stays open. This
  // runs with the stream's sink before anything is written; what it returns runs once the
  // connection is gone.
  std::function<std::function<void()>(std::shared_ptr<StreamSink>)> stream;
  // Set for an answer that is not ready yet: this runs with the connection's executor and a
  // function to call, once, from any thread, with the answer (which may be an event stream).
  std::function<void(boost::asio::any_io_executor, std::function<void(Response)>)> deferred;
};

using Handler = std::function<void(const Request&, Response&)>;

}  // namespace zelk::server::http
