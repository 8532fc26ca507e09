#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <set>
#include <thread>

#include "TovrinTracker/MF_Base64Codec.hpp"
#include "TovrinTracker/SegmentIOTracker.hpp"
#include "TovrinTracker/TrackerManager.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TestCertificates.hpp"
#include "support/TestSupport.hpp"

using nlohmann::json;
using tovrin::HttpClient;
using tovrin::SegmentIOTracker;
using tovrin::SegmentIOTrackerOptions;
using tovrin::test::LogCapture;
using tovrin::test::LoopbackServer;
using tovrin::test::RecordedRequest;
using tovrin::test::Reply;
using namespace std::chrono_literals;

namespace {

// A loopback port on which nothing listens any more.
int closedLoopbackPort() {
  LoopbackServer gone;
  return gone.port();
}

const char* kLocation =
    R"({"query":"203.0.113.7","city":"Zurich","country":"Switzerland","lat":47.37,"lon":8.54,"regionName":"Zurich"})";

struct SegmentTest : ::testing::Test {
  LogCapture logs;
  LoopbackServer collector;
  LoopbackServer geolocation;
  HttpClient client{[] {
    tovrin::HttpClientOptions options;
    options.exitBudget = 1000ms;
    return options;
  }()};

  void SetUp() override {
    collector.setReply("/v1/track", Reply(200, R"({"success":true})", "application/json"));
    geolocation.setReply("/json/", Reply(200, kLocation, "application/json"));
  }

  SegmentIOTrackerOptions options(bool withGeolocation = true) {
    SegmentIOTrackerOptions result;
    result.collectorUrl = collector.url();
    result.geolocationUrl = withGeolocation ? geolocation.url() : "";
    result.geolocationKey = "GEOKEY123456789";
    result.client = &client;
    return result;
  }

  std::shared_ptr<SegmentIOTracker> make(SegmentIOTrackerOptions o) {
    auto tracker = std::make_shared<SegmentIOTracker>("WRITEKEY", std::move(o));
    tracker->setUuid("USER-1");
    return tracker;
  }

  // Bodies of the track requests received, after everything sent has completed.
  std::vector<json> delivered() {
    EXPECT_TRUE(client.flush(20s));
    std::vector<json> bodies;
    for (const auto& request : collector.requests()) {
      if (request.path == "/v1/track")
        bodies.push_back(json::parse(request.body));
    }
    return bodies;
  }

  static std::set<std::string> names(const std::vector<json>& bodies) {
    std::set<std::string> result;
    for (const auto& body : bodies)
      result.insert(body["event"].get<std::string>());
    return result;
  }
};

}  // namespace

TEST_F(SegmentTest, EventsQueuedDuringTheLookupGoOutWithItsAnswerAndTheirOwnDates) {
  geolocation.setReply("/json/", [] {
    Reply reply(200, kLocation, "application/json");
    reply.hold = true;
    return reply;
  }());
  auto tracker = make(options());
  tracker->track("A", {{"seq", 1}, {"k", "event"}});
  tracker->track("B", nullptr);
  std::this_thread::sleep_for(5ms);  // distinct dates, not a synchronisation
  tracker->track("C", {{"seq", 3}});
  ASSERT_TRUE(geolocation.waitForHeld(1, 10s));
  EXPECT_EQ(tracker->pendingEvents().size(), 3u);
  EXPECT_EQ(tracker->preparedRequests().size(), 3u);
  std::map<std::string, std::string> expectedDates;
  for (const auto& record : tracker->pendingEvents()) {
    expectedDates[record.event] = tracker->dateFormatter().stringFromDate(record.date);
  }
  // Values in force at the flush, not at the call, reach the queued events.
  tracker->setSuperProperties({{"plan", "pro"}, {"k", "super"}});
  tracker->setUuid("USER-2");
  geolocation.release();

  auto bodies = delivered();
  ASSERT_EQ(bodies.size(), 3u);
  EXPECT_EQ(geolocation.requestCount(), 1u);
  EXPECT_EQ(geolocation.requests()[0].params.find("key")->second, "GEOKEY123456789");
  for (const auto& body : bodies) {
    const std::string event = body["event"];
    EXPECT_EQ(body["timestamp"], expectedDates[event]) << event;
    EXPECT_EQ(body["userId"], "USER-2");
    EXPECT_EQ(body["properties"]["plan"], "pro");
    EXPECT_EQ(body["context"]["ip"], "203.0.113.7");
    EXPECT_EQ(body["context"]["location"]["city"], "Zurich");
    if (event == "A") {
      EXPECT_EQ(body["properties"]["k"], "event");
    }
    if (event == "B") {
      EXPECT_EQ(body["properties"], (json{{"plan", "pro"}, {"k", "super"}}));
    }
  }
  EXPECT_TRUE(tracker->pendingEvents().empty());
  EXPECT_EQ(logs.count("Segment: response {\"success\":true} error (null)"), 3u);

  // Located: every event goes out at once, with no log line.
  tracker->track("D", {{"seq", 4}});
  EXPECT_EQ(names(delivered()), (std::set<std::string>{"A", "B", "C", "D"}));
  EXPECT_EQ(logs.count("Segment: response"), 3u);
  EXPECT_EQ(geolocation.requestCount(), 1u);
}

TEST_F(SegmentTest, FailedLookupsSendWithoutLocationAndLaterEventsGoOutAtOnce) {
  for (const Reply& failure : {Reply(500, "oops"), Reply(200, "[1,2]", "application/json"),
                               Reply(200, "", "text/plain")}) {
    LoopbackServer service;
    service.setReply("/json/", failure);
    auto o = options();
    o.geolocationUrl = service.url();
    auto tracker = make(o);
    const auto before = collector.requestCount();
    tracker->track("Queued", {{"k", 1}});
    ASSERT_TRUE(client.flush(20s));
    tracker->track("Later", nullptr);
    ASSERT_TRUE(client.flush(20s));
    auto requests = collector.requests();
    ASSERT_EQ(requests.size(), before + 2) << failure.body;
    for (std::size_t i = before; i < requests.size(); ++i) {
      json body = json::parse(requests[i].body);
      EXPECT_FALSE(body["context"].contains("location")) << failure.body;
      EXPECT_FALSE(body["context"].contains("ip")) << failure.body;
    }
    EXPECT_EQ(service.requestCount(), 1u);
    EXPECT_TRUE(tracker->isObtainingLocation());
    EXPECT_FALSE(tracker->context());
  }
}

TEST_F(SegmentTest, UnreachableOrUnconfiguredGeolocationCountsAsFailed) {
  const int closedPort = closedLoopbackPort();
  auto o = options();
  o.geolocationUrl = "http://127.0.0.1:" + std::to_string(closedPort);
  make(o)->track("Refused", nullptr);
  auto none = make(options(false));
  none->track("NoService", nullptr);
  EXPECT_FALSE(none->isObtainingLocation());
  EXPECT_TRUE(none->pendingEvents().empty());
  EXPECT_EQ(names(delivered()), (std::set<std::string>{"Refused", "NoService"}));
  EXPECT_EQ(geolocation.requestCount(), 0u);
}

TEST_F(SegmentTest, RepliesReachTheCompletionParsedWhateverTheStatus) {
  collector.setReply("/v1/track", Reply(400, R"({"error":"bad"})", "application/json"));
  collector.setReply("/text", Reply(200, "not json"));
  auto tracker = make(options(false));
  std::mutex mutex;
  std::vector<std::pair<SegmentIOTracker::Reply, std::optional<std::string>>> results;
  auto record = [&](const SegmentIOTracker::Reply& reply, const std::optional<std::string>& error) {
    std::lock_guard<std::mutex> lock(mutex);
    results.emplace_back(reply, error);
  };
  tracker->sendRequest(
      tracker->trackingRequestWithEvent("E", std::chrono::system_clock::now(), "WRITEKEY",
                                        std::nullopt, std::nullopt, json::object()),
      record);
  tovrin::HttpRequest text;
  text.url = collector.url() + "/text";
  tracker->sendRequest(text, record);
  ASSERT_TRUE(client.flush(20s));
  ASSERT_EQ(results.size(), 2u);
  for (const auto& [reply, error] : results) {
    if (reply) {
      EXPECT_EQ(*reply, (json{{"error", "bad"}}));
      EXPECT_FALSE(error);
    } else {
      ASSERT_TRUE(error);
      EXPECT_NE(error->find("not JSON"), std::string::npos);
    }
  }
  // Both requests run at once, so either may arrive first.
  const auto requests = collector.requests();
  ASSERT_EQ(requests.size(), 2u);
  const auto& track = requests[0].path == "/v1/track" ? requests[0] : requests[1];
  EXPECT_EQ(track.path, "/v1/track");
  EXPECT_EQ(track.header("Authorization"), "Basic " + tovrin::base64String("WRITEKEY:"));
  EXPECT_EQ(track.header("Content-Type"), "application/json");
}

TEST_F(SegmentTest, TimedEventsThroughTheManagerAreNotSent) {
  tovrin::test::TempDir temp;
  auto tracker = make(options(false));
  auto manager = std::make_shared<tovrin::TrackerManager>(
      tovrin::TrackerManager::TrackerList{tracker}, nullptr, "test");
  manager->timedTrack("Timed");
  manager->timedFinish("Timed", {{"k", 1}});
  manager->track("Plain", nullptr);
  auto bodies = delivered();
  ASSERT_EQ(bodies.size(), 1u);
  EXPECT_EQ(bodies[0]["event"], "Plain");
  EXPECT_EQ(bodies[0]["userId"], *manager->uuid());
}

TEST_F(SegmentTest, QueueIsBoundedDroppingTheOldestWithALogLine) {
  geolocation.setReply("/json/", [] {
    Reply reply(200, kLocation, "application/json");
    reply.hold = true;
    return reply;
  }());
  auto o = options();
  o.maxQueuedEvents = 3;
  auto tracker = make(o);
  EXPECT_TRUE(tracker->preparedRequests().empty());
  for (int i = 0; i < 5; ++i)
    tracker->track("E" + std::to_string(i), {{"seq", i}});
  EXPECT_EQ(tracker->pendingEvents().size(), 3u);
  EXPECT_EQ(logs.count("dropped the oldest event"), 2u);
  ASSERT_TRUE(geolocation.waitForHeld(1, 10s));
  geolocation.release();
  EXPECT_EQ(names(delivered()), (std::set<std::string>{"E2", "E3", "E4"}));
}

TEST_F(SegmentTest, PropertiesJsonCannotCarryDropTheEventWithOneLogLine) {
  auto tracker = make(options(false));
  // Built in place: copying or recursing through 10,000 levels would exhaust the stack.
  json deep = json::array();
  json* innermost = &deep;
  for (int i = 0; i < 10000; ++i) {
    innermost = &innermost->emplace_back(json::array());
  }
  std::vector<std::pair<std::string, json>> bad;
  bad.emplace_back("nan", json{{"v", std::numeric_limits<double>::quiet_NaN()}});
  bad.emplace_back("inf", json{{"v", -std::numeric_limits<double>::infinity()}});
  bad.emplace_back("utf8", json{{"v", std::string("\xC3\x28")}});
  bad.emplace_back("key", json{{std::string("\xFF"), 1}});
  bad.emplace_back("binary", json{{"v", json::binary({1, 2, 3})}});
  bad.emplace_back("deep", json::object());
  bad.back().second["v"] = std::move(deep);
  bad.emplace_back("array", json::array({1, 2}));
  for (const auto& [name, properties] : bad)
    tracker->track(name, properties);
  tracker->track("bad-name-\xC0", json::object());
  const std::string odd("Good \"quoted\"\r\nname\0x", 21);
  tracker->track(odd, {{"text", std::string(1 << 20, 'x')}});
  EXPECT_EQ(logs.count("dropped"), bad.size() + 1);
  auto bodies = delivered();
  ASSERT_EQ(bodies.size(), 1u);
  EXPECT_EQ(bodies[0]["event"], odd);
  EXPECT_EQ(bodies[0]["properties"]["text"].get<std::string>().size(), 1u << 20);
}

TEST_F(SegmentTest, KeysNeverAppearInLogLines) {
  const int closedPort = closedLoopbackPort();
  auto o = options();
  o.collectorUrl = "http://127.0.0.1:" + std::to_string(closedPort);
  o.geolocationUrl = geolocation.url();
  Reply failure(500, "error");
  failure.hold = true;  // all three events queue behind the lookup, so each reply is logged
  geolocation.setReply("/json/", failure);
  auto tracker = make(o);
  for (int i = 0; i < 3; ++i)
    tracker->track("E", {{"i", i}});
  ASSERT_TRUE(geolocation.waitForHeld(1, 10s));
  geolocation.release();
  ASSERT_TRUE(client.flush(20s));
  EXPECT_EQ(logs.count("Segment: response (null) error"), 3u);
  tracker->track("nan", {{"v", std::nan("")}});
  auto refused = std::make_shared<SegmentIOTracker>("WRITEKEY", [&] {
    auto plain = options();
    plain.collectorUrl = "http://collector.example.com";
    return plain;
  }());
  refused->track("E", nullptr);
  const auto lines = logs.lines();
  EXPECT_GE(lines.size(), 5u);  // three replies with errors, a bad value, a refused URL, a drop
  for (const auto& line : lines) {
    for (const std::string& secret : std::vector<std::string>{"WRITEKEY", "GEOKEY123456789",
                                                              tovrin::base64String("WRITEKEY:")}) {
      EXPECT_EQ(line.find(secret), std::string::npos) << line;
    }
  }
  EXPECT_EQ(logs.count("URL is refused"), 1u);
}

TEST_F(SegmentTest, HttpsDeliversOnlyToAServerSignedByTheTrustedAuthority) {
  tovrin::test::TestCertificates trusted;
  tovrin::test::TestCertificates other;
  LoopbackServer secure(&trusted);
  secure.setReply("/v1/track", Reply(200, R"({"success":true})", "application/json"));
  auto o = options(false);
  o.collectorUrl = secure.url();
  o.caBundlePath = trusted.caBundlePath();
  make(o)->track("Trusted", nullptr);
  ASSERT_TRUE(client.flush(20s));
  ASSERT_EQ(secure.requestCount(), 1u);

  o.caBundlePath = other.caBundlePath();
  auto untrusted = make(o);
  untrusted->track("Untrusted", nullptr);
  ASSERT_TRUE(client.flush(20s));
  EXPECT_EQ(secure.requestCount(), 1u);
}

TEST_F(SegmentTest, EveryEventIsSentExactlyOnceWhateverTheInterleavingWithTheLookup) {
  for (int round = 0; round < 3; ++round) {
    LoopbackServer sink;
    sink.setReply("/v1/track", Reply(200, "{}", "application/json"));
    LoopbackServer service;
    std::atomic<bool> answer{false};
    service.setHandler("/json/", [&](const RecordedRequest&) {
      while (!answer)
        std::this_thread::sleep_for(1ms);
      return Reply(200, kLocation, "application/json");
    });
    auto o = options();
    o.collectorUrl = sink.url();
    o.geolocationUrl = service.url();
    o.maxQueuedEvents = 10000;
    auto tracker = make(o);
    constexpr int kPerThread = 300;
    std::atomic<int> tracked{0};
    auto worker = [&](int offset) {
      for (int i = 0; i < kPerThread; ++i) {
        tracker->track("E", {{"seq", offset + i}});
        if (++tracked == 200 + round * 150)
          answer = true;  // the lookup answers mid-stream
      }
    };
    std::thread first(worker, 0), second(worker, kPerThread);
    first.join();
    second.join();
    answer = true;
    ASSERT_TRUE(client.flush(30s));
    std::multiset<int> seen;
    for (const auto& request : sink.requests()) {
      seen.insert(json::parse(request.body)["properties"]["seq"].get<int>());
    }
    ASSERT_EQ(seen.size(), 2u * kPerThread) << "round " << round;
    for (int i = 0; i < 2 * kPerThread; ++i)
      EXPECT_EQ(seen.count(i), 1u) << i;
  }
}
