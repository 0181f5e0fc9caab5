// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "client/zelk_impl.hpp"
#include "support/own_devices_service.hpp"

#include <zelk/zelk.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace zelk::testing {

/// Clients of an `OwnDevicesService`, with a main loop on the test thread.
class OwnDevicesTest : public ::testing::Test {
 protected:
  std::shared_ptr<Zelk> makeClient(std::string baseURL = {}) {
    Platform platform;
    platform.baseURL = baseURL.empty() ? service.baseURL() : std::move(baseURL);
    platform.mainQueue = loop;
    platform.preferences = PreferencesStore::inMemory();
    platform.deviceFacts = [] { return DeviceFacts{"iPhone", "iOS", "17.2", "VENDOR-1"}; };
    platform.notifications = center;
    auto zelk = Zelk::create("project one", false, std::move(platform));
    zelk->setUserID("user-1");
    made.push_back(zelk);
    return zelk;
  }

  /// A client whose attach has told it its device and access.
  std::shared_ptr<Zelk> attachedClient() {
    auto zelk = makeClient();
    zelk->attach();
    EXPECT_TRUE(waitFor([&] { return zelk->deviceID().has_value(); }));
    return zelk;
  }

  // Replies still on their way hop to the loop holding their client: let them land first.
  void TearDown() override {
    for (const auto& weak : made) {
      const auto zelk = weak.lock();
      if (!zelk) continue;
      waitFor([&] { return ZelkInternals::requestsInFlight(*zelk) == 0; });
      loop->runUntil([] { return false; }, std::chrono::milliseconds(20));
    }
  }

  /// Runs the main loop until `predicate` holds (at most 10 s).
  template <class Predicate>
  bool waitFor(Predicate predicate) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!loop->runUntil(predicate, std::chrono::milliseconds(2))) {
      if (std::chrono::steady_clock::now() > deadline) return false;
    }
    return true;
  }

  OwnDevicesService service;
  std::shared_ptr<RunLoop> loop = std::make_shared<RunLoop>();
  std::shared_ptr<NotificationCenter> center = std::make_shared<NotificationCenter>(loop);
  std::vector<std::weak_ptr<Zelk>> made;
  const std::thread::id mainThread = std::this_thread::get_id();
};

}  // namespace zelk::testing
