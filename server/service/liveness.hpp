// SPDX-License-Identifier: Apache-2.0
// What the streams say of devices, wherever they are held. This instance knows its own streams;
// of the others' it knows what the store said when a user's records were read, what their
// notices said since, and when each instance last said it was alive: a stream held by an
// instance that stopped beating counts as ended at that instance's last beat. Nothing is written
// per stream and minute: a stream's opening and end are written once, with the others of the
// moment (takeChanges()), and every instance beats one row.
#pragma once

#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "service/limits.hpp"
#include "storage/store.hpp"

namespace zelk::server {

class Liveness {
 public:
  // `self` is this instance, started at `startedAt` by the rules' clock; an instance is taken
  // for gone once it has not beaten for `silentAfter`.
  Liveness(std::string self, Clock::time_point startedAt, std::chrono::milliseconds silentAfter);

  // A stream of `device` opened or ended here.
  void opened(const std::string& device);
  void ended(const std::string& device, Clock::time_point at);
  int openHere(const std::string& device) const;

  // What the store holds of the streams of a user's devices, just read with the user's records.
  void learn(const std::vector<std::string>& devices,
             const std::unordered_map<std::string, StreamFacts>& facts);
  // Devices of a user held here that the store said nothing of yet (just attached).
  void hold(const std::vector<std::string>& devices);
  // The devices of a user no longer held here.
  void forget(const std::vector<std::string>& devices);
  // Streams opened or ended on another instance, as its notice says. Only devices held here are
  // looked at: the store tells of the others when they are read.
  void streamsChanged(const std::string& sender, const StreamChanges& changes);
  // Every instance's last beat, as the store said just now (wall clock).
  void beats(std::vector<InstanceBeat> beats);

  Activity activity(const std::string& device) const;
  // No device counts as idle since before this: the earliest start of the instances serving.
  Clock::time_point floor() const;

  // The streams that opened and ended here since the last call, for the store; written() once
  // they are, putBack() when they could not be, to be written with the next ones.
  StreamChanges takeChanges();
  void written(const StreamChanges& changes);
  void putBack(StreamChanges changes);

  // Forgets everything learned of the other instances (a resync follows).
  void forgetOthers();

 private:
  struct Facts {
    int openHere = 0;
    std::vector<std::string> hosts;  // other instances holding a stream of it
    Clock::time_point endedAt;       // when a stream of it ended last, as far as known
    bool held = false;               // a device of a user held here
    bool unwritten = false;          // its end here is not written yet
  };
  static constexpr std::size_t kShards = 32;
  struct Shard {
    mutable std::mutex mutex;
    std::unordered_map<std::string, Facts> devices;
  };
  Shard& shardOf(const std::string& device) const;
  bool alive(const std::string& instance, Clock::time_point wallNow) const;
  // Drops an entry nothing keeps any more.
  static void tidy(Shard& shard, std::unordered_map<std::string, Facts>::iterator it);

  const std::string self_;
  const Clock::time_point startedAt_;
  const std::chrono::milliseconds silentAfter_;
  mutable Shard shards_[kShards];

  mutable std::mutex beatsMutex_;
  std::unordered_map<std::string, InstanceBeat> beats_;
  std::optional<Clock::time_point> othersStarted_;  // the earliest start of the others alive

  // The other instances' notices of the last moments, by device: a user's records read before
  // a notice came and learned after it would otherwise undo what it said.
  struct Recent {
    std::chrono::steady_clock::time_point heard;
    std::string sender;
    bool opened = false;
    Clock::time_point endedAt;
  };
  static constexpr std::chrono::seconds kRecentFor{10};
  std::mutex recentMutex_;
  std::unordered_map<std::string, std::vector<Recent>> recent_;
  std::deque<std::pair<std::chrono::steady_clock::time_point, std::string>> recentOrder_;
  void apply(Facts& facts, const Recent& notice) const;

  std::mutex pendingMutex_;
  std::unordered_set<std::string> opened_;
  std::unordered_map<std::string, Clock::time_point> ended_;
};

}  // namespace zelk::server
