// SPDX-License-Identifier: Apache-2.0
#include <zelk/notification_center.hpp>
#include <zelk/run_loop.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace zelk {
namespace {

using namespace std::chrono_literals;

TEST(RunLoopTest, RunsPostedTasksInOrderOnTheRunningThread) {
  RunLoop loop;
  std::vector<int> order;
  std::thread::id ranOn;
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) loop.post([&order, i] { order.push_back(i); });
    loop.post([&] { ranOn = std::this_thread::get_id(); });
  });
  poster.join();
  EXPECT_TRUE(loop.runUntil([&] { return ranOn != std::thread::id(); }, 5s));
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

TEST(RunLoopTest, DelayedTasksRunWhenDueInDueOrder) {
  RunLoop loop;
  std::vector<int> order;
  loop.postAfter(30ms, [&] { order.push_back(3); });
  loop.postAfter(10ms, [&] { order.push_back(2); });
  loop.post([&] { order.push_back(1); });
  EXPECT_TRUE(loop.runUntil([&] { return order.size() == 3; }, 5s));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(RunLoopTest, RunUntilKeepsRunningTasksUntilThePredicateHolds) {
  RunLoop loop;
  int count = 0;
  std::function<void()> again = [&] {
    if (++count < 50) loop.post(again);
  };
  loop.post(again);
  EXPECT_TRUE(loop.runUntil([&] { return count == 50; }, 5s));
}

TEST(RunLoopTest, RunUntilSeesAConditionSetByAnotherThreadWhenTheTimeIsUp) {
  RunLoop loop;
  std::atomic<bool> flag{false};
  std::thread([&] { flag = true; }).join();
  loop.postAfter(1h, [] {});
  EXPECT_TRUE(loop.runUntil([&] { return flag.load(); }, 0ms));
}

TEST(RunLoopTest, RunUntilReportsATimeoutAndLeavesLaterTasksQueued) {
  RunLoop loop;
  bool ran = false;
  loop.postAfter(1h, [&] { ran = true; });
  EXPECT_FALSE(loop.runUntil([&] { return ran; }, 20ms));
  EXPECT_FALSE(ran);
}

TEST(RunLoopTest, StopFromAnotherThreadEndsRun) {
  RunLoop loop;
  std::atomic<bool> inside{false};
  loop.post([&] { inside = true; });
  std::thread stopper([&] {
    while (!inside) std::this_thread::yield();
    loop.stop();
  });
  loop.run();  // returns only through stop()
  stopper.join();
  EXPECT_TRUE(inside);
}

TEST(RunLoopTest, IsCurrentThreadOnlyWhileRunning) {
  RunLoop loop;
  EXPECT_FALSE(loop.isCurrentThread());
  bool inside = false;
  loop.post([&] { inside = loop.isCurrentThread(); });
  loop.runUntil([] { return false; }, 10ms);
  EXPECT_TRUE(inside);
  EXPECT_FALSE(loop.isCurrentThread());
}

TEST(NotificationCenterTest, DeliversOnTheMainQueueToObserversOfThatName) {
  auto loop = std::make_shared<RunLoop>();
  NotificationCenter center(loop);
  int resign = 0, active = 0;
  center.addObserver(AppNotification::willResignActive, [&] { ++resign; });
  center.addObserver(AppNotification::didBecomeActive, [&] { ++active; });
  std::thread([&] { center.post(AppNotification::willResignActive); }).join();
  EXPECT_EQ(resign, 0);  // not before the main queue runs
  loop->runUntil([&] { return resign == 1; }, 5s);
  EXPECT_EQ(resign, 1);
  EXPECT_EQ(active, 0);
}

TEST(NotificationCenterTest, RemovedObserversAreNotCalledEvenWhenAlreadyQueued) {
  auto loop = std::make_shared<RunLoop>();
  NotificationCenter center(loop);
  int calls = 0;
  auto token = center.addObserver(AppNotification::didBecomeActive, [&] { ++calls; });
  center.post(AppNotification::didBecomeActive);
  center.removeObserver(token);
  center.post(AppNotification::didBecomeActive);
  loop->runUntil([] { return false; }, 20ms);
  EXPECT_EQ(calls, 0);
}

TEST(NotificationCenterTest, ObserversKeepTheirCapturesAliveUntilTheCenterGoes) {
  auto loop = std::make_shared<RunLoop>();
  auto held = std::make_shared<int>(7);
  std::weak_ptr<int> watch = held;
  {
    NotificationCenter center(loop);
    center.addObserver(AppNotification::didBecomeActive, [held] { (void)held; });
    held.reset();
    EXPECT_FALSE(watch.expired());
  }
  EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace zelk
