// SPDX-License-Identifier: Apache-2.0
// The open listen streams and what is queued on them. Independent of HTTP: a stream's writer
// (the response's content provider) asks next() what to do and blocks there while there is
// nothing to send. Every public member is thread-safe (one mutex, one condition variable).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "sandbox.hpp"

namespace zelk::sandbox {

// The wire form of `event`; throws std::invalid_argument when it cannot be written (see Event).
std::string formatEvent(const Event& event);

// Bytes a new stream writes first, in pieces of `chunk` bytes, `interval` apart.
struct Drip {
  std::string bytes;
  std::size_t chunk = 1;
  std::chrono::milliseconds interval{0};
};

class StreamHub {
 public:
  struct Stream;

  // What a stream's writer does next: write bytes, end the response with the final chunk, or
  // drop the connection.
  struct Step {
    enum class Kind { write, finish, abort } kind = Kind::abort;
    std::string bytes;
  };

  // Registers a newly opened stream of `device`, opened with the access token `access`; nullptr
  // while shut down. A stream that does not `receivePushes` (a stalled one) only writes its drip.
  // One that does takes over, after its drip, what was kept for it (see keep()).
  std::shared_ptr<Stream> add(const std::string& device, bool receivePushes, Drip drip = {},
                              const std::string& access = {});
  // Forgets a stream once its response is over.
  void remove(const std::shared_ptr<Stream>& stream);

  // Blocks until `stream` has something to do. About once a second while waiting, it calls
  // `connected` (without the lock held); when that says the client is gone, the stream aborts.
  Step next(Stream& stream, const std::function<bool()>& connected);

  int push(const std::string& device, const std::string& bytes);
  // Keeps `bytes` for the next stream of `device` that receives pushes; with an `access` token,
  // for the next such stream opened with that token. Each kept piece goes to one stream only.
  // At most kMaxKept pieces are kept per device; beyond that the oldest are dropped.
  void keep(const std::string& device, std::string bytes, std::string access = {});
  // Pushes `bytes` to the open streams of `device`, or keeps them for its next stream when none
  // is open; returns on how many streams it was pushed.
  int pushOrKeep(const std::string& device, const std::string& bytes);
  // Drops what is kept for `device`.
  void forget(const std::string& device);
  // Counts of kept pieces, by device, for the devices that have any.
  std::vector<std::pair<std::string, int>> keptByDevice() const;
  static constexpr std::size_t kMaxKept = 32;
  int end(const std::string& device, bool abort);  // device "": every stream
  int openStreams(const std::string& device) const;
  bool waitForStreams(const std::string& device, int count,
                      std::chrono::milliseconds timeout) const;
  bool waitForNoStreams(const std::string& device, std::chrono::milliseconds timeout) const;
  // Counts of open streams, by device, for the devices that have any.
  std::vector<std::pair<std::string, int>> openStreamsByDevice() const;

  // Aborts every stream at once and refuses new ones, until reopen().
  void shutDown();
  void reopen();

 private:
  int openStreamsLocked(const std::string& device) const;
  int pushLocked(const std::string& device, const std::string& bytes);
  void keepLocked(const std::string& device, std::string bytes, std::string access);

  struct Kept {
    std::string bytes;
    std::string access;  // "" : for any stream
  };

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;  // any stream added, removed, fed or ended
  std::list<std::shared_ptr<Stream>> streams_;
  std::map<std::string, std::deque<Kept>> kept_;  // by device
  bool shutDown_ = false;
};

struct StreamHub::Stream {
  enum class End { none, finish, abort };

  std::string device;
  bool receivePushes = true;
  std::deque<std::string> drip;  // prepared pieces not yet written
  std::chrono::milliseconds dripInterval{0};
  std::chrono::steady_clock::time_point nextDripAt{};
  std::deque<std::string> pending;  // pushed pieces not yet written
  End end = End::none;              // how to end once drip and pending are written
};

}  // namespace zelk::sandbox
