// SPDX-License-Identifier: Apache-2.0
// Realtime messages and changes across instances that share a store. Any instance may commit a
// message for a device whose stream another one holds, or change records another one holds a
// copy of; the store announces it, and the relay of every other instance acts on it: it writes
// the message to the streams of that device it holds (the message travels in the notice, or is
// read when too long), drops the copy of the user's records, takes the project's settings
// afresh, notes whose streams opened and ended. Its own notices it skips. When notices may have
// been missed, everything held is read afresh, and every stream held here reads what it lacks.
#pragma once

#include <mutex>
#include <string>

#include "metrics/metrics.hpp"
#include "realtime/hub.hpp"
#include "service/service.hpp"
#include "storage/store.hpp"

namespace zelk::server {

class Relay {
 public:
  // `store` is the service's; only a shared one announces anything.
  Relay(Store& store, Service& service, Hub& hub, Metrics& metrics);
  ~Relay();  // stop()
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // Starts listening to the store. Call once.
  void start();
  // Returns once no notice is handled any more; the hub, the service and the store must outlive
  // the relay until then.
  void stop();

  // Handles one notice; runs on the store's listening thread. Public for tests.
  void onNotice(const StoreNotice& notice);
  // Writes to the streams of `device` held here what they lack of its messages, or its logout
  // order when it was detached.
  void catchUp(const std::string& device);

 private:
  Store& store_;
  Service& service_;
  Hub& hub_;
  Metrics& metrics_;
  std::mutex mutex_;
  bool started_ = false, stopped_ = false;
};

}  // namespace zelk::server
