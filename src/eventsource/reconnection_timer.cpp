// SPDX-License-Identifier: Apache-2.0
#include "eventsource/reconnection_timer.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <limits>
#include <random>
#include <utility>

namespace zelk::detail {

double backoffDelay(std::int64_t backoffCount, double baseDelay, double maxDelay,
                    std::uint64_t draw) {
  const double product = baseDelay * std::pow(2.0, static_cast<double>(backoffCount));
  // Written so that an infinite or NaN product also selects the cap.
  const double capped = product < maxDelay ? product : maxDelay;
  const double half = capped * 0.5;
  const double jitter =
      draw >= kRandomDrawRange ? half : half * static_cast<double>(draw) * 0x1p-53;
  return half + jitter;
}

std::uint64_t uniformDraw(const std::function<std::uint64_t()>& nextWord) {
  constexpr std::uint64_t kOutcomes = kRandomDrawRange + 1;
  // The words up to kLastFair cover every outcome equally often; the rest are drawn again.
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  constexpr std::uint64_t kLastFair = kMax - (kMax % kOutcomes + 1) % kOutcomes;
  while (true) {
    const std::uint64_t word = nextWord();
    if (word <= kLastFair) return word % kOutcomes;
  }
}

std::uint64_t systemRandomDraw() {
  return uniformDraw([] {
    std::uint64_t word = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(&word);
    std::size_t filled = 0;
    while (filled < sizeof word) {
      const ssize_t got = getrandom(bytes + filled, sizeof word - filled, 0);
      if (got > 0) {
        filled += static_cast<std::size_t>(got);
      } else if (got < 0 && errno != EINTR) {
        // No getrandom (a kernel older than 3.17): the standard library's source instead.
        std::random_device device;
        return (std::uint64_t{device()} << 32) ^ device();
      }
    }
    return word;
  });
}

ReconnectionTimer::ReconnectionTimer(double maxDelay, double resetInterval, Now now,
                                     RandomDraw draw)
    : maxDelay_(maxDelay),
      resetInterval_(resetInterval),
      now_(std::move(now)),
      draw_(std::move(draw)) {}

double ReconnectionTimer::reconnectDelay(double baseDelay) {
  ++backoffCount_;
  if (connectedTime_) {
    const std::chrono::duration<double> elapsed = now_() - *connectedTime_;
    if (elapsed.count() >= resetInterval_) backoffCount_ = 0;
  }
  connectedTime_.reset();
  return backoffDelay(backoffCount_, baseDelay, maxDelay_, draw_());
}

}  // namespace zelk::detail
