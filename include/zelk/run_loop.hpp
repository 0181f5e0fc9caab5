// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/export.hpp>
#include <zelk/main_queue.hpp>

#include <chrono>
#include <functional>
#include <memory>

namespace zelk {

/// A `MainQueue` for hosts without a UI toolkit: the thread that calls `run()` or `runUntil()`
/// becomes the main thread and runs the posted tasks.
///
/// Tasks still queued when the loop is destroyed are dropped without running.
class ZELK_EXPORT RunLoop final : public MainQueue {
 public:
  RunLoop();
  ~RunLoop() override;
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  /// The process-wide loop that `Platform` uses when the host names no main queue.
  static std::shared_ptr<RunLoop> main();

  void post(Task task) override;
  void postAfter(std::chrono::milliseconds delay, Task task) override;
  bool isCurrentThread() const override;

  /// Runs tasks on the calling thread until `stop()` is called.
  void run();

  /// Runs tasks on the calling thread until `predicate` returns true or `timeout` passes. The
  /// predicate is checked before waiting, after every task and once more when the time is up or
  /// `stop()` is called; returns its last answer.
  bool runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);

  /// Makes the current (or next) `run()` return after the task in progress. Callable from any
  /// thread.
  void stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace zelk
