// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/event_handler.hpp>
#include <zelk/export.hpp>

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace zelk {

namespace detail {
class CurlLoop;
struct EventSourceOnLoop;
}  // namespace detail

/// The states of an event stream. `shutdown` is final.
enum class ReadyState { raw, connecting, open, closed, shutdown };

/// "raw", "connecting", "open", "closed" or "shutdown".
ZELK_EXPORT std::string_view text(ReadyState state);
/// The state named by `text`, or nothing.
ZELK_EXPORT std::optional<ReadyState> readyStateFromText(std::string_view text);

/// What a stream does after a connection error: reconnect (`proceed`) or stop for good.
enum class ConnectionErrorAction { proceed, shutdown };

/// A server-sent-events client: one long-lived HTTP(S) request whose events reach an
/// `EventHandler`, reopened after a randomised, growing delay whenever it ends.
///
/// Each stream has its own thread, named "ESDelegateQueue", which runs all of its work in order:
/// state changes, parsing, handler calls and reconnections. (The library's own realtime stream
/// runs the same way on its client's network thread, which it shares with the client's service
/// calls.) Diagnostics go to `Logs`.
///
/// Redirects are followed for at most ten hops per connection attempt, never from https to plain
/// http (a stream whose `url` is http may follow http redirects, for local development) and
/// never to another scheme; `headers` and `headerTransform` apply only to requests to the
/// origin of `url`. A redirect that is refused fails the attempt like a connection error
/// (`StreamError::Kind::transport`), and the stream reconnects to `url` after the backoff.
class ZELK_EXPORT EventSource {
 public:
  using Headers = std::map<std::string, std::string>;  ///< Request headers by name.

  /// How the stream connects. Only `handler` and `url` are required.
  struct ZELK_EXPORT Config {
    /// A configuration that sends every callback to `handler` and connects to `url`, with the
    /// defaults below for everything else.
    Config(std::shared_ptr<EventHandler> handler, std::string url);

    std::shared_ptr<EventHandler> handler;  ///< receives every callback; held strongly
    std::string url;                        ///< the stream's http(s) URL
    std::string method = "GET";             ///< the request's HTTP method
    std::optional<std::string> body;        ///< the request's body, sent with every connection
    std::string lastEventId;  ///< sent as "Last-Event-Id" until the server names another
    Headers headers;          ///< extra request headers; they win over "Last-Event-Id"
    /// Applied to the final header map of every request. Empty: unchanged.
    std::function<Headers(const Headers&)> headerTransform;
    double reconnectTime = 1.0;           ///< seconds; the first base delay ("retry" changes it)
    double maxReconnectTime = 30.0;       ///< seconds; the longest delay before reconnecting
    double backoffResetThreshold = 60.0;  ///< seconds open after which the backoff starts over
    double idleTimeout = 300.0;           ///< seconds without a byte after which a connection fails
    std::string caFile;                   ///< extra PEM bundle to trust besides the system's
    /// Decides whether an error ends the stream for good. The default shuts down on a 204 reply
    /// and proceeds on everything else. Called on the stream's thread.
    std::function<ConnectionErrorAction(const StreamError&)> connectionErrorHandler;
    std::size_t maxLineBytes = std::size_t{1} << 20;   ///< longer lines fail the connection
    std::size_t maxEventBytes = std::size_t{8} << 20;  ///< larger events fail the connection
  };

  /// The default error policy: `shutdown` for a 204 reply, `proceed` otherwise.
  static ConnectionErrorAction defaultConnectionErrorHandler(const StreamError& error);

  /// Copies `config`; nothing connects before `start()`.
  explicit EventSource(Config config);
  /// Stops the stream (as `stop()` does) and ends its thread. Once it returns, the handler is
  /// not called again; called from inside a handler call, the stream stops after that call.
  ~EventSource();
  EventSource(const EventSource&) = delete;
  EventSource& operator=(const EventSource&) = delete;

  /// Connects, once: a stream that has left the `raw` state only logs that it was started
  /// already. Any thread; returns at once.
  void start();
  /// Ends the stream for good: cancels the connection and any reconnection, and calls `onClosed`
  /// if the stream was open. Any thread; returns at once.
  void stop();

  /// The id of the last event received (or the configured one). Any thread.
  std::optional<std::string> getLastEventId() const;
  /// The current state. Any thread.
  ReadyState readyState() const;

 private:
  friend struct detail::EventSourceOnLoop;
  EventSource(Config config, std::shared_ptr<detail::CurlLoop> loop);

  struct Delegate;
  std::shared_ptr<detail::CurlLoop> loop_;
  std::shared_ptr<Delegate> delegate_;
  std::atomic<bool> used_{false};  // work was ever posted
};

}  // namespace zelk
