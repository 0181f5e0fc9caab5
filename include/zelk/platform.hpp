// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/device_facts.hpp>
#include <zelk/main_queue.hpp>
#include <zelk/notification_center.hpp>
#include <zelk/preferences.hpp>

#include <functional>
#include <memory>
#include <string>

namespace zelk {

class ChallengePresenter;

/// The services a `Zelk` client runs on. Every member has a default, so `Platform{}` is a
/// complete platform for a desktop host driving `RunLoop::main()`.
struct Platform {
  /// Prefix of every service URL, e.g. "http://127.0.0.1:8080". Empty: the service's https URL.
  std::string baseURL;
  /// The host's main thread. Null: `RunLoop::main()`.
  std::shared_ptr<MainQueue> mainQueue;
  /// Where the device identity is kept. Null: the default file store.
  std::shared_ptr<PreferencesStore> preferences;
  /// The facts reported for this device, asked for on every request. Empty: `currentDeviceFacts`.
  std::function<DeviceFacts()> deviceFacts;
  /// Where the application lifecycle is announced. Null: `NotificationCenter::defaultCenter()`.
  std::shared_ptr<NotificationCenter> notifications;
  /// An extra PEM bundle of certificate authorities to trust besides the system's. Empty: the
  /// system store only.
  std::string caFile;
  /// Shows the challenge as a modal screen for clients made with `useViewController` true.
  /// Null: the challenge container is kept but not shown, as when the host has no active window.
  std::shared_ptr<ChallengePresenter> presenter;
};

}  // namespace zelk
