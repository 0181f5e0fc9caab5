// SPDX-License-Identifier: Apache-2.0
#include "realtime/events.hpp"

#include <charconv>
#include <stdexcept>
#include <string_view>

namespace zelk::server {
namespace {

// One "<field>: <line>" per line of `text`, lines ending at CR LF, CR or LF as event streams do;
// an empty line gives just "<field>:".
void appendLines(std::string& out, std::string_view field, std::string_view text) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t stop = text.find_first_of("\r\n", start);
    const std::string_view line = text.substr(start, stop - start);
    out += field;
    out += ':';
    if (!line.empty()) {
      out += ' ';
      out += line;
    }
    out += '\n';
    if (stop == std::string_view::npos) break;
    start = stop + 1;
    if (text[stop] == '\r' && start < text.size() && text[start] == '\n') ++start;
  }
}

bool hasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

std::string formatEvent(const Event& event) {
  if (hasLineBreak(event.type)) throw std::invalid_argument("event type contains a line break");
  if (event.id && hasLineBreak(*event.id))
    throw std::invalid_argument("event id contains a line break");
  if (event.retry && *event.retry < 0) throw std::invalid_argument("negative retry");
  const bool hasFields = !event.type.empty() || event.id || event.data || event.retry;
  if (!hasFields && !event.comment) throw std::invalid_argument("event has no field or comment");

  std::string out;
  if (event.comment) appendLines(out, "", *event.comment);
  if (!event.type.empty()) out += "event: " + event.type + "\n";
  if (event.id) appendLines(out, "id", *event.id);
  if (event.retry) out += "retry: " + std::to_string(*event.retry) + "\n";
  if (event.data) appendLines(out, "data", *event.data);
  if (hasFields) out += '\n';
  return out;
}

std::string formatMessage(std::uint64_t id, const std::string& data) {
  Event event;
  event.id = std::to_string(id);
  if (!data.empty()) event.data = data;
  return formatEvent(event);
}

std::optional<std::uint64_t> parseEventId(const std::string& value) {
  if (value.empty() || value.size() > 20) return std::nullopt;
  std::uint64_t id = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), id);
  if (error != std::errc{} || end != value.data() + value.size()) return std::nullopt;
  return id;
}

}  // namespace zelk::server
