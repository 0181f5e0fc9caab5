// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/zelk.h>
#include <zelk/container.hpp>
#include <zelk/main_queue.hpp>

#include <memory>

namespace zelk::capi {

/// A new handle for `container`, whose main thread runs `queue`, following its screens for the
/// host's subscriptions. Main thread.
zelk_container* makeContainer(std::shared_ptr<ZelkContainer> container,
                              std::shared_ptr<MainQueue> queue);

}  // namespace zelk::capi
