// SPDX-License-Identifier: Apache-2.0
#include "realtime/hub.hpp"

#include <algorithm>

#include <boost/asio/steady_timer.hpp>

#include "realtime/events.hpp"

namespace zelk::server {

class Hub::Stream {
 public:
  std::string device;
  std::shared_ptr<http::StreamSink> sink;
  bool receivePushes = true;
  bool ended = false;
  bool removed = false;
  std::uint64_t upTo = 0;
  // While a drip is being written, what would follow it waits here.
  std::vector<std::string> drip;
  std::vector<Bytes> held;
  std::chrono::milliseconds dripInterval{0};
  std::unique_ptr<boost::asio::steady_timer> timer;
  enum class End { none, finish, abort } endAs = End::none;
};

namespace {

Hub::Bytes share(std::string bytes) {
  return std::make_shared<const std::string>(std::move(bytes));
}

const Hub::Bytes& heartbeatBytes() {
  static const Hub::Bytes bytes = share(": keep-alive\n");
  return bytes;
}

}  // namespace

void Hub::write(Stream& stream, Bytes bytes) {
  if (!stream.drip.empty()) {
    stream.held.push_back(std::move(bytes));
  } else {
    stream.sink->send(std::move(bytes));
  }
}

std::shared_ptr<Hub::Stream> Hub::add(const std::string& device,
                                      std::shared_ptr<http::StreamSink> sink, Options options) {
  auto stream = std::make_shared<Stream>();
  stream->device = device;
  stream->sink = std::move(sink);
  stream->receivePushes = options.receivePushes;
  stream->upTo = options.upTo;
  const std::size_t chunk = std::max<std::size_t>(options.drip.chunk, 1);
  for (std::size_t at = 0; at < options.drip.bytes.size(); at += chunk)
    stream->drip.push_back(options.drip.bytes.substr(at, chunk));
  stream->dripInterval = options.drip.interval;

  std::lock_guard lock(mutex_);
  if (shutDown_) return nullptr;
  if (stream->receivePushes) {
    for (const Delivery& message : options.catchUp)
      write(*stream, share(formatMessage(message.id, message.data)));
    if (auto kept = kept_.find(device); kept != kept_.end()) {
      auto& pieces = kept->second;
      for (auto piece = pieces.begin(); piece != pieces.end();) {
        if (!piece->access.empty() && piece->access != options.access) {
          ++piece;
          continue;
        }
        write(*stream, share(formatMessage(piece->delivery.id, piece->delivery.data)));
        stream->upTo = std::max(stream->upTo, piece->delivery.id);
        piece = pieces.erase(piece);
      }
      if (pieces.empty()) kept_.erase(kept);
    }
  }
  streams_[device].push_back(stream);
  ++open_;
  changed_.notify_all();
  if (!stream->drip.empty()) {
    if (stream->dripInterval.count() > 0)
      stream->timer = std::make_unique<boost::asio::steady_timer>(stream->sink->executor());
    dripNext(stream);
  }
  return stream;
}

// Writes the next piece of the drip; called with the lock held.
void Hub::dripNext(const std::shared_ptr<Stream>& stream) {
  if (stream->removed) return;
  if (!stream->timer || stream->ended) {
    finishDrip(*stream);
    return;
  }
  stream->sink->send(share(std::move(stream->drip.front())));
  stream->drip.erase(stream->drip.begin());
  if (stream->drip.empty()) {
    finishDrip(*stream);
    return;
  }
  stream->timer->expires_after(stream->dripInterval);
  stream->timer->async_wait([this, weak = std::weak_ptr<Stream>(stream)](auto error) {
    auto stream = weak.lock();
    if (error || !stream) return;
    std::lock_guard lock(mutex_);
    dripNext(stream);
  });
}

// Writes what is left of the drip at once, then what waited for it.
void Hub::finishDrip(Stream& stream) {
  for (auto& piece : stream.drip) stream.sink->send(share(std::move(piece)));
  stream.drip.clear();
  for (auto& bytes : stream.held) stream.sink->send(std::move(bytes));
  stream.held.clear();
  if (stream.timer) stream.timer->cancel();
  if (stream.endAs == Stream::End::finish) stream.sink->finish();
}

void Hub::remove(const std::shared_ptr<Stream>& stream) {
  std::lock_guard lock(mutex_);
  if (stream->removed) return;
  stream->removed = true;
  if (stream->timer) stream->timer->cancel();
  auto list = streams_.find(stream->device);
  if (list != streams_.end()) {
    auto& entries = list->second;
    entries.erase(std::remove(entries.begin(), entries.end(), stream), entries.end());
    if (entries.empty()) streams_.erase(list);
  }
  if (!stream->ended) --open_;
  stream->ended = true;
  changed_.notify_all();
}

int Hub::push(const std::string& device, const std::string& bytes) {
  std::lock_guard lock(mutex_);
  auto list = streams_.find(device);
  if (list == streams_.end()) return 0;
  Bytes shared = share(bytes);
  int count = 0;
  for (const auto& stream : list->second) {
    if (!stream->receivePushes || stream->ended) continue;
    write(*stream, shared);
    ++count;
  }
  return count;
}

int Hub::deliverLocked(const Delivery& delivery, Bytes* shared) {
  auto list = streams_.find(delivery.device);
  if (list == streams_.end()) return 0;
  Bytes local;
  Bytes& bytes = shared ? *shared : local;
  int count = 0;
  for (const auto& stream : list->second) {
    if (!stream->receivePushes || stream->ended) continue;
    ++count;
    if (delivery.id != 0 && delivery.id <= stream->upTo) continue;  // already written
    if (!bytes) bytes = share(formatMessage(delivery.id, delivery.data));
    write(*stream, bytes);
    stream->upTo = std::max(stream->upTo, delivery.id);
  }
  return count;
}

int Hub::deliver(const Delivery& delivery) {
  std::lock_guard lock(mutex_);
  return deliverLocked(delivery);
}

std::uint64_t Hub::deliverAll(const std::vector<Delivery>& deliveries,
                              const std::function<bool(const Delivery&)>& keep) {
  // Written once the lock is released, by several threads when there are many.
  http::SendBatch batch;
  std::lock_guard lock(mutex_);
  std::uint64_t count = 0;
  // The wire form of the last message formatted: a message to all a user's devices usually has
  // one id and one text for all of them.
  const Delivery* formatted = nullptr;
  Bytes bytes;
  for (const Delivery& delivery : deliveries) {
    if (!formatted || formatted->id != delivery.id || formatted->data != delivery.data) {
      bytes.reset();
      formatted = &delivery;
    }
    const int sent = deliverLocked(delivery, &bytes);
    if (sent == 0 && keep(delivery)) keepLocked(delivery, {});
    count += static_cast<std::uint64_t>(sent);
  }
  return count;
}

void Hub::keep(const Delivery& delivery, std::string access) {
  std::lock_guard lock(mutex_);
  keepLocked(delivery, std::move(access));
}

void Hub::keepLocked(const Delivery& delivery, std::string access) {
  auto& pieces = kept_[delivery.device];
  pieces.push_back({delivery, std::move(access)});
  while (pieces.size() > kMaxKept) pieces.pop_front();
}

int Hub::deliverOrKeep(const Delivery& delivery) {
  std::lock_guard lock(mutex_);
  const int count = deliverLocked(delivery);
  if (count == 0) keepLocked(delivery, {});
  return count;
}

void Hub::forget(const std::string& device) {
  std::lock_guard lock(mutex_);
  kept_.erase(device);
}

std::vector<std::pair<std::string, int>> Hub::keptByDevice() const {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<std::string, int>> counts;
  for (const auto& [device, pieces] : kept_)
    counts.emplace_back(device, static_cast<int>(pieces.size()));
  return counts;
}

int Hub::end(const std::string& device, bool abort) {
  std::lock_guard lock(mutex_);
  int count = 0;
  for (auto& [name, list] : streams_) {
    if (!device.empty() && name != device) continue;
    for (const auto& stream : list) {
      if (stream->ended) continue;
      stream->ended = true;
      --open_;
      ++count;
      if (abort) {
        stream->sink->abort();
      } else if (!stream->drip.empty()) {
        stream->endAs = Stream::End::finish;
        finishDrip(*stream);
      } else {
        stream->sink->finish();
      }
    }
  }
  if (count > 0) changed_.notify_all();
  return count;
}

int Hub::openStreamsLocked(const std::string& device) const {
  if (shutDown_) return 0;
  auto list = streams_.find(device);
  if (list == streams_.end()) return 0;
  return static_cast<int>(std::count_if(list->second.begin(), list->second.end(),
                                        [](const auto& s) { return !s->ended; }));
}

std::optional<std::uint64_t> Hub::knownUpTo(const std::string& device) const {
  std::lock_guard lock(mutex_);
  if (shutDown_) return std::nullopt;
  const auto list = streams_.find(device);
  if (list == streams_.end()) return std::nullopt;
  std::optional<std::uint64_t> least;
  for (const auto& stream : list->second) {
    if (stream->ended || !stream->receivePushes) continue;
    least = least ? std::min(*least, stream->upTo) : stream->upTo;
  }
  return least;
}

int Hub::openStreams(const std::string& device) const {
  std::lock_guard lock(mutex_);
  return openStreamsLocked(device);
}

std::size_t Hub::openStreamCount() const {
  std::lock_guard lock(mutex_);
  return shutDown_ ? 0 : open_;
}

bool Hub::waitForStreams(const std::string& device, int count,
                         std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return openStreamsLocked(device) >= count; });
}

bool Hub::waitForNoStreams(const std::string& device, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return openStreamsLocked(device) == 0; });
}

std::vector<std::pair<std::string, int>> Hub::openStreamsByDevice() const {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<std::string, int>> counts;
  if (shutDown_) return counts;
  for (const auto& [device, list] : streams_) {
    const int open = openStreamsLocked(device);
    if (open > 0) counts.emplace_back(device, open);
  }
  std::sort(counts.begin(), counts.end());
  return counts;
}

std::size_t Hub::heartbeat() {
  // Written once the lock is released, by several threads when there are many.
  http::SendBatch batch;
  std::lock_guard lock(mutex_);
  std::size_t count = 0;
  for (const auto& [device, list] : streams_) {
    for (const auto& stream : list) {
      if (stream->ended || !stream->receivePushes || !stream->drip.empty()) continue;
      stream->sink->send(heartbeatBytes());
      ++count;
    }
  }
  return count;
}

void Hub::shutDown() {
  std::lock_guard lock(mutex_);
  shutDown_ = true;
  for (const auto& [device, list] : streams_) {
    for (const auto& stream : list) {
      stream->ended = true;
      stream->removed = true;
      if (stream->timer) stream->timer->cancel();
      stream->sink->abort();
    }
  }
  streams_.clear();
  open_ = 0;
  changed_.notify_all();
}

void Hub::reopen() {
  std::lock_guard lock(mutex_);
  shutDown_ = false;
}

}  // namespace zelk::server
