// SPDX-License-Identifier: Apache-2.0
#include <zelk/run_loop.hpp>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

namespace zelk {

namespace {

using Clock = std::chrono::steady_clock;

struct DelayedTask {
  Clock::time_point due;
  std::uint64_t sequence;  // keeps tasks due at the same time in posting order
  MainQueue::Task task;

  bool operator>(const DelayedTask& other) const {
    return due != other.due ? due > other.due : sequence > other.sequence;
  }
};

}  // namespace

struct RunLoop::State {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Task> ready;
  std::priority_queue<DelayedTask, std::vector<DelayedTask>, std::greater<>> delayed;
  std::uint64_t nextSequence = 0;
  bool stopRequested = false;
  std::atomic<std::thread::id> runner{};

  // Moves delayed tasks that are due to the ready queue. Called with `mutex` held.
  void promoteDueTasks(Clock::time_point now) {
    while (!delayed.empty() && delayed.top().due <= now) {
      ready.push_back(std::move(const_cast<DelayedTask&>(delayed.top()).task));
      delayed.pop();
    }
  }

  // Waits until a task is ready, `stop()` is called or `deadline` passes, then takes the next
  // ready task. Returns an empty task when there is none.
  Task next(Clock::time_point deadline) {
    std::unique_lock lock(mutex);
    for (;;) {
      if (stopRequested) {
        stopRequested = false;
        return {};
      }
      promoteDueTasks(Clock::now());
      if (!ready.empty()) {
        Task task = std::move(ready.front());
        ready.pop_front();
        return task;
      }
      if (Clock::now() >= deadline) return {};
      auto until = delayed.empty() ? deadline : std::min(deadline, delayed.top().due);
      if (until == Clock::time_point::max()) {
        wake.wait(lock);
      } else {
        wake.wait_until(lock, until);
      }
    }
  }
};

RunLoop::RunLoop() : state_(std::make_unique<State>()) {}

RunLoop::~RunLoop() {
  // Destroy pending tasks outside the lock: their captures may post to other queues.
  std::deque<Task> ready;
  decltype(State::delayed) delayed;
  {
    std::lock_guard lock(state_->mutex);
    ready.swap(state_->ready);
    delayed.swap(state_->delayed);
  }
}

std::shared_ptr<RunLoop> RunLoop::main() {
  static const auto loop = std::make_shared<RunLoop>();
  return loop;
}

void RunLoop::post(Task task) {
  if (!task) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->ready.push_back(std::move(task));
  }
  state_->wake.notify_one();
}

void RunLoop::postAfter(std::chrono::milliseconds delay, Task task) {
  if (!task) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->delayed.push({Clock::now() + delay, state_->nextSequence++, std::move(task)});
  }
  state_->wake.notify_one();
}

bool RunLoop::isCurrentThread() const {
  return state_->runner.load() == std::this_thread::get_id();
}

void RunLoop::run() {
  runUntil([] { return false; }, std::chrono::milliseconds::max());
}

bool RunLoop::runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
  const auto start = Clock::now();
  const auto deadline = timeout >= std::chrono::duration_cast<std::chrono::milliseconds>(
                                       Clock::time_point::max() - start)
                            ? Clock::time_point::max()
                            : start + timeout;
  const auto previousRunner = state_->runner.exchange(std::this_thread::get_id());
  bool satisfied = predicate();
  while (!satisfied) {
    Task task = state_->next(deadline);
    const bool ran = static_cast<bool>(task);
    if (ran) {
      task();
      task = nullptr;  // release captures before checking the predicate
    }
    satisfied = predicate();
    if (!ran) break;  // stopped or timed out
  }
  state_->runner.store(previousRunner);
  return satisfied;
}

void RunLoop::stop() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopRequested = true;
  }
  state_->wake.notify_all();
}

}  // namespace zelk
