// SPDX-License-Identifier: Apache-2.0
#include "eventsource/event_parser.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

namespace zelk {

EventHandler::~EventHandler() = default;

}  // namespace zelk

namespace zelk::detail {

namespace {

struct Constants {
  static constexpr std::string_view dataLabel = "data";
  static constexpr std::string_view idLabel = "id";
  static constexpr std::string_view eventLabel = "event";
  static constexpr std::string_view retryLabel = "retry";
};

constexpr std::size_t kKeptCapacity = 64 * 1024;

}  // namespace

EventParser::EventParser(std::shared_ptr<EventHandler> handler, std::string initialEventId,
                         double initialRetry, std::size_t maxEventBytes)
    : handler_(std::move(handler)),
      event_{{}, std::move(initialEventId)},
      currentRetry_(initialRetry),
      maxEventBytes_(maxEventBytes) {}

void EventParser::processOtherField(std::string_view field, std::string_view value) {
  if (field == Constants::dataLabel) {
    appendData(value);  // "data" without a colon
  } else if (field == Constants::idLabel) {
    if (value.find('\0') != std::string_view::npos) return;
    lastEventIdBuffer_.assign(value);
    hasLastEventIdBuffer_ = true;
  } else if (field == Constants::eventLabel) {
    eventType_.assign(value);
  } else if (field == Constants::retryLabel) {
    if (value.empty()) return;
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    std::int64_t milliseconds = 0;
    for (const char c : value) {
      if (c < '0' || c > '9') return;
      const int digit = c - '0';
      if (milliseconds > (kMax - digit) / 10) return;
      milliseconds = milliseconds * 10 + digit;
    }
    currentRetry_ = static_cast<double>(milliseconds) * 0.001;
  }
}

void EventParser::dispatchEvent() {
  if (hasLastEventIdBuffer_) {
    event_.lastEventId.swap(lastEventIdBuffer_);  // the buffer's old content is unused
    hasLastEventIdBuffer_ = false;
  }
  if (!event_.data.empty()) {
    event_.data.pop_back();
    const std::string_view type = eventType_.empty() ? std::string_view("message") : eventType_;
    handler_->onMessage(type, event_);
    event_.data.clear();
  }
  eventType_.clear();
}

void EventParser::clearEvent() {
  event_.data.clear();
  if (event_.data.capacity() > kKeptCapacity) event_.data.shrink_to_fit();
  eventType_.clear();
  hasLastEventIdBuffer_ = false;
  dataLineTooLong_ = false;
}

double EventParser::reset() {
  clearEvent();
  overflowed_ = false;
  return currentRetry_;
}

namespace {

// Long data lines go straight into the event's data, without being collected as lines first.
struct EventLines {
  EventParser& events;
  void line(std::string_view text) { events.parse(text); }
  bool lineStart(std::string_view head) { return events.startDataLine(head); }
  void linePart(std::string_view part) { events.continueDataLine(part); }
  void lineEnd(std::string_view part) { events.endDataLine(part); }
};

}  // namespace

StreamOverflow feedChunk(UTF8LineParser& lines, EventParser& events, std::string_view chunk) {
  EventLines sink{events};
  const StreamOverflow lineResult = lines.appendTo(chunk, sink);
  if (events.overflowed()) return StreamOverflow::event;
  return lineResult;
}

}  // namespace zelk::detail
