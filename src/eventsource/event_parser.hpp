// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "eventsource/utf8_line_parser.hpp"

#include <zelk/event_handler.hpp>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace zelk::detail {

/// Interprets the lines of an event stream and reports events and comments to an `EventHandler`.
///
/// A line ":text" is a comment. A line "name:value" (one space after the colon is dropped) or
/// "name" sets a field: "data" adds a line to the event's data, "event" sets its type, "id" sets
/// the id it will carry (unless the value holds U+0000), "retry" with only digits sets the
/// reconnection delay in milliseconds; other names are ignored. An empty line ends the event:
/// its id becomes the last event id, and when it has data the handler's `onMessage` receives it
/// with its type ("message" when it had none).
///
/// The last event id and the retry delay outlive connections; `reset()` drops only the event
/// being built. The data of one event is limited to `maxEventBytes` (its data lines plus one LF
/// each): a data line that would pass the limit is an overflow, which drops the partial event and
/// makes the parser ignore every line until `reset()`.
///
/// Handler calls are made synchronously from `parse`. Not thread-safe: one owner calls it from
/// one thread at a time.
class EventParser {
 public:
  static constexpr std::size_t kDefaultMaxEventBytes = std::size_t{8} << 20;

  /// `handler` must not be null. `initialRetry` is the reconnection base delay in seconds.
  EventParser(std::shared_ptr<EventHandler> handler, std::string initialEventId,
              double initialRetry, std::size_t maxEventBytes = kDefaultMaxEventBytes);

  /// Handles one line without its terminator. Returns `StreamOverflow::event` when the event
  /// limit is or was already broken, `StreamOverflow::none` otherwise.
  StreamOverflow parse(std::string_view line);

  /// The id of the last dispatched event (or the initial id), not the one of the event being
  /// built.
  const std::string& getLastEventId() const { return event_.lastEventId; }

  /// The reconnection base delay in seconds.
  double currentRetry() const { return currentRetry_; }

  /// Drops the event being built and a past overflow; returns `currentRetry()`.
  double reset();

  /// Whether an event broke the limit since construction or the last `reset()`.
  bool overflowed() const { return overflowed_; }

 private:
  void processField(std::string_view field, std::string_view value);
  void dispatchEvent();
  void clearEvent();

  std::shared_ptr<EventHandler> handler_;
  // The event being built: `data` holds its data lines, each followed by LF, and `lastEventId`
  // holds the stream's last event id, so that a dispatch hands this record out as it is.
  MessageEvent event_;
  std::string eventType_;
  std::string lastEventIdBuffer_;
  bool hasLastEventIdBuffer_ = false;
  double currentRetry_;
  std::size_t maxEventBytes_;
  bool overflowed_ = false;
};

/// Feeds one chunk of a response body through both parsers. Returns the first limit found broken
/// after the chunk, `StreamOverflow::none` if neither is; once a limit is broken, the connection
/// should be ended (and both parsers reset) as for any connection error.
StreamOverflow feedChunk(UTF8LineParser& lines, EventParser& events, std::string_view chunk);

}  // namespace zelk::detail
