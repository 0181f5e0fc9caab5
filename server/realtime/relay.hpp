// SPDX-License-Identifier: Apache-2.0
// Realtime messages across instances that share a store. Any instance may commit a message for a
// device whose stream another one holds; the store announces it (the device, not the message),
// and the relay of the instance that holds a stream of that device reads what its streams lack
// and writes it to them. It also tells the store which devices have a stream open here, so that
// other instances do not take them for idle.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>

#include "metrics/metrics.hpp"
#include "realtime/hub.hpp"
#include "service/service.hpp"
#include "storage/store.hpp"

namespace zelk::server {

class Relay {
 public:
  // `store` is the service's; only a shared one announces anything.
  Relay(Store& store, Service& service, Hub& hub, Metrics& metrics,
        std::chrono::milliseconds activeEvery = kActiveMarkPeriod);
  ~Relay();  // stop()
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // Starts listening to the store and marking devices active. Call once.
  void start();
  // Returns once no notice is handled any more; the hub, the service and the store must outlive
  // the relay until then.
  void stop();

  // A stream of `device` opened here: the store hears of it soon, on the relay's own thread, so
  // the caller (the server's loop) never waits for the store.
  void streamOpened(const std::string& device);

  // Writes to the streams of `device` held here what they lack of its messages, or its logout
  // order when it was detached. Runs on the store's listening thread; public for tests.
  void catchUp(const std::string& device);

 private:
  void onNotice(const StoreNotice& notice);
  void markActiveLoop();

  Store& store_;
  Service& service_;
  Hub& hub_;
  Metrics& metrics_;
  std::chrono::milliseconds activeEvery_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::unordered_set<std::string> opened_;  // devices whose stream opened since the last mark
  bool started_ = false, stopping_ = false;
  std::thread marker_;
};

}  // namespace zelk::server
