// SPDX-License-Identifier: Apache-2.0
// Bringing replies that arrive on any thread back to a screen on the main queue.
#pragma once

#include <zelk/main_queue.hpp>
#include <zelk/screen.hpp>

#include <functional>
#include <memory>
#include <mutex>

namespace zelk::screens {

/// Runs `task` with `screen` on `queue`, if the screen still lives then. Callable from any
/// thread.
template <typename Screen>
void postToScreen(const std::shared_ptr<MainQueue>& queue, std::weak_ptr<ChallengeScreen> screen,
                  std::function<void(Screen&)> task) {
  queue->post([screen = std::move(screen), task = std::move(task)] {
    if (auto alive = screen.lock()) task(static_cast<Screen&>(*alive));
  });
}

/// Waits for a number of calls that finish on any thread, then runs one last step on the main
/// queue.
class CompletionGroup {
 public:
  explicit CompletionGroup(std::shared_ptr<MainQueue> queue) : queue_(std::move(queue)) {}

  /// One more call to wait for. Call before the call can finish.
  void enter() {
    std::lock_guard lock(mutex_);
    ++pending_;
  }

  /// One call finished. Any thread. Tasks it posted to the main queue before leaving run before
  /// the group's last step.
  void leave() {
    std::function<void()> last;
    {
      std::lock_guard lock(mutex_);
      if (--pending_ == 0) last = std::move(notify_);
    }
    if (last) queue_->post(std::move(last));
  }

  /// Posts `task` to the main queue once every call entered so far has left: at once when none
  /// is pending, else when the last one leaves.
  void notify(std::function<void()> task) {
    {
      std::lock_guard lock(mutex_);
      if (pending_ > 0) {
        notify_ = std::move(task);
        return;
      }
    }
    queue_->post(std::move(task));
  }

 private:
  std::shared_ptr<MainQueue> queue_;
  std::mutex mutex_;
  int pending_ = 0;
  std::function<void()> notify_;
};

}  // namespace zelk::screens
