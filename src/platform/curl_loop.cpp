// SPDX-License-Identifier: Apache-2.0
#include "platform/curl_loop.hpp"

#include "platform/curl_support.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <queue>
#include <thread>
#include <utility>
#include <vector>

namespace zelk::detail {

struct CurlLoop::State {
  struct Delayed {
    Clock::time_point due;
    std::uint64_t sequence;
    Task task;
    bool operator>(const Delayed& other) const {
      return due != other.due ? due > other.due : sequence > other.sequence;
    }
  };

  std::string threadName;
  CurlMulti multi;

  std::mutex mutex;  // guards the queue, `quitting` and `thread`
  std::deque<Task> tasks;
  std::priority_queue<Delayed, std::vector<Delayed>, std::greater<>> delayed;
  std::uint64_t nextSequence = 0;
  bool quitting = false;
  std::thread thread;
  std::atomic<std::thread::id> threadId{};

  // The loop's thread only.
  std::map<CURL*, std::function<void(CURLcode)>> transfers;
  std::vector<std::pair<const void*, std::function<Clock::time_point()>>> watchers;

  bool quit() {
    std::lock_guard lock(mutex);
    return quitting;
  }
  Clock::time_point runDueTasks();
  void completeTransfers();
  Clock::time_point runWatchers();
  void run();
};

CurlLoop::CurlLoop(std::string threadName) : state_(std::make_shared<State>()) {
  initCurlOnce();
  state_->threadName = std::move(threadName);
  state_->multi.reset(curl_multi_init());
}

CurlLoop::~CurlLoop() {
  std::thread thread;
  {
    std::lock_guard lock(state_->mutex);
    state_->quitting = true;
    thread = std::move(state_->thread);
  }
  if (!thread.joinable()) return;
  curl_multi_wakeup(state_->multi.get());
  // The last owner may let go from inside a task or a completion: the thread cannot join itself,
  // so it finishes on its own, keeping its state alive through its own reference.
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
  } else {
    thread.join();
  }
}

void CurlLoop::post(Task task) {
  postAfter(Clock::duration::zero(), std::move(task));
}

void CurlLoop::postAfter(Clock::duration delay, Task task) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->quitting) return;
    if (delay <= Clock::duration::zero()) {
      state_->tasks.push_back(std::move(task));
    } else {
      state_->delayed.push({Clock::now() + delay, state_->nextSequence++, std::move(task)});
    }
    if (!state_->thread.joinable()) {
      state_->thread = std::thread([state = state_] { state->run(); });
      return;
    }
  }
  curl_multi_wakeup(state_->multi.get());
}

void CurlLoop::runAndWait(const Task& task) {
  if (onLoopThread()) return task();
  std::promise<void> ran;
  post([&task, &ran] {
    task();
    ran.set_value();
  });
  ran.get_future().wait();
}

bool CurlLoop::onLoopThread() const {
  return state_->threadId.load() == std::this_thread::get_id();
}

bool CurlLoop::add(CURL* easy, std::function<void(CURLcode)> done) {
  if (curl_multi_add_handle(state_->multi.get(), easy) != CURLM_OK) return false;
  state_->transfers[easy] = std::move(done);
  return true;
}

void CurlLoop::remove(CURL* easy) {
  if (state_->transfers.erase(easy) == 0) return;
  curl_multi_remove_handle(state_->multi.get(), easy);
}

void CurlLoop::watch(const void* owner, std::function<Clock::time_point()> check) {
  unwatch(owner);
  state_->watchers.emplace_back(owner, std::move(check));
}

void CurlLoop::unwatch(const void* owner) {
  std::erase_if(state_->watchers, [owner](const auto& watcher) { return watcher.first == owner; });
}

CurlLoop::Clock::time_point CurlLoop::State::runDueTasks() {
  for (;;) {
    Task task;
    {
      std::lock_guard lock(mutex);
      if (quitting) return Clock::time_point::max();
      const auto now = Clock::now();
      while (!delayed.empty() && delayed.top().due <= now) {
        tasks.push_back(std::move(const_cast<Delayed&>(delayed.top()).task));
        delayed.pop();
      }
      if (tasks.empty()) return delayed.empty() ? Clock::time_point::max() : delayed.top().due;
      task = std::move(tasks.front());
      tasks.pop_front();
    }
    task();
  }
}

void CurlLoop::State::completeTransfers() {
  int running = 0;
  curl_multi_perform(multi.get(), &running);
  int remaining = 0;
  while (CURLMsg* message = curl_multi_info_read(multi.get(), &remaining)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* easy = message->easy_handle;
    const CURLcode code = message->data.result;
    auto it = transfers.find(easy);
    if (it == transfers.end()) continue;
    // Taken out first: the completion may start, remove or abandon other transfers.
    auto done = std::move(it->second);
    transfers.erase(it);
    curl_multi_remove_handle(multi.get(), easy);
    done(code);
    if (quit()) return;
  }
}

CurlLoop::Clock::time_point CurlLoop::State::runWatchers() {
  auto due = Clock::time_point::max();
  // A copy: a check may end its own watch or another's.
  const auto current = watchers;
  for (const auto& [owner, check] : current) {
    if (quit()) break;
    due = std::min(due, check());
  }
  return due;
}

void CurlLoop::State::run() {
  threadId = std::this_thread::get_id();
  pthread_setname_np(pthread_self(), threadName.c_str());
  for (;;) {
    Clock::time_point wakeAt = runDueTasks();
    if (quit()) break;
    if (!transfers.empty()) completeTransfers();
    if (quit()) break;
    wakeAt = std::min(wakeAt, runWatchers());
    if (quit()) break;
    // Sleeps in the kernel until a socket is ready, a libcurl timer or a watched timeout is due,
    // or a task is posted.
    int timeoutMs = INT_MAX;
    if (wakeAt != Clock::time_point::max()) {
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wakeAt - Clock::now());
      timeoutMs = static_cast<int>(std::clamp<long long>(wait.count(), 0, INT_MAX));
    }
    curl_multi_poll(multi.get(), nullptr, 0, timeoutMs, nullptr);
  }
  // What is left is dropped here, on the loop's own thread, transfers first.
  for (const auto& [easy, done] : transfers) curl_multi_remove_handle(multi.get(), easy);
  transfers.clear();
  watchers.clear();
  std::deque<Task> dropped;
  decltype(delayed) droppedLater;
  {
    std::lock_guard lock(mutex);
    dropped.swap(tasks);
    droppedLater.swap(delayed);
  }
}

}  // namespace zelk::detail
