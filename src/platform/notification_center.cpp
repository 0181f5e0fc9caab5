// SPDX-License-Identifier: Apache-2.0
#include <zelk/notification_center.hpp>
#include <zelk/run_loop.hpp>

#include <mutex>
#include <utility>
#include <vector>

namespace zelk {

struct NotificationCenter::State {
  struct Registration {
    Token token;
    AppNotification name;
    std::shared_ptr<const Observer> observer;
  };

  std::shared_ptr<MainQueue> mainQueue;
  std::mutex mutex;
  std::vector<Registration> registrations;
  Token nextToken = 1;
};

NotificationCenter::NotificationCenter(std::shared_ptr<MainQueue> mainQueue)
    : state_(std::make_shared<State>()) {
  state_->mainQueue = mainQueue ? std::move(mainQueue) : RunLoop::main();
}

NotificationCenter::~NotificationCenter() {
  // Observers may hold the last reference to objects whose destructors use this center's
  // queue; release them outside the lock.
  std::vector<State::Registration> registrations;
  {
    std::lock_guard lock(state_->mutex);
    registrations.swap(state_->registrations);
  }
}

std::shared_ptr<NotificationCenter> NotificationCenter::defaultCenter() {
  static const auto center = std::make_shared<NotificationCenter>();
  return center;
}

NotificationCenter::Token NotificationCenter::addObserver(AppNotification name, Observer observer) {
  std::lock_guard lock(state_->mutex);
  const Token token = state_->nextToken++;
  state_->registrations.push_back(
      {token, name, std::make_shared<const Observer>(std::move(observer))});
  return token;
}

void NotificationCenter::removeObserver(Token token) {
  std::shared_ptr<const Observer> removed;
  std::lock_guard lock(state_->mutex);
  for (auto it = state_->registrations.begin(); it != state_->registrations.end(); ++it) {
    if (it->token == token) {
      removed = std::move(it->observer);
      state_->registrations.erase(it);
      break;
    }
  }
}

void NotificationCenter::post(AppNotification name) {
  std::vector<std::weak_ptr<const Observer>> observers;
  {
    std::lock_guard lock(state_->mutex);
    for (const auto& registration : state_->registrations) {
      if (registration.name == name) observers.push_back(registration.observer);
    }
  }
  // Delivery holds observers weakly: one removed (or whose center is gone) before its turn on
  // the main queue is skipped, and a queued delivery never keeps an observer's captures alive.
  for (auto& weak : observers) {
    state_->mainQueue->post([weak = std::move(weak)] {
      if (auto observer = weak.lock(); observer && *observer) (*observer)();
    });
  }
}

}  // namespace zelk
