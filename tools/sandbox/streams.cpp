// SPDX-License-Identifier: Apache-2.0
#include "streams.hpp"

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace zelk::sandbox {
namespace {

using SteadyClock = std::chrono::steady_clock;

// How often a waiting stream checks that its client is still connected.
constexpr std::chrono::seconds kConnectionCheckInterval{1};

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

std::shared_ptr<StreamHub::Stream> StreamHub::add(const std::string& device, bool receivePushes,
                                                  Drip drip, const std::string& access) {
  auto stream = std::make_shared<Stream>();
  stream->device = device;
  stream->receivePushes = receivePushes;
  const std::size_t chunk = std::max<std::size_t>(drip.chunk, 1);
  for (std::size_t at = 0; at < drip.bytes.size(); at += chunk)
    stream->drip.push_back(drip.bytes.substr(at, chunk));
  stream->dripInterval = drip.interval;

  std::lock_guard lock(mutex_);
  if (shutDown_) return nullptr;
  if (auto kept = kept_.find(device); receivePushes && kept != kept_.end()) {
    auto& pieces = kept->second;
    for (auto piece = pieces.begin(); piece != pieces.end();) {
      if (!piece->access.empty() && piece->access != access) {
        ++piece;
        continue;
      }
      stream->pending.push_back(std::move(piece->bytes));
      piece = pieces.erase(piece);
    }
    if (pieces.empty()) kept_.erase(kept);
  }
  streams_.push_back(stream);
  changed_.notify_all();
  return stream;
}

void StreamHub::remove(const std::shared_ptr<Stream>& stream) {
  std::lock_guard lock(mutex_);
  streams_.remove(stream);
  changed_.notify_all();
}

StreamHub::Step StreamHub::next(Stream& stream, const std::function<bool()>& connected) {
  using Kind = Step::Kind;
  std::unique_lock lock(mutex_);
  auto checkAt = SteadyClock::now() + kConnectionCheckInterval;
  for (;;) {
    if (shutDown_) return {Kind::abort, {}};
    const auto now = SteadyClock::now();
    // Once the stream is to end, what is left of the drip goes out without pauses.
    if (!stream.drip.empty() && (stream.end != Stream::End::none || now >= stream.nextDripAt)) {
      Step step{Kind::write, std::move(stream.drip.front())};
      stream.drip.pop_front();
      stream.nextDripAt = now + stream.dripInterval;
      return step;
    }
    if (stream.drip.empty()) {
      if (!stream.pending.empty()) {
        Step step{Kind::write, std::move(stream.pending.front())};
        stream.pending.pop_front();
        return step;
      }
      if (stream.end == Stream::End::finish) return {Kind::finish, {}};
      if (stream.end == Stream::End::abort) return {Kind::abort, {}};
    }
    if (now >= checkAt) {
      lock.unlock();
      const bool stillConnected = connected();
      lock.lock();
      if (!stillConnected) {
        stream.end = Stream::End::abort;
        changed_.notify_all();
        return {Kind::abort, {}};
      }
      checkAt = SteadyClock::now() + kConnectionCheckInterval;
      continue;
    }
    auto wakeAt = checkAt;
    if (!stream.drip.empty()) wakeAt = std::min(wakeAt, stream.nextDripAt);
    changed_.wait_until(lock, wakeAt);
  }
}

int StreamHub::push(const std::string& device, const std::string& bytes) {
  std::lock_guard lock(mutex_);
  return pushLocked(device, bytes);
}

void StreamHub::keep(const std::string& device, std::string bytes, std::string access) {
  std::lock_guard lock(mutex_);
  keepLocked(device, std::move(bytes), std::move(access));
}

void StreamHub::keepLocked(const std::string& device, std::string bytes, std::string access) {
  auto& pieces = kept_[device];
  pieces.push_back({std::move(bytes), std::move(access)});
  while (pieces.size() > kMaxKept) pieces.pop_front();
}

int StreamHub::pushOrKeep(const std::string& device, const std::string& bytes) {
  std::lock_guard lock(mutex_);
  const int count = pushLocked(device, bytes);
  if (count == 0) keepLocked(device, bytes, {});
  return count;
}

void StreamHub::forget(const std::string& device) {
  std::lock_guard lock(mutex_);
  kept_.erase(device);
}

std::vector<std::pair<std::string, int>> StreamHub::keptByDevice() const {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<std::string, int>> counts;
  for (const auto& [device, pieces] : kept_)
    counts.emplace_back(device, static_cast<int>(pieces.size()));
  return counts;
}

int StreamHub::pushLocked(const std::string& device, const std::string& bytes) {
  int count = 0;
  for (const auto& stream : streams_) {
    if (stream->device != device || !stream->receivePushes || stream->end != Stream::End::none)
      continue;
    stream->pending.push_back(bytes);
    ++count;
  }
  if (count > 0) changed_.notify_all();
  return count;
}

int StreamHub::end(const std::string& device, bool abort) {
  std::lock_guard lock(mutex_);
  int count = 0;
  for (const auto& stream : streams_) {
    if ((!device.empty() && stream->device != device) || stream->end != Stream::End::none) continue;
    stream->end = abort ? Stream::End::abort : Stream::End::finish;
    ++count;
  }
  if (count > 0) changed_.notify_all();
  return count;
}

int StreamHub::openStreamsLocked(const std::string& device) const {
  if (shutDown_) return 0;
  return static_cast<int>(std::count_if(streams_.begin(), streams_.end(), [&](const auto& s) {
    return s->device == device && s->end == Stream::End::none;
  }));
}

int StreamHub::openStreams(const std::string& device) const {
  std::lock_guard lock(mutex_);
  return openStreamsLocked(device);
}

bool StreamHub::waitForStreams(const std::string& device, int count,
                               std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return openStreamsLocked(device) >= count; });
}

bool StreamHub::waitForNoStreams(const std::string& device,
                                 std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return openStreamsLocked(device) == 0; });
}

std::vector<std::pair<std::string, int>> StreamHub::openStreamsByDevice() const {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<std::string, int>> counts;
  if (shutDown_) return counts;
  for (const auto& stream : streams_) {
    if (stream->end != Stream::End::none) continue;
    auto known = std::find_if(counts.begin(), counts.end(),
                              [&](const auto& entry) { return entry.first == stream->device; });
    if (known == counts.end()) {
      counts.emplace_back(stream->device, 1);
    } else {
      ++known->second;
    }
  }
  return counts;
}

void StreamHub::shutDown() {
  std::lock_guard lock(mutex_);
  shutDown_ = true;
  for (const auto& stream : streams_) stream->end = Stream::End::abort;
  changed_.notify_all();
}

void StreamHub::reopen() {
  std::lock_guard lock(mutex_);
  shutDown_ = false;
}

}  // namespace zelk::sandbox
