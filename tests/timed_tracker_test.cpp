#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "TovrinTracker/RunLoop.hpp"
#include "TovrinTracker/TimedTracker.hpp"
#include "TovrinTracker/Tracker.hpp"
#include "support/RecordingDelegate.hpp"
#include "support/TestSupport.hpp"

using tovrin::Properties;
using tovrin::RunLoop;
using tovrin::TimedTracker;
using tovrin::test::ManualClock;
using tovrin::test::RecordingDelegate;

namespace {

struct TimedTrackerTest : ::testing::Test {
  ManualClock clock{1000};
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  std::shared_ptr<TimedTracker> timed = std::make_shared<TimedTracker>();
  void SetUp() override { timed->setDelegate(delegate); }
};

}  // namespace

TEST_F(TimedTrackerTest, WorkedMergeExampleProducesOneReport) {
  // The loop's clock follows the event times, so "after 5 seconds" is explicit.
  clock.set(100);
  timed->start("A", 100.0);
  clock.set(103);
  timed->track("A", {{"x", 1}}, 103.0, 5);
  EXPECT_EQ(clock.runUntil(104), 0u);
  timed->start("A", 104.0);
  clock.set(106);
  timed->track("A", {{"y", 2}}, 106.0, 5);
  EXPECT_EQ(clock.runUntil(108.5), 0u);  // the first flush was cancelled by the restart
  EXPECT_EQ(clock.runUntil(110.9), 0u);
  EXPECT_TRUE(delegate->finished.empty());
  EXPECT_EQ(clock.runUntil(111), 1u);

  ASSERT_EQ(delegate->finished.size(), 1u);
  EXPECT_EQ(delegate->started, (std::vector<std::string>{"A", "A"}));
  EXPECT_DOUBLE_EQ(delegate->finished[0]->sessionLength(), 5.0);
  EXPECT_EQ(delegate->finished[0]->properties(), (Properties{{"x", 1}, {"y", 2}}));
  EXPECT_TRUE(timed->events().empty());
  EXPECT_EQ(RunLoop::current().pendingTaskCount(), 0u);
}

TEST_F(TimedTrackerTest, FinishesWithoutARestartMeasureFromTheSingleStart) {
  timed->start("A", 100);
  timed->start("A", 101);  // a restart replaces the start time
  timed->track("A", nullptr, 103, 5);
  timed->track("A", nullptr, 105, 5);
  clock.runUntil(1010);
  ASSERT_EQ(delegate->finished.size(), 1u);
  EXPECT_DOUBLE_EQ(delegate->finished[0]->sessionLength(), 6.0);
}

TEST_F(TimedTrackerTest, ZeroDelayReportsInsideTheCallWithTheReturnedRecord) {
  timed->start("A", 10);
  timed->event("A", "pages");
  auto returned = timed->track("A", {{"k", "v"}}, 11.5, 0);
  ASSERT_EQ(delegate->finished.size(), 1u);
  EXPECT_EQ(returned, delegate->finished[0]);
  EXPECT_DOUBLE_EQ(returned->sessionLength(), 1.5);
  EXPECT_EQ(returned->properties(), (Properties{{"k", "v"}, {"pages", 1.0}}));
  EXPECT_TRUE(timed->events().empty());
  EXPECT_EQ(delegate->senders.back(), timed);
}

TEST_F(TimedTrackerTest, NegativeAndNanDelaysReportOnlyWhenTheLoopRuns) {
  for (double delay : {-1.0, std::numeric_limits<double>::quiet_NaN()}) {
    delegate->finished.clear();
    timed->start("A", 10);
    auto returned = timed->track("A", nullptr, 12, delay);
    EXPECT_TRUE(delegate->finished.empty()) << delay;
    ASSERT_NE(returned, nullptr);
    EXPECT_EQ(clock.runUntil(clock.now()), 1u);
    EXPECT_EQ(delegate->finished.size(), 1u) << delay;
  }
}

TEST_F(TimedTrackerTest, FinishOfAnUnknownNameReportsNothingButSetsTheDelay) {
  EXPECT_EQ(timed->track("never", {{"a", 1}}, 5, 0), nullptr);
  EXPECT_EQ(timed->delay(), 0);
  EXPECT_EQ(timed->track("never", nullptr, 5, 3), nullptr);
  EXPECT_EQ(timed->delay(), 3);
  clock.runUntil(2000);
  timed->flushEvent("never");
  timed->event("never", "k");
  EXPECT_TRUE(delegate->finished.empty());
  EXPECT_TRUE(delegate->started.empty());
  EXPECT_TRUE(timed->events().empty());
}

TEST_F(TimedTrackerTest, FlushOfARunningEventReportsWhatAccumulated) {
  timed->start("A", 1);
  timed->event("A", "n");
  timed->event("A", "n", 2.5);
  timed->flushEvent("A");
  ASSERT_EQ(delegate->finished.size(), 1u);
  EXPECT_EQ(delegate->finished[0]->sessionLength(), 0);
  EXPECT_EQ(delegate->finished[0]->properties(), (Properties{{"n", 3.5}}));
}

TEST_F(TimedTrackerTest, IncrementOnAPendingEventReachesTheLaterReport) {
  timed->start("A", 1);
  timed->track("A", nullptr, 2, 5);
  timed->event("A", "clicks");
  clock.runUntil(1005);
  ASSERT_EQ(delegate->finished.size(), 1u);
  EXPECT_EQ(delegate->finished[0]->properties(), (Properties{{"clicks", 1.0}}));
}

TEST_F(TimedTrackerTest, ExplicitFlushLeavesTheScheduledOneHarmless) {
  timed->start("A", 1);
  timed->track("A", nullptr, 2, 5);
  timed->flushEvent("A");
  EXPECT_EQ(delegate->finished.size(), 1u);
  EXPECT_EQ(clock.runUntil(1005), 1u);  // the scheduled flush runs and finds nothing
  EXPECT_EQ(delegate->finished.size(), 1u);
}

TEST_F(TimedTrackerTest, RecordIsVisibleDuringTheReportAndARestartThenIsDropped) {
  delegate->onFinished = [&](const std::shared_ptr<tovrin::TimedEvent>& event) {
    EXPECT_EQ(timed->events().count("A"), 1u);
    EXPECT_EQ(timed->timedEvents().at("A"), event);
    timed->start("A", 50);
  };
  timed->start("A", 1);
  timed->track("A", nullptr, 2, 0);
  EXPECT_EQ(delegate->started.size(), 2u);
  EXPECT_TRUE(timed->events().empty());
}

TEST_F(TimedTrackerTest, TimedEventsIsASnapshotOfLiveRecords) {
  timed->start("A", 1);
  auto snapshot = timed->timedEvents();
  timed->start("B", 1);
  timed->event("A", "n");
  EXPECT_EQ(snapshot.size(), 1u);
  EXPECT_EQ(snapshot.at("A")->properties(), (Properties{{"n", 1.0}}));
}

TEST_F(TimedTrackerTest, WorksWithoutADelegate) {
  auto lonely = std::make_shared<TimedTracker>();
  lonely->start("A", 1);
  EXPECT_EQ(lonely->events().size(), 1u);
  lonely->track("A", {{"a", 1}}, 3, 2);
  EXPECT_EQ(lonely->events().at("A")->sessionLength(), 2);
  clock.runUntil(1002);
  EXPECT_TRUE(lonely->events().empty());
}

TEST_F(TimedTrackerTest, NonFiniteTimesAreReplacedByTheClockWithALogLine) {
  tovrin::test::LogCapture logs;
  timed->start("A", std::numeric_limits<double>::quiet_NaN());
  auto record = timed->track("A", nullptr, std::numeric_limits<double>::infinity(), 0);
  ASSERT_NE(record, nullptr);
  EXPECT_TRUE(std::isfinite(record->sessionLength()));
  EXPECT_GE(record->sessionLength(), 0);
  EXPECT_EQ(logs.count("not finite"), 2u);
}

TEST_F(TimedTrackerTest, PendingReportOutlivesItsTrackerAndIsDropped) {
  auto tracker = std::make_shared<tovrin::Tracker>();
  std::weak_ptr<TimedTracker> weakTimed = tracker->timed();
  tracker->timedTrack("A");
  tracker->timedFinish("A", {{"k", 1}}, 5);
  tracker.reset();
  ASSERT_FALSE(weakTimed.expired());  // kept alive by the scheduled flush
  EXPECT_EQ(weakTimed.lock()->delegate(), nullptr);
  EXPECT_EQ(clock.runUntil(1005), 1u);
  EXPECT_TRUE(weakTimed.expired());
}

TEST(TimedTrackerThreads, DelayedFlushRunsOnTheSchedulingThreadOnly) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto timed = std::make_shared<TimedTracker>();
  timed->setDelegate(delegate);
  std::thread worker([&] {
    timed->start("A", 1);
    timed->track("A", nullptr, 2, 0.01);
  });
  worker.join();  // the worker's loop never ran: the report stays pending
  RunLoop::current().runFor(0.05);
  EXPECT_TRUE(delegate->finished.empty());
  EXPECT_EQ(timed->events().size(), 1u);

  std::thread runner([&] {
    timed->start("B", 1);
    timed->track("B", nullptr, 2, 0.01);
    RunLoop::current().runUntil([&] { return delegate->finished.size() == 1; }, 5);
  });
  runner.join();
  ASSERT_EQ(delegate->finished.size(), 1u);
  EXPECT_EQ(delegate->finished[0]->name(), "B");
}
