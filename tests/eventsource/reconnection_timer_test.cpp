// SPDX-License-Identifier: Apache-2.0
#include "eventsource/reconnection_timer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <limits>
#include <set>

namespace zelk::detail {
namespace {

constexpr std::uint64_t kNone = 0;                // draw for the lower bound: half the delay
constexpr std::uint64_t kAll = kRandomDrawRange;  // draw for the upper bound: the whole delay
constexpr std::uint64_t kHalf = kRandomDrawRange / 2;

TEST(BackoffDelayTest, DoublesPerAttemptUpToTheCap) {
  struct Row {
    std::int64_t count;
    double capped;
  };
  // Base 1 s, cap 30 s.
  for (const Row row : {Row{0, 1}, Row{1, 2}, Row{2, 4}, Row{3, 8}, Row{4, 16}, Row{5, 30},
                        Row{6, 30}, Row{40, 30}}) {
    EXPECT_DOUBLE_EQ(backoffDelay(row.count, 1.0, 30.0, kNone), row.capped / 2) << row.count;
    EXPECT_DOUBLE_EQ(backoffDelay(row.count, 1.0, 30.0, kAll), row.capped) << row.count;
    EXPECT_DOUBLE_EQ(backoffDelay(row.count, 1.0, 30.0, kHalf), row.capped * 0.75) << row.count;
  }
  EXPECT_DOUBLE_EQ(backoffDelay(1, 20.0, 30.0, kNone), 15.0);
  EXPECT_DOUBLE_EQ(backoffDelay(1, 20.0, 30.0, kAll), 30.0);
}

TEST(BackoffDelayTest, DrawScalesTheSecondHalfLinearly) {
  EXPECT_DOUBLE_EQ(backoffDelay(3, 1.0, 30.0, kRandomDrawRange / 4), 4.0 + 1.0);
  EXPECT_DOUBLE_EQ(backoffDelay(5, 1.0, 30.0, kRandomDrawRange / 4 * 3), 15.0 + 11.25);
}

TEST(BackoffDelayTest, ZeroBaseStaysZeroUntilThePowerOverflows) {
  EXPECT_EQ(backoffDelay(1, 0.0, 30.0, kAll), 0.0);
  EXPECT_EQ(backoffDelay(1023, 0.0, 30.0, kAll), 0.0);
  // 2^1024 is infinite and 0 × infinity is not a number: the cap is taken.
  EXPECT_DOUBLE_EQ(backoffDelay(1024, 0.0, 30.0, kNone), 15.0);
  EXPECT_DOUBLE_EQ(backoffDelay(1024, 0.0, 30.0, kAll), 30.0);
}

TEST(BackoffDelayTest, NeverExceedsTheCap) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  for (const std::int64_t count : {std::int64_t{1023}, std::int64_t{1024}, std::int64_t{100000},
                                   std::numeric_limits<std::int64_t>::max()}) {
    EXPECT_DOUBLE_EQ(backoffDelay(count, 1.0, 30.0, kAll), 30.0) << count;
    EXPECT_DOUBLE_EQ(backoffDelay(count, 1.0, 30.0, kNone), 15.0) << count;
  }
  EXPECT_DOUBLE_EQ(backoffDelay(1, inf, 30.0, kAll), 30.0);
  EXPECT_DOUBLE_EQ(backoffDelay(1, nan, 30.0, kAll), 30.0);
}

TEST(UniformDrawTest, MapsWordsOntoZeroToTwoToThe53Inclusive) {
  auto drawFrom = [](std::deque<std::uint64_t> words) {
    return uniformDraw([&words] {
      const std::uint64_t word = words.front();
      words.pop_front();
      return word;
    });
  };
  constexpr std::uint64_t outcomes = kRandomDrawRange + 1;
  EXPECT_EQ(drawFrom({0}), 0u);
  EXPECT_EQ(drawFrom({kRandomDrawRange}), kRandomDrawRange);
  EXPECT_EQ(drawFrom({outcomes + 5}), 5u);
  // 2^64 = 2^11 × (outcomes − 1), so 2^64 mod outcomes = outcomes − 2^11: the words from
  // 2^64 − (outcomes − 2^11) on would favour small results and are drawn again.
  constexpr std::uint64_t firstUnfair = std::uint64_t{0} - (outcomes - 2048);
  EXPECT_EQ(drawFrom({firstUnfair - 1}), kRandomDrawRange);
  EXPECT_EQ(drawFrom({firstUnfair, std::numeric_limits<std::uint64_t>::max(), 7}), 7u);
}

TEST(UniformDrawTest, SystemDrawsStayInRangeAndVary) {
  std::set<std::uint64_t> seen;
  bool upperHalf = false;
  for (int i = 0; i < 200; ++i) {
    const std::uint64_t draw = systemRandomDraw();
    ASSERT_LE(draw, kRandomDrawRange);
    upperHalf = upperHalf || draw > kRandomDrawRange / 2;
    seen.insert(draw);
  }
  EXPECT_GT(seen.size(), 190u);
  EXPECT_TRUE(upperHalf);
}

class ReconnectionTimerTest : public ::testing::Test {
 protected:
  using Clock = ReconnectionTimer::Clock;

  Clock::time_point now = Clock::time_point{} + std::chrono::hours(1);
  std::uint64_t draw = kNone;
  ReconnectionTimer timer{30.0, 60.0, [this] { return now; }, [this] { return draw; }};

  void advance(double seconds) {
    now += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }
};

TEST_F(ReconnectionTimerTest, ConsecutiveFailuresFollowTheBackoffTable) {
  for (const double lower : {1.0, 2.0, 4.0, 8.0, 15.0, 15.0, 15.0}) {
    EXPECT_DOUBLE_EQ(timer.reconnectDelay(1.0), lower);
  }
  EXPECT_EQ(timer.backoffCount(), 7);
  draw = kAll;
  EXPECT_DOUBLE_EQ(timer.reconnectDelay(1.0), 30.0);
}

TEST_F(ReconnectionTimerTest, LongLivedConnectionStartsTheCountOver) {
  timer.reconnectDelay(1.0);
  timer.reconnectDelay(1.0);
  timer.markConnected();
  advance(60.0);  // exactly the reset interval
  EXPECT_DOUBLE_EQ(timer.reconnectDelay(1.0), 0.5);
  EXPECT_EQ(timer.backoffCount(), 0);
  EXPECT_FALSE(timer.connectedTime().has_value());
  // The count grows again from there.
  EXPECT_DOUBLE_EQ(timer.reconnectDelay(1.0), 1.0);
  draw = kAll;
  EXPECT_DOUBLE_EQ(timer.reconnectDelay(1.0), 4.0);
}

TEST_F(ReconnectionTimerTest, ShortConnectionKeepsTheCount) {
  timer.reconnectDelay(1.0);
  timer.markConnected();
  advance(59.9);
  EXPECT_DOUBLE_EQ(timer.reconnectDelay(1.0), 2.0);
  EXPECT_EQ(timer.backoffCount(), 2);
}

TEST_F(ReconnectionTimerTest, OpenTimeCountsOnlyForTheNextDelay) {
  timer.markConnected();
  advance(30.0);
  timer.reconnectDelay(1.0);  // clears the open time
  advance(100.0);
  EXPECT_DOUBLE_EQ(timer.reconnectDelay(1.0), 2.0);
  EXPECT_EQ(timer.backoffCount(), 2);
}

TEST_F(ReconnectionTimerTest, UsesTheBaseDelayItIsGiven) {
  EXPECT_DOUBLE_EQ(timer.reconnectDelay(2.5), 2.5);  // 2.5 × 2 / 2
  EXPECT_EQ(timer.reconnectDelay(0.0), 0.0);
}

}  // namespace
}  // namespace zelk::detail
