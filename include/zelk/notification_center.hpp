// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/export.hpp>
#include <zelk/main_queue.hpp>

#include <cstdint>
#include <functional>
#include <memory>

namespace zelk {

/// The two application lifecycle events the library follows.
enum class AppNotification {
  willResignActive,  ///< the application is about to leave the foreground
  didBecomeActive,   ///< the application is in the foreground again
};

/// Delivers application lifecycle notifications to observers on the main queue.
///
/// The host posts the notifications (a Qt host maps application state changes to them). Every
/// observer stays registered, and keeps what its block holds alive, until it is removed or the
/// center is destroyed.
class ZELK_EXPORT NotificationCenter {
 public:
  using Observer = std::function<void()>;  ///< Runs on the center's main queue per post.
  using Token = std::uint64_t;             ///< Identifies one registration.

  /// A center delivering on `mainQueue` (null: `RunLoop::main()`).
  explicit NotificationCenter(std::shared_ptr<MainQueue> mainQueue = nullptr);
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  /// The process-wide center that `Platform` uses when the host names none.
  static std::shared_ptr<NotificationCenter> defaultCenter();

  /// Registers `observer` for `name`. Returns a token for `removeObserver`. Any thread.
  Token addObserver(AppNotification name, Observer observer);

  /// Unregisters an observer; unknown tokens are ignored. Any thread.
  void removeObserver(Token token);

  /// Queues one call of every observer of `name` on the main queue, in registration order.
  /// Any thread.
  void post(AppNotification name);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace zelk
