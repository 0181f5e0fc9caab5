// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/export.hpp>

#include <chrono>
#include <functional>

namespace zelk {

/// The host's main (UI) thread, seen as a queue of tasks.
///
/// The library posts every effect that touches the host or its screens here. A Qt host
/// installs an adapter that posts to the GUI thread; a host without a UI toolkit drives a
/// `RunLoop` on its main thread. Implementations must accept posts from any thread and run
/// tasks one at a time, in the order they were posted (delayed tasks once they are due).
class ZELK_EXPORT MainQueue {
 public:
  using Task = std::function<void()>;  ///< One unit of work for the main thread.

  virtual ~MainQueue() = default;

  /// Queues `task` to run on the main thread. Never runs it inline. Callable from any thread.
  virtual void post(Task task) = 0;

  /// Queues `task` to run on the main thread once `delay` has passed. Callable from any thread.
  virtual void postAfter(std::chrono::milliseconds delay, Task task) = 0;

  /// Whether the calling thread is the one that runs this queue's tasks.
  virtual bool isCurrentThread() const = 0;
};

}  // namespace zelk
