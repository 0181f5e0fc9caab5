// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/zelk.hpp>

#include "client/zelk_impl.hpp"
#include "sandbox.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace zelk::testing {

/// A sandbox service on loopback and the platform pieces of one or more clients: each test runs
/// its own main loop on the test thread, with its own notification center and preferences.
class ClientFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(sandbox.start(&error)) << error;
  }

  static DeviceFacts phoneFacts(std::string vendorID = "0A1B2C3D-4E5F-4061-8272-839495A6B7C8") {
    return {"iPhone", "iOS", "17.2", std::move(vendorID)};
  }

  Platform platform(DeviceFacts facts = phoneFacts(),
                    std::shared_ptr<PreferencesStore> store = nullptr) {
    Platform platform;
    platform.baseURL = sandbox.baseURL();
    platform.mainQueue = loop;
    platform.preferences = store ? std::move(store) : preferences;
    platform.deviceFacts = [facts = std::move(facts)] { return facts; };
    platform.notifications = center;
    return platform;
  }

  std::shared_ptr<Zelk> makeClient(std::string clientID = "project one", Platform p = {}) {
    if (p.baseURL.empty()) p = platform();
    auto client = Zelk::create(std::move(clientID), false, std::move(p));
    clients.push_back(client);
    return client;
  }

  // A reply still on its way hops to the main loop holding its client, and the client holds that
  // loop: before the loop goes, let every call of the clients made here finish and its hop run,
  // so that nothing is left queued.
  void TearDown() override {
    for (const auto& weak : clients) {
      if (const auto client = weak.lock()) letRepliesLand(*client, *loop);
    }
  }

  /// Runs `loop` until no service call of `client` is in flight (at most 5 s), then for the hops
  /// those calls queued on it.
  static void letRepliesLand(Zelk& client, RunLoop& loop) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (ZelkInternals::requestsInFlight(client) > 0 &&
           std::chrono::steady_clock::now() < deadline) {
      loop.runUntil([] { return false; }, std::chrono::milliseconds(1));
    }
    loop.runUntil([] { return false; }, std::chrono::milliseconds(20));
  }

  /// Runs the main loop until `predicate` holds (at most 10 s). The predicate may watch state
  /// that other threads change, so it is checked every few milliseconds as well.
  template <class Predicate>
  bool waitFor(Predicate predicate) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!loop->runUntil(predicate, std::chrono::milliseconds(2))) {
      if (std::chrono::steady_clock::now() > deadline) return false;
    }
    return true;
  }

  /// Runs the main loop until no service call of `zelk` is in flight and the loop is idle.
  void settle(Zelk& zelk) {
    waitFor([&] { return ZelkInternals::requestsInFlight(zelk) == 0; });
    loop->runUntil([] { return false; }, std::chrono::milliseconds(20));
  }

  /// The JSON bodies the sandbox received on `path`, in order.
  std::vector<nlohmann::json> bodies(const std::string& path) {
    std::vector<nlohmann::json> result;
    for (const auto& request : sandbox.requests()) {
      if (request.path == path) result.push_back(nlohmann::json::parse(request.body));
    }
    return result;
  }

  sandbox::Sandbox sandbox;
  std::shared_ptr<RunLoop> loop = std::make_shared<RunLoop>();
  std::shared_ptr<NotificationCenter> center = std::make_shared<NotificationCenter>(loop);
  std::shared_ptr<PreferencesStore> preferences = PreferencesStore::inMemory();
  const std::thread::id mainThread = std::this_thread::get_id();
  std::vector<std::weak_ptr<Zelk>> clients;  // made by makeClient, for TearDown
};

/// The lines written to standard output while it lives.
class StdoutCapture {
 public:
  StdoutCapture() { ::testing::internal::CaptureStdout(); }
  ~StdoutCapture() {
    if (!taken_) ::testing::internal::GetCapturedStdout();
  }
  std::string take() {
    taken_ = true;
    return ::testing::internal::GetCapturedStdout();
  }

 private:
  bool taken_ = false;
};

}  // namespace zelk::testing
