// SPDX-License-Identifier: Apache-2.0
// Writes what the calls decided: a few threads of its own each take what was handed over while
// the last write went on and hand it to the store in one commit, so that many users' changes
// share one transaction and one flush to disk.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "storage/store.hpp"

namespace zelk::server {

class Committer {
 public:
  // Runs once a unit is written (`failed` false; the unit may have been a conflict then, see
  // Unit::conflict) or could not be, on the thread that wrote it.
  using Done = std::function<void(Unit& unit, bool failed)>;

  // `onOutbox` runs after a commit that put messages in the outbox; `threads` write side by side.
  Committer(Store& store, int threads, std::function<void()> onOutbox);
  // Writes what was handed over, then stops: stop().
  ~Committer();
  Committer(const Committer&) = delete;
  Committer& operator=(const Committer&) = delete;

  // Writes `unit` with others; once stop() began, at once on the calling thread.
  void submit(Unit unit, Done done);
  // Writes what was handed over, then joins the threads. Idempotent.
  void stop();

  // The most units one commit writes.
  static constexpr std::size_t kMaxBatch = 256;

 private:
  struct Pending {
    Unit unit;
    Done done;
  };
  void run();
  void write(std::vector<Pending>& batch);

  Store& store_;
  std::function<void()> onOutbox_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Pending> queued_;
  int idle_ = 0;  // threads waiting for work
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace zelk::server
