#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "TovrinTracker/CounterTracker.hpp"
#include "TovrinTracker/MockedTracker.hpp"
#include "TovrinTracker/TrackerManager.hpp"
#include "support/RecordingDelegate.hpp"
#include "support/TestSupport.hpp"

using nlohmann::json;
using tovrin::CounterTracker;
using tovrin::MockedTracker;
using tovrin::Properties;
using tovrin::Tracker;
using tovrin::TrackerManager;
using tovrin::TrackerPersister;

namespace {

// A persister that keeps values in memory and records the order of calls.
struct MemoryPersister : TrackerPersister {
  std::map<std::string, json> values;
  std::vector<std::string> calls;
  void setObject(const json& object, const std::string& key) override {
    calls.push_back("set " + key);
    values[key] = object;
  }
  std::optional<json> objectForKey(const std::string& key) override {
    calls.push_back("get " + key);
    auto found = values.find(key);
    if (found == values.end())
      return std::nullopt;
    return found->second;
  }
  void removeObjectForKey(const std::string& key) override {
    calls.push_back("remove " + key);
    values.erase(key);
  }
};

// Records every call that reaches a child, in one log shared by all children.
struct Child : Tracker {
  Child(std::vector<std::string>* log, std::string name) : log(log), name(std::move(name)) {}
  std::vector<std::string>* log;
  std::string name;
  const Properties* lastProperties = nullptr;
  std::shared_ptr<tovrin::TimedTracker> lastSender;
  void track(const std::string& event, const Properties& properties) override {
    lastProperties = &properties;
    log->push_back(name + " track " + event);
  }
  void setSuperProperties(const Properties& properties) override {
    log->push_back(name + " super " + properties.dump());
  }
  void setUuid(const std::optional<std::string>& uuid) override {
    Tracker::setUuid(uuid);
    log->push_back(name + " uuid");
  }
  void setEmail(const std::optional<std::string>& email) override {
    Tracker::setEmail(email);
    log->push_back(name + " email " + email.value_or("nil"));
  }
  void timedTrackerEventStarted(const std::shared_ptr<tovrin::TimedTracker>& sender,
                                const std::string& event) override {
    lastSender = sender;
    log->push_back(name + " started " + event);
  }
  void timedTrackerEventFinished(const std::shared_ptr<tovrin::TimedTracker>& sender,
                                 const std::shared_ptr<tovrin::TimedEvent>& event) override {
    lastSender = sender;
    log->push_back(name + " finished " + event->name());
  }
};

struct ManagerTest : ::testing::Test {
  std::shared_ptr<MemoryPersister> store = std::make_shared<MemoryPersister>();
  std::vector<std::string> log;
  std::shared_ptr<Child> a = std::make_shared<Child>(&log, "A");
  std::shared_ptr<Child> b = std::make_shared<Child>(&log, "B");
};

}  // namespace

TEST_F(ManagerTest, FirstInitialisationGeneratesAndStoresTheUuidInOrder) {
  auto manager = std::make_shared<TrackerManager>(TrackerManager::TrackerList{a, b}, store, "app");
  EXPECT_EQ(store->calls,
            (std::vector<std::string>{"get app.uuid", "set app.uuid", "get app.email"}));
  ASSERT_TRUE(manager->uuid());
  EXPECT_TRUE(std::regex_match(*manager->uuid(),
                               std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-"
                                          "[0-9A-F]{12}")));
  EXPECT_EQ(store->values.at("app.uuid"), *manager->uuid());
  EXPECT_EQ(store->values.count("app.email"), 0u);
  EXPECT_EQ(a->uuid(), manager->uuid());
  EXPECT_EQ(b->uuid(), manager->uuid());
  EXPECT_FALSE(a->email());
  EXPECT_EQ(log, (std::vector<std::string>{"A uuid", "B uuid", "A email nil", "B email nil"}));
}

TEST_F(ManagerTest, SecondInitialisationLoadsTheIdentityAndWritesTheAddressBack) {
  auto first = std::make_shared<TrackerManager>(TrackerManager::TrackerList{}, store, "app");
  first->setEmail("user@example.com");
  store->calls.clear();
  auto second = std::make_shared<TrackerManager>(TrackerManager::TrackerList{a}, store, "app");
  EXPECT_EQ(store->calls,
            (std::vector<std::string>{"get app.uuid", "get app.email", "set app.email"}));
  EXPECT_EQ(second->uuid(), first->uuid());
  EXPECT_EQ(a->email(), "user@example.com");
  auto other = std::make_shared<TrackerManager>(TrackerManager::TrackerList{}, store, "other");
  EXPECT_NE(other->uuid(), first->uuid());
}

TEST_F(ManagerTest, IdentityChangesReachEveryChildButOnlyTheAddressIsStored) {
  auto manager = std::make_shared<TrackerManager>(TrackerManager::TrackerList{a, b}, store, "app");
  const auto storedUuid = store->values.at("app.uuid");
  manager->setEmail("x@example.com");
  EXPECT_EQ(store->values.at("app.email"), "x@example.com");
  manager->setUuid("NEW");
  EXPECT_EQ(b->uuid(), "NEW");
  EXPECT_EQ(b->email(), "x@example.com");  // pushed again with the uuid
  EXPECT_EQ(store->values.at("app.uuid"), storedUuid);
  manager->setEmail(std::nullopt);
  EXPECT_FALSE(a->email());
  EXPECT_EQ(store->values.at("app.email"), "x@example.com");
}

TEST_F(ManagerTest, BroadcastsReachChildrenInOrderWithTheSameDictionary) {
  auto manager =
      std::make_shared<TrackerManager>(TrackerManager::TrackerList{a, b, a}, store, "app");
  log.clear();
  const Properties properties = {{"k", 1}};
  manager->track("Opened", properties);
  manager->setSuperProperties({{"plan", "pro"}});
  EXPECT_EQ(log,
            (std::vector<std::string>{"A track Opened", "B track Opened", "A track Opened",
                                      "A super {\"plan\":\"pro\"}", "B super {\"plan\":\"pro\"}",
                                      "A super {\"plan\":\"pro\"}"}));
  EXPECT_EQ(a->lastProperties, &properties);
  EXPECT_EQ(b->lastProperties, &properties);
}

TEST_F(ManagerTest, TimedEventsRunOnTheManagersTimedTrackerAndNotifyEveryChild) {
  tovrin::test::ManualClock clock(0);
  auto manager = std::make_shared<TrackerManager>(TrackerManager::TrackerList{a, b}, store, "app");
  log.clear();
  manager->timedTrack("Export");
  manager->event("Export", "pages");
  manager->timedFinish("Export", {{"format", "pdf"}});
  EXPECT_EQ(log, (std::vector<std::string>{"A started Export", "B started Export",
                                           "A finished Export", "B finished Export"}));
  EXPECT_EQ(a->lastSender, manager->timed());
  EXPECT_TRUE(a->timed()->events().empty());
}

TEST_F(ManagerTest, ChildrenListIsTheManagersOwn) {
  TrackerManager::TrackerList given{a};
  auto manager = std::make_shared<TrackerManager>(given, store, "app");
  given.push_back(b);
  EXPECT_EQ(manager->trackers()->size(), 1u);

  auto snapshot = manager->allTrackers();
  auto late = std::make_shared<Child>(&log, "late");
  manager->trackers()->push_back(late);
  EXPECT_EQ(snapshot.size(), 1u);
  EXPECT_FALSE(late->uuid());  // appended children get no identity until it changes
  manager->track("E", nullptr);
  EXPECT_EQ(log.back(), "late track E");
  manager->setEmail("e@example.com");
  EXPECT_EQ(late->uuid(), manager->uuid());
}

TEST_F(ManagerTest, ManagerWithoutChildrenOrPersisterDoesNothingQuietly) {
  auto bare = std::make_shared<TrackerManager>();
  bare->track("E", {{"k", 1}});
  bare->setSuperProperties({{"k", 1}});
  bare->timedTrack("T");
  bare->timedFinish("T", nullptr);
  bare->setEmail("a@b.c");
  EXPECT_EQ(bare->trackers(), nullptr);
  EXPECT_TRUE(bare->allTrackers().empty());

  auto noStore = std::make_shared<TrackerManager>(TrackerManager::TrackerList{}, nullptr, "app");
  auto again = std::make_shared<TrackerManager>(TrackerManager::TrackerList{}, nullptr, "app");
  EXPECT_NE(noStore->uuid(), again->uuid());
}

TEST_F(ManagerTest, NestedManagerStoresTheAddressUnderItsOwnIdentifier) {
  auto inner = std::make_shared<TrackerManager>(TrackerManager::TrackerList{a}, store, "inner");
  auto outer = std::make_shared<TrackerManager>(TrackerManager::TrackerList{inner}, store, "outer");
  EXPECT_EQ(a->uuid(), outer->uuid());
  outer->setEmail("n@example.com");
  EXPECT_EQ(store->values.at("inner.email"), "n@example.com");
  EXPECT_EQ(store->values.at("outer.email"), "n@example.com");
  EXPECT_EQ(a->email(), "n@example.com");
}

TEST(TrackerManagerIdentity, RoundTripThroughTheDefaultStore) {
  tovrin::test::TempDir temp;
  TrackerPersister::setStoreDirectory(temp.path());
  std::optional<std::string> uuid;
  {
    auto first = std::make_shared<TrackerManager>(TrackerManager::TrackerList{}, "app");
    first->setEmail("round@example.com");
    uuid = first->uuid();
  }
  TrackerPersister::setStoreDirectory(temp.path());  // as a fresh process would: reload
  auto child = std::make_shared<CounterTracker>();
  auto second = std::make_shared<TrackerManager>(TrackerManager::TrackerList{child}, "app");
  EXPECT_EQ(second->uuid(), uuid);
  EXPECT_EQ(child->email(), "round@example.com");
  EXPECT_EQ(second->identifier(), "app");
  TrackerPersister::setStoreDirectory({});
}

TEST(TrackerManagerShared, DefaultIsCreatedOnceAndReplacementIsThreadSafe) {
  tovrin::test::TempDir temp;
  TrackerPersister::setStoreDirectory(temp.path());
  auto first = TrackerManager::sharedInstance();
  EXPECT_EQ(TrackerManager::sharedInstance(), first);
  EXPECT_EQ(first->identifier(), "");
  EXPECT_TRUE(first->allTrackers().empty());
  EXPECT_EQ(TrackerPersister().objectForKey(".uuid"), json(*first->uuid()));

  auto mine = std::make_shared<TrackerManager>(TrackerManager::TrackerList{}, nullptr, "mine");
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop) {
      auto current = TrackerManager::sharedInstance();
      ASSERT_TRUE(current == first || current == mine);
    }
  });
  mine->setAsSharedInstance();
  mine->setAsSharedInstance();
  stop = true;
  reader.join();
  EXPECT_EQ(TrackerManager::sharedInstance(), mine);

  TrackerManager unowned;  // not held by a shared_ptr: refused with a log line
  tovrin::test::LogCapture logs;
  unowned.setAsSharedInstance();
  EXPECT_EQ(TrackerManager::sharedInstance(), mine);
  EXPECT_EQ(logs.count("not owned by a shared_ptr"), 1u);
  TrackerPersister::setStoreDirectory({});
}

TEST(TrackerManagerShared, SessionEndedConstant) {
  EXPECT_STREQ(tovrin::TrackerManagerEventSessionEnded, "Session Ended");
}
