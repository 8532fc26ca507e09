#include <gtest/gtest.h>

#include <unordered_set>

#include "TovrinTracker/CounterTracker.hpp"
#include "TovrinTracker/DeferableTracker.hpp"
#include "TovrinTracker/Event.hpp"
#include "TovrinTracker/MockedTracker.hpp"
#include "TovrinTracker/TrackerManager.hpp"
#include "support/RecordingDelegate.hpp"

using tovrin::CounterTracker;
using tovrin::DeferableTracker;
using tovrin::Event;
using tovrin::MockedTracker;
using tovrin::Properties;
using tovrin::TrackerManager;

TEST(Event, EqualityComparesNamesAndPresentPropertiesByValue) {
  auto one = Event::eventWithName("A", {{"n", 1}, {"nested", {{"x", {1, 2}}}}});
  auto oneFloat = Event::eventWithName("A", {{"n", 1.0}, {"nested", {{"x", {1.0, 2}}}}});
  EXPECT_TRUE(one->isEqual(*oneFloat));
  EXPECT_EQ(one->hash(), oneFloat->hash());
  EXPECT_FALSE(one->isEqual(*Event::eventWithName("B", one->properties())));
  EXPECT_FALSE(one->isEqual(*Event::eventWithName("A", {{"n", 2}})));
  EXPECT_FALSE(one->isEqual(*Event::eventWithName("A", {{"n", "1"}})));

  auto absent1 = Event::eventWithName("A", nullptr);
  auto absent2 = Event::eventWithName("A", nullptr);
  EXPECT_FALSE(absent1->isEqual(*absent2));
  EXPECT_TRUE(absent1->isEqual(*absent1));
  EXPECT_FALSE(absent1->isEqual(*Event::eventWithName("A", Properties::object())));

  std::unordered_set<Event> set{*one, *oneFloat, *Event::eventWithName("A", {{"n", -0.0}}),
                                *Event::eventWithName("A", {{"n", 0}})};
  EXPECT_EQ(set.size(), 2u);
}

TEST(Event, DescriptionIsReadable) {
  EXPECT_EQ(Event::eventWithName("Opened", {{"k", 1}})->description(),
            "<Event: Opened, {\"k\":1}>");
  EXPECT_EQ(Event::eventWithName("Closed", nullptr)->description(), "<Event: Closed, (null)>");
}

TEST(CounterTracker, StoresEveryCallAndHandsOutSnapshots) {
  auto counter = std::make_shared<CounterTracker>();
  EXPECT_EQ(counter->tracksCount(), 0u);
  counter->track("A", {{"k", 1}});
  counter->track("B", nullptr);
  counter->track("A", {{"k", 1.0}});
  auto snapshot = counter->events();
  counter->track("C", nullptr);
  ASSERT_EQ(snapshot.size(), 3u);
  EXPECT_EQ(counter->storage().size(), 4u);
  EXPECT_EQ(counter->tracksCount(), 4u);
  EXPECT_TRUE(snapshot[1]->properties().is_null());
  EXPECT_TRUE(snapshot[0]->isEqual(*snapshot[2]));
  EXPECT_EQ(snapshot[0], counter->storage()[0]);  // the snapshot shares the records

  counter->setStorage({});
  EXPECT_EQ(counter->tracksCount(), 0u);
  counter->setUploadsCount(7);
  EXPECT_EQ(counter->uploadsCount(), 7u);
}

TEST(MockedTracker, MergesTheLastEventOverAccumulatedSuperProperties) {
  auto mocked = std::make_shared<MockedTracker>();
  EXPECT_FALSE(mocked->name());
  EXPECT_TRUE(mocked->globalProperties().empty());
  mocked->setSuperProperties({{"a", 1}});
  mocked->setSuperProperties({{"b", 2}});
  mocked->setSuperProperties({{"a", 3}});
  EXPECT_EQ(mocked->globalProperties(), (Properties{{"a", 3}, {"b", 2}}));
  mocked->track("X", {{"a", 9}, {"c", 4}});
  EXPECT_EQ(mocked->name(), "X");
  EXPECT_EQ(mocked->properties(), (Properties{{"a", 9}, {"b", 2}, {"c", 4}}));

  mocked->setSuperProperties({{"late", true}});
  EXPECT_EQ(mocked->properties().count("late"), 0u);  // recorded values are not recomputed
  mocked->globalProperties()["live"] = 1;
  mocked->track("Y", nullptr);
  EXPECT_EQ(mocked->properties(), (Properties{{"a", 3}, {"b", 2}, {"late", true}, {"live", 1}}));
}

TEST(MockedTracker, TimedNotificationsRecordOnlyTheirOwnFields) {
  auto mocked = std::make_shared<MockedTracker>();
  auto timed = mocked->timed();
  mocked->timedTrackerEventStarted(timed, "S");
  EXPECT_EQ(mocked->startedEvent(), "S");
  EXPECT_FALSE(mocked->name());
  mocked->timedTrackerEventFinished(timed,
                                    tovrin::TimedEvent::timedEventWithName("F", {{"k", 1}}, 2.5));
  mocked->track("T", nullptr);
  EXPECT_EQ(mocked->startedEvent(), "S");
  EXPECT_EQ(mocked->name(), "T");
  EXPECT_EQ(mocked->sessionLength(), 2.5);
}

TEST(InspectionTrackers, MergedTimedEventThroughAManager) {
  tovrin::test::ManualClock clock(0);
  auto counter = std::make_shared<CounterTracker>();
  auto mocked = std::make_shared<MockedTracker>();
  auto manager = std::make_shared<TrackerManager>(TrackerManager::TrackerList{counter, mocked},
                                                  nullptr, "test");
  manager->setSuperProperties({{"plan", "pro"}});
  auto timed = manager->timed();
  timed->start("Export", 10);
  timed->track("Export", {{"format", "png"}, {"plan", "free"}}, 12, 5);
  timed->start("Export", 13);
  timed->track("Export", {{"pages", 3}}, 14.5, 5);
  EXPECT_EQ(counter->timesStarted(), 2u);
  EXPECT_EQ(counter->timesFinished(), 0u);
  clock.runUntil(5);
  EXPECT_EQ(counter->timesFinished(), 1u);
  EXPECT_EQ(mocked->name(), "Export");
  EXPECT_EQ(mocked->properties(), (Properties{{"format", "png"}, {"pages", 3}, {"plan", "free"}}));
  EXPECT_DOUBLE_EQ(mocked->sessionLength(), 3.5);
  EXPECT_EQ(counter->tracksCount(), 0u);  // timed reports are not tracked events
}

namespace {

struct Switch : DeferableTracker {
  std::vector<std::pair<bool, bool>> changes;  // (argument, enabled() inside the hook)
  void enableStateDidChange(bool enabled) override {
    changes.emplace_back(enabled, this->enabled());
  }
};

}  // namespace

TEST(DeferableTracker, EverySettingIsAnnouncedAfterItIsStored) {
  auto plain = DeferableTracker::deferredTracker();
  EXPECT_FALSE(plain->enabled());
  std::shared_ptr<Switch> mine = Switch::deferredTracker<Switch>();
  EXPECT_FALSE(mine->enabled());
  EXPECT_TRUE(mine->changes.empty());
  mine->setEnabled(true);
  mine->setEnabled(true);
  mine->setEnabled(false);
  EXPECT_EQ(mine->changes,
            (std::vector<std::pair<bool, bool>>{{true, true}, {true, true}, {false, false}}));
}
