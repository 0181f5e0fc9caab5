// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/client.hpp>
#include <zelk/main_queue.hpp>
#include <zelk/notification_center.hpp>

#include <memory>

namespace zelk::capi {

/// What a client handle holds: the client, its main queue, and the notification center of its
/// own that the host's lifecycle events go to (its registrations keep the client alive; they go
/// with the handle).
struct ClientHandle {
  std::shared_ptr<MainQueue> queue;
  std::shared_ptr<NotificationCenter> center;
  std::shared_ptr<Zelk> zelk;

  ~ClientHandle() {
    zelk.reset();
    center.reset();
  }
};

}  // namespace zelk::capi
