// SPDX-License-Identifier: Apache-2.0
#include "realtime/relay.hpp"

#include <iostream>
#include <vector>

namespace zelk::server {

Relay::Relay(Store& store, Service& service, Hub& hub, Metrics& metrics,
             std::chrono::milliseconds activeEvery)
    : store_(store), service_(service), hub_(hub), metrics_(metrics), activeEvery_(activeEvery) {}

Relay::~Relay() {
  stop();
}

void Relay::start() {
  {
    std::lock_guard lock(mutex_);
    if (started_ || !store_.shared()) return;
    started_ = true;
  }
  store_.listen([this](const StoreNotice& notice) { onNotice(notice); });
  marker_ = std::thread([this] { markActiveLoop(); });
}

void Relay::stop() {
  {
    std::lock_guard lock(mutex_);
    if (!started_ || stopping_) return;
    stopping_ = true;
  }
  wake_.notify_all();
  if (marker_.joinable()) marker_.join();
  store_.stopListening();
}

void Relay::streamOpened(const std::string& device) {
  {
    std::lock_guard lock(mutex_);
    if (!started_ || stopping_) return;
    opened_.insert(device);
  }
  wake_.notify_all();
}

void Relay::onNotice(const StoreNotice& notice) {
  try {
    switch (notice.kind) {
      case StoreNotice::Kind::messages:
        catchUp(notice.key);
        break;
      case StoreNotice::Kind::project:
        service_.dropProject(notice.key);
        break;
      case StoreNotice::Kind::resync:
        // Notices may have been missed meanwhile: every device with a stream here is read
        // afresh, and so is every project.
        service_.dropProject("");
        for (const auto& [device, streams] : hub_.openStreamsByDevice()) catchUp(device);
        break;
    }
  } catch (const StoreError& error) {
    // The store loses its listening connection with the database, and then says resync.
    std::cerr << "zelk-server: storage failure: " << error.what() << std::endl;
  }
}

void Relay::catchUp(const std::string& device) {
  const std::optional<std::uint64_t> known = hub_.knownUpTo(device);
  if (!known) return;  // no stream of it here
  const std::vector<KeptMessage> messages = store_.messagesAfter(device, *known);
  std::uint64_t sent = 0;
  if (!messages.empty()) {
    for (const KeptMessage& message : messages) {
      const int streams = hub_.deliver({device, message.id, message.data});
      if (streams > 0) metrics_.observeNotifyLag(Clock::now() - message.sentAt);
      sent += static_cast<std::uint64_t>(streams);
    }
  } else if (const std::optional<DetachedDevice> detached = store_.readDetached(device)) {
    // Detached on some instance: its streams hear the logout order (once: a stream that has it
    // skips it).
    hub_.forget(device);
    const int streams = hub_.deliver({device, detached->logoutId, logoutData()});
    if (streams > 0) metrics_.observeNotifyLag(Clock::now() - detached->detachedAt);
    sent += static_cast<std::uint64_t>(streams);
  }
  metrics_.countMessages(sent);
}

void Relay::markActiveLoop() {
  auto next = std::chrono::steady_clock::now();
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    wake_.wait_until(lock, next, [&] { return stopping_ || !opened_.empty(); });
    if (stopping_) break;
    std::vector<std::string> devices;
    const bool all = std::chrono::steady_clock::now() >= next;
    if (all) {
      opened_.clear();
      next = std::chrono::steady_clock::now() + activeEvery_;
    } else {
      devices.assign(opened_.begin(), opened_.end());
      opened_.clear();
    }
    lock.unlock();
    if (all) {
      for (const auto& [device, streams] : hub_.openStreamsByDevice()) devices.push_back(device);
    }
    if (!devices.empty()) {
      try {
        store_.markActive(devices, Clock::now());
      } catch (const StoreError& error) {
        // Marked at the next round; until then the grace of each device covers it.
        std::cerr << "zelk-server: storage failure: " << error.what() << std::endl;
      }
    }
    lock.lock();
  }
}

}  // namespace zelk::server
