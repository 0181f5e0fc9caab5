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

  /// Replaces `stream` (none, or one on `loop`) with a new stream made from `config`, and starts
  /// it: the old one stops for good and is released before the new one connects, all in one task
  /// on the loop's thread, so that the caller wakes that thread once and never waits for it.
  /// Same effect as `stream->stop()`, releasing `stream`, then `start()` on the new one.
  static void replace(std::shared_ptr<EventSource>& stream, EventSource::Config config,
                      const std::shared_ptr<CurlLoop>& loop);
};

}  // namespace zelk::detail
