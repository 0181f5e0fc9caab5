// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace zelk::detail {

/// 2^53: the largest value of a random draw, which stands for the whole half delay.
inline constexpr std::uint64_t kRandomDrawRange = std::uint64_t{1} << 53;

/// The delay in seconds before reconnection attempt number `backoffCount`: half of
/// min(`maxDelay`, `baseDelay` × 2^`backoffCount`), plus that half scaled by `draw` / 2^53. A
/// product that is not less than `maxDelay`, infinite or not a number included, is replaced by
/// `maxDelay`. `draw` lies in [0, 2^53]; the result lies in [capped / 2, capped].
double backoffDelay(std::int64_t backoffCount, double baseDelay, double maxDelay,
                    std::uint64_t draw);

/// Maps 64-bit random words onto a uniform integer in [0, 2^53], calling `nextWord` again for
/// the few words that would bias the result.
std::uint64_t uniformDraw(const std::function<std::uint64_t()>& nextWord);

/// A uniform integer in [0, 2^53] from the operating system's random source.
std::uint64_t systemRandomDraw();

/// Decides how long the event stream waits before it reconnects: exponential backoff with
/// jitter, capped at `maxDelay`, starting over after a connection that stayed open for at least
/// `resetInterval`.
///
/// Not thread-safe: one owner calls it from one thread at a time.
class ReconnectionTimer {
 public:
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;
  /// Returns a uniform integer in [0, 2^53].
  using RandomDraw = std::function<std::uint64_t()>;

  /// `maxDelay` and `resetInterval` are in seconds. Tests inject `now` and `draw`.
  ReconnectionTimer(double maxDelay, double resetInterval, Now now = Clock::now,
                    RandomDraw draw = systemRandomDraw);

  /// Records that a connection has just opened.
  void markConnected() { connectedTime_ = now_(); }

  /// The delay in seconds before the next connection attempt, after a connection ended. Counts
  /// the attempt, starts the count over if the last connection stayed open for at least
  /// `resetInterval`, and forgets when it opened.
  double reconnectDelay(double baseDelay);

  std::int64_t backoffCount() const { return backoffCount_; }
  std::optional<Clock::time_point> connectedTime() const { return connectedTime_; }

 private:
  double maxDelay_;
  double resetInterval_;
  Now now_;
  RandomDraw draw_;
  std::int64_t backoffCount_ = 0;
  std::optional<Clock::time_point> connectedTime_;
};

}  // namespace zelk::detail
