// SPDX-License-Identifier: Apache-2.0
#include "stream_set.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace zelk::bench {

std::int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct StreamSet::Stream {
  enum class State { idle, connecting, sent, open, closed };
  int fd = -1;
  State state = State::idle;
  std::string request;
  std::string head;  // response head while opening; the unmatched tail while looking for a marker
  std::int64_t arrived = 0;
};

namespace {

constexpr int kMaxEvents = 1024;

}  // namespace

StreamSet::StreamSet(Endpoint endpoint, int concurrency)
    : endpoint_(std::move(endpoint)), concurrency_(concurrency) {
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll_ < 0) throw std::runtime_error(std::string("epoll_create1: ") + std::strerror(errno));
}

StreamSet::~StreamSet() {
  closeAll();
  ::close(epoll_);
}

void StreamSet::closeAll() {
  for (auto& stream : streams_) {
    if (stream.fd >= 0) ::close(stream.fd);
    stream.fd = -1;
    stream.state = Stream::State::closed;
  }
}

void StreamSet::fail(int index, const std::string& why) {
  Stream& stream = streams_[static_cast<std::size_t>(index)];
  if (stream.state == Stream::State::open) ++lost_;
  if (firstError_.empty() && stream.state != Stream::State::open) firstError_ = why;
  if (stream.fd >= 0) ::close(stream.fd);  // also leaves the epoll set
  stream.fd = -1;
  stream.state = Stream::State::closed;
}

void StreamSet::start(int index, const std::string& target) {
  Stream& stream = streams_[static_cast<std::size_t>(index)];
  stream.request = "GET " + target + " HTTP/1.1\r\nHost: " + endpoint_.hostHeader() +
                   "\r\nAccept: text/event-stream\r\nCache-Control: no-cache\r\n\r\n";
  stream.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (stream.fd < 0) return fail(index, std::string("socket: ") + std::strerror(errno));
  stream.state = Stream::State::connecting;

  if (endpoint_.host.starts_with("127.")) {
    // The port is chosen at connect(), per destination, instead of at bind().
    const int one = 1;
    setsockopt(stream.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = htonl((127u << 24) | static_cast<unsigned>(2 + index % 250));
    if (::bind(stream.fd, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0)
      return fail(index, std::string("bind: ") + std::strerror(errno));
  }
  const sockaddr_in address = endpoint_.address();
  if (::connect(stream.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
      errno != EINPROGRESS)
    return fail(index, std::string("connect: ") + std::strerror(errno));
  epoll_event event{};
  event.events = EPOLLOUT | EPOLLIN;
  event.data.u32 = static_cast<std::uint32_t>(index);
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, stream.fd, &event) != 0)
    return fail(index, std::string("epoll_ctl: ") + std::strerror(errno));
}

int StreamSet::open(const std::vector<std::string>& targets, std::chrono::seconds timeout) {
  streams_.assign(targets.size(), Stream{});
  const auto deadline = nowNs() + std::chrono::nanoseconds(timeout).count();
  std::size_t next = 0;
  int inFlight = 0;
  int settled = 0;
  const auto settle = [&] {
    --inFlight;
    ++settled;
  };
  epoll_event events[kMaxEvents];
  while (settled < static_cast<int>(targets.size()) && nowNs() < deadline) {
    while (inFlight < concurrency_ && next < targets.size()) {
      const int index = static_cast<int>(next++);
      ++inFlight;
      start(index, targets[static_cast<std::size_t>(index)]);
      if (streams_[static_cast<std::size_t>(index)].state == Stream::State::closed) settle();
    }
    const int ready = ::epoll_wait(epoll_, events, kMaxEvents, 100);
    for (int i = 0; i < ready; ++i) {
      const int index = static_cast<int>(events[i].data.u32);
      Stream& stream = streams_[static_cast<std::size_t>(index)];
      if (stream.state == Stream::State::connecting) {
        if (!(events[i].events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) continue;
        int error = 0;
        socklen_t size = sizeof error;
        getsockopt(stream.fd, SOL_SOCKET, SO_ERROR, &error, &size);
        if (error != 0 || ::send(stream.fd, stream.request.data(), stream.request.size(),
                                 MSG_NOSIGNAL) != static_cast<ssize_t>(stream.request.size())) {
          fail(index, std::string("connect or send: ") + std::strerror(error ? error : errno));
          settle();
          continue;
        }
        stream.state = Stream::State::sent;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = static_cast<std::uint32_t>(index);
        ::epoll_ctl(epoll_, EPOLL_CTL_MOD, stream.fd, &event);
      } else if (stream.state == Stream::State::sent) {
        char buffer[4096];
        const ssize_t got = ::recv(stream.fd, buffer, sizeof buffer, 0);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got <= 0) {
          fail(index, "the server closed a stream before its response head");
          settle();
          continue;
        }
        stream.head.append(buffer, static_cast<std::size_t>(got));
        const auto end = stream.head.find("\r\n\r\n");
        if (end == std::string::npos) continue;
        const std::string status = stream.head.substr(0, stream.head.find("\r\n"));
        if (status.size() < 12 || status.compare(9, 3, "200") != 0) {
          fail(index, "listen answered '" + status + "': " + stream.head.substr(end + 4, 200));
        } else {
          stream.state = Stream::State::open;
          stream.head.clear();
          stream.request.clear();
          stream.request.shrink_to_fit();
        }
        settle();
      }
    }
  }
  for (std::size_t index = 0; index < streams_.size(); ++index) {
    const auto state = streams_[index].state;
    if (state == Stream::State::connecting || state == Stream::State::sent ||
        state == Stream::State::idle) {
      if (firstError_.empty()) firstError_ = "not open within the time allowed";
      fail(static_cast<int>(index), "not open within the time allowed");
    }
  }
  return openCount();
}

bool StreamSet::readStream(int index, std::string_view marker) {
  Stream& stream = streams_[static_cast<std::size_t>(index)];
  char buffer[16384];
  for (;;) {
    const ssize_t got = ::recv(stream.fd, buffer, sizeof buffer, 0);
    if (got > 0) {
      // A short read took everything there was; epoll (level-triggered) reports anything later,
      // which saves one recv() per stream and event.
      const bool emptied = static_cast<std::size_t>(got) < sizeof buffer;
      if (marker.empty() || stream.arrived != 0) {
        if (emptied) return true;
        continue;
      }
      // The marker may be split between two reads: the tail of the last one is kept.
      stream.head.append(buffer, static_cast<std::size_t>(got));
      if (stream.head.find(marker) != std::string::npos) {
        stream.arrived = nowNs();
        stream.head.clear();
      } else if (stream.head.size() >= marker.size()) {
        stream.head.erase(0, stream.head.size() - (marker.size() - 1));
      }
      if (emptied) return true;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    fail(index, "the stream ended");
    return false;
  }
}

std::size_t StreamSet::drain(std::chrono::milliseconds duration) {
  std::size_t bytes = 0;
  const auto deadline = nowNs() + std::chrono::nanoseconds(duration).count();
  epoll_event events[kMaxEvents];
  char buffer[16384];
  for (std::int64_t now; (now = nowNs()) < deadline;) {
    const int wait = static_cast<int>((deadline - now) / 1'000'000) + 1;
    const int ready = ::epoll_wait(epoll_, events, kMaxEvents, wait);
    for (int i = 0; i < ready; ++i) {
      const int index = static_cast<int>(events[i].data.u32);
      Stream& stream = streams_[static_cast<std::size_t>(index)];
      if (stream.state != Stream::State::open) continue;
      for (;;) {
        const ssize_t got = ::recv(stream.fd, buffer, sizeof buffer, 0);
        if (got > 0) {
          bytes += static_cast<std::size_t>(got);
          if (static_cast<std::size_t>(got) < sizeof buffer) break;
          continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        fail(index, "the stream ended");
        break;
      }
    }
  }
  return bytes;
}

void StreamSet::drainNow() {
  epoll_event events[kMaxEvents];
  for (int ready; (ready = ::epoll_wait(epoll_, events, kMaxEvents, 0)) > 0;) {
    for (int i = 0; i < ready; ++i) discard(static_cast<int>(events[i].data.u32));
  }
}

void StreamSet::discard(int index) {
  Stream& stream = streams_[static_cast<std::size_t>(index)];
  if (stream.state != Stream::State::open) return;
  stream.arrived = 0;
  stream.head.clear();
  readStream(index, {});
}

std::int64_t StreamSet::waitFor(int index, std::string_view marker,
                                std::chrono::milliseconds timeout) {
  Stream& stream = streams_[static_cast<std::size_t>(index)];
  stream.arrived = 0;
  stream.head.clear();
  const auto deadline = nowNs() + std::chrono::nanoseconds(timeout).count();
  while (stream.state == Stream::State::open) {
    pollfd watch{stream.fd, POLLIN, 0};
    const auto left = deadline - nowNs();
    if (left <= 0) return 0;
    if (::poll(&watch, 1, static_cast<int>(left / 1'000'000) + 1) <= 0) continue;
    if (!readStream(index, marker)) return 0;
    if (stream.arrived != 0) return stream.arrived;
  }
  return 0;
}

std::vector<std::int64_t> StreamSet::waitForAll(std::string_view marker,
                                                std::chrono::milliseconds timeout) {
  int waiting = 0;
  for (auto& stream : streams_) {
    stream.arrived = 0;
    stream.head.clear();
    if (stream.state == Stream::State::open) ++waiting;
  }
  const auto deadline = nowNs() + std::chrono::nanoseconds(timeout).count();
  epoll_event events[kMaxEvents];
  for (std::int64_t now; waiting > 0 && (now = nowNs()) < deadline;) {
    const int wait = static_cast<int>((deadline - now) / 1'000'000) + 1;
    const int ready = ::epoll_wait(epoll_, events, kMaxEvents, wait);
    for (int i = 0; i < ready; ++i) {
      const int index = static_cast<int>(events[i].data.u32);
      Stream& stream = streams_[static_cast<std::size_t>(index)];
      if (stream.state != Stream::State::open) continue;
      const bool before = stream.arrived != 0;
      const bool alive = readStream(index, marker);
      if (!before && (stream.arrived != 0 || !alive)) --waiting;
    }
  }
  std::vector<std::int64_t> arrivals;
  for (const auto& stream : streams_) {
    if (stream.state == Stream::State::open) arrivals.push_back(stream.arrived);
  }
  return arrivals;
}

bool StreamSet::isOpen(int index) const {
  return streams_[static_cast<std::size_t>(index)].state == Stream::State::open;
}

int StreamSet::openCount() const {
  int open = 0;
  for (const auto& stream : streams_) open += stream.state == Stream::State::open;
  return open;
}

}  // namespace zelk::bench
