// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace zelk::detail {

/// One thread that runs libcurl transfers and small tasks, in order: the service calls and the
/// event streams of a client share it, so that a new stream starts without starting a thread.
///
/// Tasks run one at a time in the order they were posted (delayed ones when they are due). The
/// transfers run concurrently on one libcurl multi handle; each one's completion runs on the
/// loop's thread. The thread starts with the first task and ends when the loop is destroyed.
class CurlLoop {
 public:
  using Clock = std::chrono::steady_clock;
  using Task = std::function<void()>;

  /// A loop whose thread, once started, carries `threadName` (at most 15 characters).
  explicit CurlLoop(std::string threadName);
  /// Ends the thread after the task it is running: tasks still queued are dropped unrun and
  /// transfers still running are abandoned. Joins the thread, unless called on it.
  ~CurlLoop();
  CurlLoop(const CurlLoop&) = delete;
  CurlLoop& operator=(const CurlLoop&) = delete;

  /// Runs `task` on the loop's thread after the tasks posted before it. Any thread.
  void post(Task task);
  /// Runs `task` on the loop's thread once `delay` has passed. Any thread.
  void postAfter(Clock::duration delay, Task task);
  /// Runs `task` at once when called on the loop's thread; otherwise posts it and waits until
  /// it has run.
  void runAndWait(const Task& task);
  /// Whether the caller runs on the loop's thread.
  bool onLoopThread() const;

  // The rest is for the loop's thread only.

  /// Starts the transfer of `easy`; `done` runs once with its result when it ends, unless it is
  /// removed first. False when libcurl refuses the handle (`done` is then not kept).
  bool add(CURL* easy, std::function<void(CURLcode)> done);
  /// Stops the transfer of `easy` without running its `done`; nothing when it is not running.
  void remove(CURL* easy);
  /// Calls `check` after every pass of the loop, until `unwatch(owner)`; it returns when it
  /// wants to be called again at the latest (`Clock::time_point::max()`: no sooner than the next
  /// event). Timeouts that libcurl does not keep itself are checked this way.
  void watch(const void* owner, std::function<Clock::time_point()> check);
  void unwatch(const void* owner);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace zelk::detail
