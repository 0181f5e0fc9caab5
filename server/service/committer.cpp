// SPDX-License-Identifier: Apache-2.0
#include "service/committer.hpp"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace zelk::server {

Committer::Committer(Store& store, int threads, std::function<void()> onOutbox)
    : store_(store), onOutbox_(std::move(onOutbox)) {
  for (int i = 0; i < std::max(threads, 1); ++i) threads_.emplace_back([this] { run(); });
}

Committer::~Committer() {
  stop();
}

void Committer::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

void Committer::submit(Unit unit, Done done) {
  std::unique_lock lock(mutex_);
  if (stopping_) {
    lock.unlock();
    std::vector<Pending> alone;
    alone.push_back({std::move(unit), std::move(done)});
    write(alone);
    return;
  }
  queued_.push_back({std::move(unit), std::move(done)});
  // A thread at work takes what was queued when it is done; only an idle one needs waking.
  const bool wake = idle_ > 0;
  lock.unlock();
  if (wake) wake_.notify_one();
}

void Committer::run() {
  std::vector<Pending> batch;
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_;
    wake_.wait(lock, [&] { return !queued_.empty() || stopping_; });
    --idle_;
    if (queued_.empty()) return;
    if (queued_.size() <= kMaxBatch) {
      batch.swap(queued_);
    } else {
      batch.assign(std::make_move_iterator(queued_.begin()),
                   std::make_move_iterator(queued_.begin() + kMaxBatch));
      queued_.erase(queued_.begin(), queued_.begin() + kMaxBatch);
      // What is left is for another thread, or for this one's next round.
      wake_.notify_one();
    }
    lock.unlock();
    write(batch);
    batch.clear();
    lock.lock();
  }
}

void Committer::write(std::vector<Pending>& batch) {
  const auto commit = [&](std::vector<Unit>& units) {
    store_.commit(units);
    const bool outbox = std::any_of(units.begin(), units.end(), [](const Unit& unit) {
      return !unit.conflict && !unit.changes.outbox.empty();
    });
    if (outbox && onOutbox_) onOutbox_();
  };
  std::vector<Unit> units;
  units.reserve(batch.size());
  for (Pending& pending : batch) units.push_back(std::move(pending.unit));
  bool alone = false;
  try {
    commit(units);
    for (std::size_t i = 0; i < batch.size(); ++i) batch[i].done(units[i], false);
    return;
  } catch (const StoreError& error) {
    std::fprintf(stderr, "zelk-server: storage failure: %s\n", error.what());
    alone = units.size() > 1 && !error.unreachable();
  }
  if (!alone) {
    for (std::size_t i = 0; i < batch.size(); ++i) batch[i].done(units[i], true);
    return;
  }
  // Nothing was written. One unit the store refuses (a value it cannot keep) must not fail the
  // others with it: each is tried once more alone.
  for (std::size_t i = 0; i < batch.size(); ++i) {
    std::vector<Unit> one;
    one.push_back(std::move(units[i]));
    bool failed = false;
    try {
      commit(one);
    } catch (const StoreError&) {
      failed = true;
    }
    batch[i].done(one[0], failed);
  }
}

}  // namespace zelk::server
