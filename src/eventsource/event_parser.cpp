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

// The position of the first colon in `line`. Field names are short: a plain loop over the first
// bytes is quicker there than a library call, which takes over for the rest of a long line.
std::size_t findColon(std::string_view line) {
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

}  // namespace

EventParser::EventParser(std::shared_ptr<EventHandler> handler, std::string initialEventId,
                         double initialRetry, std::size_t maxEventBytes)
    : handler_(std::move(handler)),
      event_{{}, std::move(initialEventId)},
      currentRetry_(initialRetry),
      maxEventBytes_(maxEventBytes) {}

StreamOverflow EventParser::parse(std::string_view line) {
  if (overflowed_) return StreamOverflow::event;
  if (line.empty()) {
    dispatchEvent();
    return StreamOverflow::none;
  }
  const auto colon = findColon(line);
  if (colon == std::string_view::npos) {
    processField(line, {});
  } else if (colon == 0) {
    handler_->onComment(line.substr(1));
  } else {
    std::string_view value = line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    processField(line.substr(0, colon), value);
  }
  return overflowed_ ? StreamOverflow::event : StreamOverflow::none;
}

void EventParser::processField(std::string_view field, std::string_view value) {
  if (field == Constants::dataLabel) {
    if (value.size() >= maxEventBytes_ - event_.data.size()) {
      clearEvent();
      overflowed_ = true;
      return;
    }
    event_.data.append(value).push_back('\n');
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
}

double EventParser::reset() {
  clearEvent();
  overflowed_ = false;
  return currentRetry_;
}

StreamOverflow feedChunk(UTF8LineParser& lines, EventParser& events, std::string_view chunk) {
  const StreamOverflow lineResult =
      lines.append(chunk, [&events](std::string_view line) { events.parse(line); });
  if (events.overflowed()) return StreamOverflow::event;
  return lineResult;
}

}  // namespace zelk::detail
