// SPDX-License-Identifier: Apache-2.0
// The open listen streams and what is written to them. Holds no thread: a message for a device
// is handed to the connections of its open streams, which write it from the server's event
// loop. Every public member is thread-safe (one mutex).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "http/message.hpp"
#include "storage/records.hpp"

namespace zelk::server {

class Hub {
 public:
  class Stream;
  using Bytes = std::shared_ptr<const std::string>;

  // Bytes a new stream writes first, in pieces of `chunk` bytes, `interval` apart.
  struct Drip {
    std::string bytes;
    std::size_t chunk = 1;
    std::chrono::milliseconds interval{0};
  };

  struct Options {
    // A stream that does not receive pushes (a stalled one) only writes its drip.
    bool receivePushes = true;
    std::string access;  // the access token it was opened with
    // What the stream writes first, and the id of the last message it then knows of.
    std::vector<Delivery> catchUp;
    std::uint64_t upTo = 0;
    Drip drip;
  };

  Hub() = default;
  Hub(const Hub&) = delete;
  Hub& operator=(const Hub&) = delete;

  // Registers a newly opened stream of `device` writing to `sink`; nullptr while shut down. A
  // stream that receives pushes writes, after its drip, its catch-up, then what was kept for it
  // (see keep()), then what is pushed to it.
  std::shared_ptr<Stream> add(const std::string& device, std::shared_ptr<http::StreamSink> sink,
                              Options options);
  // Forgets a stream whose connection is gone.
  void remove(const std::shared_ptr<Stream>& stream);

  // Writes `bytes` as they are to the open streams of `device`; returns on how many.
  int push(const std::string& device, const std::string& bytes);
  // Writes a message of the service to the open streams of its device that do not know it yet;
  // returns on how many streams it went.
  int deliver(const Delivery& delivery);
  // Delivers many messages, each as deliver() or, with `keep` true for it, as deliverOrKeep();
  // messages with the same id and data are formatted once and their bytes shared. Returns on
  // how many streams they went.
  std::uint64_t deliverAll(const std::vector<Delivery>& deliveries,
                           const std::function<bool(const Delivery&)>& keep);
  // Keeps a message for the next stream of its device that receives pushes; with an `access`
  // token, for the next such stream opened with that token. Each kept message goes to one stream
  // only; at most kMaxKept are kept per device, the oldest dropped first.
  void keep(const Delivery& delivery, std::string access = {});
  // Delivers, or keeps for the device's next stream when none is open; returns on how many
  // streams it went.
  int deliverOrKeep(const Delivery& delivery);
  // Drops what is kept for `device`.
  void forget(const std::string& device);
  std::vector<std::pair<std::string, int>> keptByDevice() const;
  static constexpr std::size_t kMaxKept = 32;

  // Ends the open streams of `device` ("": of every device) once what was queued on them is
  // written, with the final chunk, or with `abort` by dropping the connection. Returns how many.
  int end(const std::string& device, bool abort);
  int openStreams(const std::string& device) const;
  // The id of the last message every open stream of `device` that receives pushes has had (the
  // least of them); nullopt when none is open. Messages after it are what they may lack.
  std::optional<std::uint64_t> knownUpTo(const std::string& device) const;
  std::size_t openStreamCount() const;
  bool waitForStreams(const std::string& device, int count,
                      std::chrono::milliseconds timeout) const;
  bool waitForNoStreams(const std::string& device, std::chrono::milliseconds timeout) const;
  std::vector<std::pair<std::string, int>> openStreamsByDevice() const;
  // Writes a comment line to every open stream that receives pushes, so that dead peers and
  // idle proxies are noticed; returns on how many.
  std::size_t heartbeat();

  // Drops every stream at once and refuses new ones, until reopen().
  void shutDown();
  void reopen();

 private:
  struct Kept {
    Delivery delivery;
    std::string access;  // "" : for any stream
  };
  void write(Stream& stream, Bytes bytes);
  void dripNext(const std::shared_ptr<Stream>& stream);
  void finishDrip(Stream& stream);
  int openStreamsLocked(const std::string& device) const;
  int deliverLocked(const Delivery& delivery, Bytes* shared = nullptr);
  void keepLocked(const Delivery& delivery, std::string access);

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;  // a stream added, removed or ended
  std::unordered_map<std::string, std::vector<std::shared_ptr<Stream>>> streams_;  // by device
  std::map<std::string, std::deque<Kept>> kept_;                                   // by device
  std::size_t open_ = 0;
  bool shutDown_ = false;
};

}  // namespace zelk::server
