// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/event_source.hpp>

#include "platform/curl_loop.hpp"

#include <memory>

namespace zelk::detail {

/// Makes event streams that run on a loop shared with other work (a client's service calls), so
/// that a new stream starts without a thread of its own.
struct EventSourceOnLoop {
  static std::shared_ptr<EventSource> make(EventSource::Config config,
                                           std::shared_ptr<CurlLoop> loop) {
    return std::shared_ptr<EventSource>(new EventSource(std::move(config), std::move(loop)));
  }
};

}  // namespace zelk::detail
