// SPDX-License-Identifier: Apache-2.0
#include "service/workers.hpp"

#include <algorithm>

namespace zelk::server {

Workers::Workers(int threads) {
  for (int i = 0; i < std::max(threads, 1); ++i) threads_.emplace_back([this] { run(); });
}

Workers::~Workers() {
  stop();
}

void Workers::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

void Workers::post(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    if (!stopping_) {
      jobs_.push_back(std::move(job));
      wake_.notify_one();
      return;
    }
  }
  try {
    job();
  } catch (...) {
  }
}

std::size_t Workers::backlog() const {
  std::lock_guard lock(mutex_);
  return jobs_.size();
}

void Workers::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    try {
      job();
    } catch (...) {
      // A job reports its own failures; one that did not must not end the thread.
    }
    job = nullptr;
    lock.lock();
  }
}

}  // namespace zelk::server
