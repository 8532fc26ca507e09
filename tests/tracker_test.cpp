#include <gtest/gtest.h>

#include "TovrinTracker/Tracker.hpp"
#include "TovrinTracker/Version.hpp"
#include "support/RecordingDelegate.hpp"

using tovrin::Properties;
using tovrin::TimedTracker;
using tovrin::Tracker;

namespace {

// Counts the calls that reach the merge variant of timedFinish.
struct FinishSpy : Tracker {
  using Tracker::timedFinish;
  std::vector<double> intervals;
  void timedFinish(const std::string& name, const Properties& properties,
                   double interval) override {
    intervals.push_back(interval);
    Tracker::timedFinish(name, properties, interval);
  }
};

struct NotifiedTracker : Tracker {
  std::vector<std::string> started;
  std::vector<std::shared_ptr<tovrin::TimedEvent>> finished;
  void timedTrackerEventStarted(const std::shared_ptr<TimedTracker>&,
                                const std::string& name) override {
    started.push_back(name);
  }
  void timedTrackerEventFinished(const std::shared_ptr<TimedTracker>&,
                                 const std::shared_ptr<tovrin::TimedEvent>& event) override {
    finished.push_back(event);
  }
};

}  // namespace

TEST(Tracker, NewTrackerOwnsATimedTrackerWhoseDelegateItIs) {
  auto tracker = std::make_shared<Tracker>();
  EXPECT_FALSE(tracker->uuid());
  EXPECT_FALSE(tracker->email());
  ASSERT_NE(tracker->timed(), nullptr);
  EXPECT_TRUE(tracker->timed()->events().empty());
  EXPECT_EQ(tracker->timed()->delegate().get(),
            static_cast<tovrin::TimedTrackerDelegate*>(tracker.get()));
}

TEST(Tracker, TimedOperationsReachTheSubclassNotifications) {
  tovrin::test::ManualClock clock(0);
  auto tracker = std::make_shared<NotifiedTracker>();
  tracker->timedTrack("Export");
  tracker->event("Export", "pages");
  tracker->timedFinish("Export", {{"format", "png"}});
  ASSERT_EQ(tracker->started, (std::vector<std::string>{"Export"}));
  ASSERT_EQ(tracker->finished.size(), 1u);
  EXPECT_EQ(tracker->finished[0]->properties(), (Properties{{"format", "png"}, {"pages", 1.0}}));
  EXPECT_GE(tracker->finished[0]->sessionLength(), 0);

  tracker->timedTrack("Later");
  tracker->timedFinish("Later", nullptr, 2);
  EXPECT_EQ(tracker->finished.size(), 1u);
  tracker->timedFlush("Later");
  EXPECT_EQ(tracker->finished.size(), 2u);
}

TEST(Tracker, TwoArgumentFinishGoesThroughTheOverriddenMergeVariant) {
  auto spy = std::make_shared<FinishSpy>();
  spy->timedTrack("A");
  spy->timedFinish("A", nullptr);
  EXPECT_EQ(spy->intervals, (std::vector<double>{0.0}));
}

TEST(Tracker, ReplacedTimedTrackerReportsOnlyOnceItsDelegateIsSet) {
  auto tracker = std::make_shared<NotifiedTracker>();
  auto other = std::make_shared<TimedTracker>();
  tracker->setTimed(other);
  tracker->timedTrack("A");
  EXPECT_TRUE(tracker->started.empty());
  other->setDelegate(tracker->asDelegate());
  tracker->timedTrack("A");
  EXPECT_EQ(tracker->started.size(), 1u);

  tracker->setTimed(nullptr);  // the timed operations then do nothing
  tracker->timedTrack("B");
  tracker->timedFinish("B", nullptr);
  tracker->event("B", "k");
  tracker->timedFlush("B");
  EXPECT_EQ(tracker->started.size(), 1u);
}

TEST(Tracker, IdentityValuesAreCopies) {
  Tracker tracker;  // also usable without a shared_ptr
  std::string value = "user@example.com";
  tracker.setEmail(value);
  value[0] = 'X';
  EXPECT_EQ(tracker.email(), "user@example.com");
  tracker.setEmail(std::nullopt);
  EXPECT_FALSE(tracker.email());
}

TEST(Version, ConstantsCarryTheReleaseText) {
  EXPECT_EQ(tovrin::TovrinTrackerVersionNumber, 1.0);
  EXPECT_STREQ(reinterpret_cast<const char*>(tovrin::TovrinTrackerVersionString),
               "@(#)PROGRAM:TovrinTracker  PROJECT:Tovrin-1\n");
}
