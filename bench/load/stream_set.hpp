// SPDX-License-Identifier: Apache-2.0
// Many idle event streams held open by one thread with epoll: opened with a bounded number of
// connection attempts in flight, their client addresses spread over 127.0.0.2-251 so that the
// ephemeral ports of one address do not run out, then read for arrival times.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "http_client.hpp"

namespace zelk::bench {

std::int64_t nowNs();

class StreamSet {
 public:
  explicit StreamSet(Endpoint endpoint, int concurrency = 256);
  ~StreamSet();
  StreamSet(const StreamSet&) = delete;
  StreamSet& operator=(const StreamSet&) = delete;

  // Opens one stream per request target (path and query); a stream counts as open once its
  // response head says 200. Returns how many opened; firstError() tells why others did not.
  int open(const std::vector<std::string>& targets, std::chrono::seconds timeout);

  // Reads whatever arrives on any stream for `duration`; returns the bytes read.
  std::size_t drain(std::chrono::milliseconds duration);
  // Reads what is already there on every stream, without waiting.
  void drainNow();
  // Reads what is already there on stream `index`, without waiting.
  void discard(int index);

  // Waits until `marker` arrives on stream `index`; the arrival time (nowNs()), or 0 when it did
  // not arrive within `timeout`.
  std::int64_t waitFor(int index, std::string_view marker, std::chrono::milliseconds timeout);
  // Waits until `marker` arrived on every open stream; arrival times of the open streams (0 for
  // those it did not reach within `timeout`).
  std::vector<std::int64_t> waitForAll(std::string_view marker, std::chrono::milliseconds timeout);

  bool isOpen(int index) const;
  int openCount() const;
  int lost() const { return lost_; }  // streams that were open and ended
  const std::string& firstError() const { return firstError_; }
  // Closes every stream.
  void closeAll();

 private:
  struct Stream;
  void start(int index, const std::string& target);
  void fail(int index, const std::string& why);
  // Reads what the socket holds (a short read ends it); looks for `marker` when not empty.
  // False when the stream ended.
  bool readStream(int index, std::string_view marker);

  Endpoint endpoint_;
  int concurrency_;
  int epoll_ = -1;
  std::vector<Stream> streams_;
  int lost_ = 0;
  std::string firstError_;
};

}  // namespace zelk::bench
