#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "TovrinTracker/RunLoop.hpp"
#include "support/RecordingDelegate.hpp"
#include "support/TestSupport.hpp"

using tovrin::RunLoop;
using tovrin::test::ManualClock;

TEST(RunLoop, RunsDueTasksInDueThenSchedulingOrderAndNeverInsideSchedule) {
  ManualClock clock(0);
  auto& loop = RunLoop::current();
  std::vector<std::string> order;
  int target = 0;
  loop.schedule(&target, "late", 2, [&] { order.push_back("late"); });
  loop.schedule(&target, "first", 1, [&] { order.push_back("first"); });
  loop.schedule(&target, "second", 1, [&] { order.push_back("second"); });
  loop.schedule(&target, "now", -3, [&] { order.push_back("now"); });
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(loop.secondsUntilNextTask(), 0.0);
  EXPECT_EQ(clock.runUntil(1), 3u);
  EXPECT_EQ(order, (std::vector<std::string>{"now", "first", "second"}));
  EXPECT_EQ(loop.secondsUntilNextTask(), 1.0);
  EXPECT_EQ(clock.runUntil(5), 1u);
  EXPECT_FALSE(loop.secondsUntilNextTask());
}

TEST(RunLoop, CancelMatchesTargetAndNameOnly) {
  ManualClock clock(0);
  auto& loop = RunLoop::current();
  int a = 0, b = 0;
  int ran = 0;
  loop.schedule(&a, "x", 1, [&] { ++ran; });
  loop.schedule(&a, "x", 2, [&] { ++ran; });
  loop.schedule(&a, "y", 1, [&] { ran += 10; });
  loop.schedule(&b, "x", 1, [&] { ran += 100; });
  EXPECT_EQ(loop.cancel(&a, "x"), 2u);
  clock.runUntil(10);
  EXPECT_EQ(ran, 110);
}

TEST(RunLoop, TaskCancelledByAnEarlierTaskOfTheSameBatchDoesNotRun) {
  ManualClock clock(0);
  auto& loop = RunLoop::current();
  int target = 0;
  bool victimRan = false;
  loop.schedule(&target, "killer", 1, [&] { loop.cancel(&target, "victim"); });
  loop.schedule(&target, "victim", 1, [&] { victimRan = true; });
  clock.runUntil(1);
  EXPECT_FALSE(victimRan);
}

TEST(RunLoop, ScheduledTaskKeepsItsCaptureAliveUntilItRunsOrIsCancelled) {
  ManualClock clock(0);
  auto& loop = RunLoop::current();
  auto value = std::make_shared<int>(7);
  std::weak_ptr<int> weak = value;
  loop.schedule(nullptr, "t", 1, [value] { (void)value; });
  value.reset();
  EXPECT_FALSE(weak.expired());
  loop.cancelAll();
  EXPECT_TRUE(weak.expired());
}

TEST(RunLoop, WakeUpHandlerFiresOnlyForANewEarliestTask) {
  ManualClock clock(0);
  auto& loop = RunLoop::current();
  int wakeUps = 0;
  loop.setWakeUpHandler([&] { ++wakeUps; });
  loop.schedule(nullptr, "a", 5, [] {});
  loop.schedule(nullptr, "b", 7, [] {});
  loop.schedule(nullptr, "c", 1, [] {});
  loop.setWakeUpHandler(nullptr);
  EXPECT_EQ(wakeUps, 2);
}

TEST(RunLoop, ThrowingTaskIsLoggedAndTheNextOneStillRuns) {
  ManualClock clock(0);
  tovrin::test::LogCapture logs;
  auto& loop = RunLoop::current();
  bool secondRan = false;
  loop.schedule(nullptr, "a", 0, [] { throw std::runtime_error("bad"); });
  loop.schedule(nullptr, "b", 0, [&] { secondRan = true; });
  EXPECT_EQ(loop.runDueTasks(), 2u);
  EXPECT_TRUE(secondRan);
  EXPECT_EQ(logs.count("threw: bad"), 1u);
}

TEST(RunLoop, RealTimeRunAndStopFromAnotherThread) {
  auto& loop = RunLoop::current();
  bool ran = false;
  loop.schedule(nullptr, "soon", 0.02, [&] { ran = true; });
  EXPECT_TRUE(loop.runUntil([&] { return ran; }, 10));

  std::atomic<bool> started{false};
  std::thread stopper([&] {
    while (!started)
      std::this_thread::yield();
    loop.stop();
  });
  loop.schedule(nullptr, "mark", 0, [&] { started = true; });
  loop.run();  // returns once the other thread has asked it to stop
  stopper.join();
  EXPECT_TRUE(started);
}

TEST(RunLoop, OtherThreadsCannotRunOrScheduleOnAForeignLoop) {
  tovrin::test::LogCapture logs;
  auto& loop = RunLoop::current();
  bool ran = false;
  loop.schedule(nullptr, "mine", 0, [&] { ran = true; });
  std::thread other([&] {
    EXPECT_EQ(loop.runDueTasks(), 0u);
    loop.schedule(nullptr, "foreign", 0, [] {});
  });
  other.join();
  EXPECT_FALSE(ran);
  EXPECT_EQ(loop.pendingTaskCount(), 1u);
  EXPECT_EQ(logs.count("off the loop's own thread"), 2u);
  loop.runDueTasks();
  EXPECT_TRUE(ran);
}
