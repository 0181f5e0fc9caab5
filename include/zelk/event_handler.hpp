// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/export.hpp>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace zelk {

/// One event received on the realtime stream.
struct MessageEvent {
  /// The event's data lines joined with LF (no LF after the last one).
  std::string data;
  /// The id of the stream's last event, as sent on reconnection. Empty when the stream has sent
  /// none.
  std::string lastEventId;

  /// Member-wise equality.
  bool operator==(const MessageEvent&) const = default;
};

/// Why a connection of the realtime stream failed. A plain value: copy it, compare it, log its
/// `description`.
struct StreamError {
  /// What failed.
  enum class Kind {
    /// The server answered with a status outside 200 to 299, or with 204. `code` is the status.
    unsuccessfulResponse,
    /// The request failed below HTTP: name resolution, connection, TLS, or no data for the idle
    /// timeout. `code` is the transport's own error code.
    transport,
    /// The server sent a line or an event larger than the stream accepts. `code` is 0.
    limitExceeded,
  };

  Kind kind = Kind::transport;  ///< What failed.
  long code = 0;                ///< The HTTP status or the transport's code, as `Kind` says.
  /// A readable text, e.g. "HTTP status 500" or the transport's message.
  std::string description;

  /// An HTTP status outside 200 to 299 (or 204), described as "HTTP status <code>".
  static StreamError unsuccessfulResponse(int responseCode) {
    return {Kind::unsuccessfulResponse, responseCode,
            "HTTP status " + std::to_string(responseCode)};
  }
  /// A failure below HTTP, with the transport's code and message.
  static StreamError transport(long code, std::string description) {
    return {Kind::transport, code, std::move(description)};
  }
  /// A line or event over the stream's size limit, with what was too large.
  static StreamError limitExceeded(std::string description) {
    return {Kind::limitExceeded, 0, std::move(description)};
  }

  /// The HTTP status of an unsuccessful response; nothing for the other kinds.
  std::optional<int> responseCode() const {
    if (kind != Kind::unsuccessfulResponse) return std::nullopt;
    return static_cast<int>(code);
  }

  /// Member-wise equality.
  bool operator==(const StreamError&) const = default;
};

/// Receives what happens on a realtime stream.
///
/// Threads: every call runs on the stream's own worker thread, one at a time and never on the
/// host's main thread; an implementation that touches the UI hops to the main thread itself.
/// The string views passed in are valid only for the duration of the call.
class ZELK_EXPORT EventHandler {
 public:
  virtual ~EventHandler();

  /// The server accepted the request; the stream is open.
  virtual void onOpened() = 0;
  /// An open stream was closed, by either side.
  virtual void onClosed() = 0;
  /// One complete event. `eventType` is the value of its "event" field, or "message" when it had
  /// none.
  virtual void onMessage(std::string_view eventType, const MessageEvent& messageEvent) = 0;
  /// A comment line: everything after its leading colon, unchanged.
  virtual void onComment(std::string_view comment) = 0;
  /// A connection failed and the stream's error policy let it go on; a reconnection follows.
  virtual void onError(const StreamError& error) = 0;
};

}  // namespace zelk

/// Hashes an event by its data and last event ID, matching its equality.
template <>
struct std::hash<zelk::MessageEvent> {
  /// The combined hash of both fields.
  std::size_t operator()(const zelk::MessageEvent& event) const noexcept {
    std::size_t seed = std::hash<std::string>{}(event.data);
    // Order matters: swapping the two fields changes the hash.
    seed ^= std::hash<std::string>{}(event.lastEventId) + 0x9e3779b97f4a7c15ULL + (seed << 6) +
            (seed >> 2);
    return seed;
  }
};
