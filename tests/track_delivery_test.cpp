#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "TovrinTracker/HostInfo.hpp"
#include "TovrinTracker/SegmentIOTracker.hpp"
#include "TovrinTracker/TrackerManager.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TestSupport.hpp"

using nlohmann::json;
using tovrin::HttpClient;
using tovrin::HttpRequest;
using tovrin::SegmentIOTracker;
using tovrin::SegmentIOTrackerOptions;
using tovrin::test::LoopbackServer;
using tovrin::test::Reply;
using namespace std::chrono_literals;
using Clock = std::chrono::system_clock;

namespace {

// What the builder was called with, what it returned, and on which thread.
struct BuildCall {
  std::string event;
  Clock::time_point date;
  std::optional<std::string> writeKey, userID;
  std::optional<json> context, properties;
  std::string body;
  std::thread::id thread;
};

// Records every call of the builder and adds a header, so that the test sees both that the
// override ran and what it produced.
class RecordingTracker : public SegmentIOTracker {
 public:
  using SegmentIOTracker::SegmentIOTracker;

  HttpRequest trackingRequestWithEvent(const std::string& event, Clock::time_point date,
                                       const std::optional<std::string>& writeKey,
                                       const std::optional<std::string>& userID,
                                       const std::optional<json>& context,
                                       const std::optional<json>& properties) const override {
    HttpRequest request = SegmentIOTracker::trackingRequestWithEvent(event, date, writeKey, userID,
                                                                     context, properties);
    request.headers.emplace_back("X-Built-By", "RecordingTracker");
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(BuildCall{event, date, writeKey, userID, context, properties, request.body,
                               std::this_thread::get_id()});
    return request;
  }

  std::vector<BuildCall> calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  mutable std::mutex mutex_;
  mutable std::vector<BuildCall> calls_;
};

// Whether two values are equal with the same JSON types throughout (1 and 1u and 1.0 differ).
bool sameValueAndTypes(const json& a, const json& b) {
  if (a.type() != b.type())
    return false;
  if (a.is_object()) {
    if (a.size() != b.size())
      return false;
    for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
      if (ia.key() != ib.key() || !sameValueAndTypes(*ia, *ib))
        return false;
    }
    return true;
  }
  if (a.is_array()) {
    if (a.size() != b.size())
      return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (!sameValueAndTypes(a[i], b[i]))
        return false;
    }
    return true;
  }
  return a == b;
}

const char* kLocation =
    R"({"query":"203.0.113.7","city":"Zürich","country":"Switzerland","lat":47.37,"lon":8.54,"regionName":"Zurich"})";

struct TrackDeliveryTest : ::testing::Test {
  LoopbackServer collector;
  HttpClient client;

  void SetUp() override {
    collector.setReply("/v1/track", Reply(200, R"({"success":true})", "application/json"));
  }
  void TearDown() override {
    tovrin::clearApplicationInfo();
    tovrin::setScreenInfo(0, 0, 0);
  }

  SegmentIOTrackerOptions options() {
    SegmentIOTrackerOptions result;
    result.collectorUrl = collector.url();
    result.geolocationUrl = "";
    result.client = &client;
    return result;
  }

  std::map<std::string, tovrin::test::RecordedRequest> receivedByEvent() {
    EXPECT_TRUE(client.flush(20s));
    std::map<std::string, tovrin::test::RecordedRequest> result;
    for (const auto& request : collector.requests())
      result[json::parse(request.body)["event"].get<std::string>()] = request;
    return result;
  }
};

}  // namespace

TEST_F(TrackDeliveryTest, LocatedEventsCarryExactlyTheBodyTheBuilderMadeForTheirValues) {
  auto tracker = std::make_shared<RecordingTracker>("WRITEKEY", options());
  auto manager = std::make_shared<tovrin::TrackerManager>(
      tovrin::TrackerManager::TrackerList{tracker}, nullptr, "test");
  tracker->setContext(json::parse(kLocation));
  tovrin::setApplicationInfo("Sketcher \"Pro\"", "2.1", "2100");
  tovrin::setScreenInfo(1440, 900, 2);
  const json superProperties = {{"plan", "pro"}, {"k", "super"}, {"n", 1}};
  manager->setSuperProperties(superProperties);

  const std::vector<std::pair<std::string, json>> events = {
      {"All kinds",
       {{"s", "text with \"quotes\", \\, \n and é, 日本, 😀"},
        {"i", -42},
        {"u", std::numeric_limits<std::uint64_t>::max()},
        {"big", std::numeric_limits<std::int64_t>::min()},
        {"d", 0.1},
        {"tiny", 5e-324},
        {"b", true},
        {"nil", nullptr},
        {"empty", json::object()},
        {"list", json::array({1, "two", 3.5, false, nullptr, json::array(), json::object()})},
        {"nested", {{"a", {{"b", {{"c", 1}}}}}}},
        {"k", "own value wins"}}},
      {"No properties", nullptr},
      {"Empty properties", json::object()},
      {"Ünïcödé name \"quoted\"", {{"x", 1}}},
  };
  for (const auto& [name, properties] : events)
    manager->track(name, properties);
  auto received = receivedByEvent();
  const auto calls = tracker->calls();
  ASSERT_EQ(calls.size(), events.size());
  ASSERT_EQ(received.size(), events.size());

  for (std::size_t i = 0; i < events.size(); ++i) {
    const auto& [name, own] = events[i];
    const BuildCall& call = calls[i];
    SCOPED_TRACE(name);
    EXPECT_EQ(call.event, name);
    EXPECT_NE(call.thread, std::this_thread::get_id());  // built on the client's thread
    EXPECT_EQ(call.writeKey, "WRITEKEY");
    EXPECT_EQ(call.userID, manager->uuid());
    EXPECT_EQ(call.context, json::parse(kLocation));
    // Super properties merged under the event's own, every value with its own JSON type.
    json expected = superProperties;
    if (own.is_object()) {
      for (const auto& item : own.items())
        expected[item.key()] = item.value();
    }
    ASSERT_TRUE(call.properties);
    EXPECT_TRUE(sameValueAndTypes(*call.properties, expected)) << call.properties->dump();

    // The collector received the builder's bytes, with the override's header...
    const auto& request = received.at(name);
    EXPECT_EQ(request.body, call.body);
    EXPECT_EQ(request.header("X-Built-By"), "RecordingTracker");
    // ...and the builder makes the very same bytes again from the same values, on this thread.
    const HttpRequest again = tracker->SegmentIOTracker::trackingRequestWithEvent(
        name, call.date, "WRITEKEY", manager->uuid(), json::parse(kLocation), expected);
    EXPECT_EQ(again.body, request.body);
  }
}

TEST_F(TrackDeliveryTest, TheValuesInForceAtTheCallGoOutEvenWhenTheyChangeRightAfter) {
  auto tracker = std::make_shared<RecordingTracker>("WRITEKEY", options());
  tracker->setUuid("USER-1");
  tracker->setSuperProperties({{"plan", "free"}});
  tracker->track("First", {{"k", 1}});
  tracker->setUuid("USER-2");
  tracker->setSuperProperties({{"plan", "pro"}});
  tracker->setContext(json::parse(kLocation));
  tracker->track("Second", {{"k", 2}});
  auto received = receivedByEvent();
  ASSERT_EQ(received.size(), 2u);
  const json first = json::parse(received.at("First").body);
  const json second = json::parse(received.at("Second").body);
  EXPECT_EQ(first["userId"], "USER-1");
  EXPECT_EQ(first["properties"], (json{{"plan", "free"}, {"k", 1}}));
  EXPECT_FALSE(first["context"].contains("location"));
  EXPECT_EQ(second["userId"], "USER-2");
  EXPECT_EQ(second["properties"], (json{{"plan", "pro"}, {"k", 2}}));
  EXPECT_EQ(second["context"]["location"]["city"], "Zürich");
}

TEST_F(TrackDeliveryTest, AnEventTrackedJustBeforeTheLastReferenceGoesIsStillDelivered) {
  std::weak_ptr<SegmentIOTracker> weak;
  {
    auto tracker = std::make_shared<SegmentIOTracker>("WRITEKEY", options());
    weak = tracker;
    for (int i = 0; i < 50; ++i)
      tracker->track("E" + std::to_string(i), {{"i", i}});
  }
  EXPECT_EQ(receivedByEvent().size(), 50u);
  EXPECT_TRUE(weak.expired());  // and the jobs let it go once they have run
}

TEST_F(TrackDeliveryTest, ATrackerNotOwnedByASharedPtrBuildsOnTheCallersThread) {
  RecordingTracker tracker("WRITEKEY", options());
  tracker.setSuperProperties({{"plan", "pro"}});
  tracker.track("Plain", {{"k", 1}});
  auto received = receivedByEvent();
  ASSERT_EQ(received.size(), 1u);
  const auto calls = tracker.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
  EXPECT_EQ(received.at("Plain").body, calls[0].body);
  EXPECT_EQ(json::parse(calls[0].body)["properties"], (json{{"plan", "pro"}, {"k", 1}}));
}
