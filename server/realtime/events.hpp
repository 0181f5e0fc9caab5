// SPDX-License-Identifier: Apache-2.0
// Server-sent events as the listen streams write them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zelk::server {

// One server-sent event, written in this order: the comment lines, then "event:", "id:",
// "retry:" and the "data:" lines, then an empty line ending the event (left out when only a
// comment is set).
struct Event {
  std::string type;                    // an "event:" line unless empty
  std::optional<std::string> id;       // an "id:" line when set; "" resets the last event id
  std::optional<std::string> data;     // one "data:" line per line of the text when set
  std::optional<int> retry;            // a "retry:" line (milliseconds, >= 0) when set
  std::optional<std::string> comment;  // one ":" line per line of the text when set
};

// The wire form of `event`; throws std::invalid_argument for an event without fields or
// comment, a type or id with a line break, or a negative retry.
std::string formatEvent(const Event& event);

// A message of the service: its data under its event id; without data, only the id.
std::string formatMessage(std::uint64_t id, const std::string& data);

// The event id a stream resumes after, from its Last-Event-ID header; nullopt when the value is
// not one this service writes.
std::optional<std::uint64_t> parseEventId(const std::string& value);

}  // namespace zelk::server
