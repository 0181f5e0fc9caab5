// SPDX-License-Identifier: Apache-2.0
// A few threads of the service's own that run what is handed to them, in the order it came:
// the reads of records that are not held, and the waits of operators' calls.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zelk::server {

class Workers {
 public:
  // Starts `threads` threads (at least one).
  explicit Workers(int threads);
  // Runs what is queued, then joins: stop().
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // Runs `job` on one of the threads; once stop() began, on the calling thread. A job that
  // throws is not told about: jobs catch their own.
  void post(std::function<void()> job);
  // Runs what is queued, then joins the threads. Idempotent.
  void stop();
  // Jobs queued and not yet started.
  std::size_t backlog() const;

 private:
  void run();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace zelk::server
