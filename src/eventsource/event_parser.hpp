// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "eventsource/utf8_line_parser.hpp"

#include <zelk/event_handler.hpp>

#include <cstddef>
#include <cstring>
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

  /// A "data" line in parts, for `UTF8LineParser::appendTo`: `startDataLine` takes the first
  /// bytes of a line when they hold "data:" and at least one more byte (false otherwise, and
  /// then the line must come whole through `parse`), `continueDataLine` the bytes in between, and
  /// `endDataLine` the last ones. The event ends up as if the line had come whole.
  bool startDataLine(std::string_view head);
  void continueDataLine(std::string_view part) { appendDataPart(part); }
  void endDataLine(std::string_view part);

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
  // The position of the first colon in `line`, npos if there is none.
  static std::size_t findColon(std::string_view line);
  void appendData(std::string_view value);
  void appendDataPart(std::string_view part);
  // Fields other than "data".
  void processOtherField(std::string_view field, std::string_view value);
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
  // A data line coming in parts has broken the event limit.
  bool dataLineTooLong_ = false;
};

// Lines are parsed here, so that the line parser's loop inlines them; the rarer fields, comments
// and dispatches are out of line.
inline StreamOverflow EventParser::parse(std::string_view line) {
  if (overflowed_) return StreamOverflow::event;
  if (line.empty()) {
    dispatchEvent();
    return StreamOverflow::none;
  }
  const std::size_t colon = findColon(line);
  if (colon == 4 && line.starts_with("data")) {
    std::string_view value = line.substr(5);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    appendData(value);
  } else if (colon == std::string_view::npos) {
    processOtherField(line, {});
  } else if (colon == 0) {
    handler_->onComment(line.substr(1));
  } else {
    std::string_view value = line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    processOtherField(line.substr(0, colon), value);
  }
  return overflowed_ ? StreamOverflow::event : StreamOverflow::none;
}

inline std::size_t EventParser::findColon(std::string_view line) {
  // Field names are short: a plain loop over the first bytes is quicker there than a library
  // call, which takes over for the rest of a long line.
  constexpr std::size_t kHead = 16;
  const std::size_t head = line.size() < kHead ? line.size() : kHead;
  for (std::size_t k = 0; k < head; ++k) {
    if (line[k] == ':') return k;
  }
  if (head == line.size()) return std::string_view::npos;
  const void* found = std::memchr(line.data() + head, ':', line.size() - head);
  return found == nullptr ? std::string_view::npos
                          : static_cast<std::size_t>(static_cast<const char*>(found) - line.data());
}

inline void EventParser::appendData(std::string_view value) {
  if (value.size() >= maxEventBytes_ - event_.data.size()) {
    clearEvent();
    overflowed_ = true;
    return;
  }
  event_.data.append(value).push_back('\n');
}

inline void EventParser::appendDataPart(std::string_view part) {
  if (overflowed_ || dataLineTooLong_) return;
  // The same limit as appendData's (the line's LF, still to come, counts too). The overflow
  // itself waits for the end of the line, as the line may yet break the line limit first.
  if (part.size() >= maxEventBytes_ - event_.data.size()) {
    dataLineTooLong_ = true;
    return;
  }
  event_.data.append(part);
}

inline bool EventParser::startDataLine(std::string_view head) {
  // With "data:" alone it is not known yet whether a space follows.
  if (overflowed_ || head.size() <= 5 || !head.starts_with("data:")) return false;
  head.remove_prefix(5);
  if (head.front() == ' ') head.remove_prefix(1);
  appendDataPart(head);
  return true;
}

inline void EventParser::endDataLine(std::string_view part) {
  appendDataPart(part);
  if (dataLineTooLong_) {
    clearEvent();
    overflowed_ = true;
  } else if (!overflowed_) {
    event_.data.push_back('\n');
  }
}

/// Feeds one chunk of a response body through both parsers. Returns the first limit found broken
/// after the chunk, `StreamOverflow::none` if neither is; once a limit is broken, the connection
/// should be ended (and both parsers reset) as for any connection error.
StreamOverflow feedChunk(UTF8LineParser& lines, EventParser& events, std::string_view chunk);

}  // namespace zelk::detail
