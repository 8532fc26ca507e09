// Hostile and broken input through every tracker: property values and event names JSON cannot
// carry or that stress the encoder, credentials holding line breaks, replies nested to exhaust
// the stack, and store files that are not what they should be. Each is sent exactly or dropped
// with one log line; nothing crashes, hangs, injects a header or corrupts the store.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "TovrinTracker/CounterTracker.hpp"
#include "TovrinTracker/HttpClient.hpp"
#include "TovrinTracker/MF_Base64Codec.hpp"
#include "TovrinTracker/MockedTracker.hpp"
#include "TovrinTracker/SegmentIOTracker.hpp"
#include "TovrinTracker/TrackerManager.hpp"
#include "TovrinTracker/TrackerPersister.hpp"
#include "support/ChildProcess.hpp"
#include "support/LoopbackServer.hpp"
#include "support/RawTcpServer.hpp"
#include "support/TestSupport.hpp"

using nlohmann::json;
using tovrin::CounterTracker;
using tovrin::HttpClient;
using tovrin::MockedTracker;
using tovrin::SegmentIOTracker;
using tovrin::SegmentIOTrackerOptions;
using tovrin::TrackerManager;
using tovrin::TrackerPersister;
using tovrin::test::LogCapture;
using tovrin::test::LoopbackServer;
using tovrin::test::RawTcpServer;
using tovrin::test::Reply;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr auto kPatience = 20s;

#if defined(__SANITIZE_THREAD__)
#define TOVRIN_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TOVRIN_THREAD_SANITIZER 1
#endif
#endif

// How deep the deeply nested values go. The thread sanitizer records the whole call stack with
// every allocation, so copying a value nested n levels deep costs n squared under it (10 s for
// one copy at 10,000 levels); there the nesting stays ten times above the limit instead. The
// other builds check the stack depth at 10,000.
#ifdef TOVRIN_THREAD_SANITIZER
constexpr std::size_t kDeep = 1000;
#else
constexpr std::size_t kDeep = 10000;
#endif

[[maybe_unused]] const bool kLoopbackBypassesProxies = [] {
  setenv("no_proxy", "127.0.0.1,localhost", 1);
  setenv("NO_PROXY", "127.0.0.1,localhost", 1);
  return true;
}();

// Built by moving each level into the next, in linear time (an initializer list would copy).
json nested(std::size_t levels, bool objects) {
  json value = "bottom";
  for (std::size_t i = 0; i < levels; ++i) {
    json outer = objects ? json::object() : json::array();
    if (objects) {
      outer["k"] = std::move(value);
    } else {
      outer.push_back(std::move(value));
    }
    value = std::move(outer);
  }
  return value;
}

// A JSON text nesting `levels` arrays inside `prefix` ... `suffix`, built without recursion.
std::string deepText(const std::string& prefix, std::size_t levels, const std::string& suffix) {
  return prefix + std::string(levels, '[') + std::string(levels, ']') + suffix;
}

struct Input {
  const char* what;
  std::string name;
  json properties;
  bool delivered;  // sent as is; otherwise dropped with one log line
};

std::vector<Input> badInputs() {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  return {
      {"invalid UTF-8 deep in an array",
       "E",
       {{"list", {"ok", std::string("\xED\xA0\x80")}}},
       false},
      {"overlong UTF-8", "E", {{"v", std::string("\xC0\xAF")}}, false},
      {"truncated UTF-8 key", "E", {{std::string("k\xE2\x82"), 1}}, false},
      {"NaN inside an object", "E", {{"o", {{"v", nan}}}}, false},
      {"infinity", "E", {{"v", inf}}, false},
      {"binary inside an array", "E", {{"v", json::array({json::binary({0, 255})})}}, false},
      {"deeply nested objects", "E", {{"v", nested(kDeep, true)}}, false},
      {"deeply nested arrays", "E", {{"v", nested(kDeep, false)}}, false},
      {"properties that are a string", "E", "just text", false},
      {"name not UTF-8", std::string("name-\x80"), json::object(), false},
      {"10 MB string", "E", {{"v", std::string(10u << 20, 'z')}}, true},
      {"control characters in keys and values",
       "E",
       {{std::string("\x01\x1F\n\t\"\\ key\x7F", 11), std::string("a\0b\r\nc", 6)}},
       true},
      {"valid multi-byte UTF-8",
       "E",
       {{"\xE6\x97\xA5\xE6\x9C\xAC", "\xF0\x9F\x98\x80 \xC3\xA9"}},
       true},
      {"50 nested levels", "E", {{"v", nested(50, true)}}, true},
      {"empty name", "", {{"k", 1}}, true},
      {"1 MB name", std::string(1u << 20, 'n'), json::object(), true},
      {"name with quotes, CR, LF and NUL", std::string("a\"b\r\nc\0d\\", 9), nullptr, true},
  };
}

struct Stack {
  LogCapture logs;
  LoopbackServer collector;
  HttpClient client{[] {
    tovrin::HttpClientOptions options;
    options.requestTimeout = 15s;
    options.exitBudget = 1s;
    return options;
  }()};
  std::shared_ptr<SegmentIOTracker> segment;
  std::shared_ptr<CounterTracker> counter = std::make_shared<CounterTracker>();
  std::shared_ptr<MockedTracker> mocked = std::make_shared<MockedTracker>();
  std::shared_ptr<TrackerManager> manager;

  Stack() {
    collector.setReply("/v1/track", Reply(200, R"({"success":true})", "application/json"));
    SegmentIOTrackerOptions options;
    options.collectorUrl = collector.url();
    options.geolocationUrl = "";
    options.client = &client;
    segment = std::make_shared<SegmentIOTracker>("WRITEKEY", options);
    manager = std::make_shared<TrackerManager>(
        TrackerManager::TrackerList{segment, counter, mocked}, nullptr, "bad");
  }
};

}  // namespace

TEST(BadInput, EveryTrackerTakesItAndSegmentSendsItExactlyOrDropsItWithOneLine) {
  for (const Input& input : badInputs()) {
    SCOPED_TRACE(input.what);
    Stack stack;
    stack.manager->track(input.name, input.properties);
    stack.manager->timedTrack(input.name);
    stack.manager->timedFinish(input.name, input.properties);
    ASSERT_TRUE(stack.client.flush(kPatience));

    // The inspection trackers keep what they were given and can describe it.
    ASSERT_EQ(stack.counter->tracksCount(), 1u);
    EXPECT_EQ(stack.counter->timesFinished(), 1u);
    const auto& event = *stack.counter->events().at(0);
    EXPECT_EQ(event.name(), input.name);
    std::string description;
    EXPECT_NO_THROW(description = event.description());
    EXPECT_EQ(description.rfind("<Event: ", 0), 0u);
    EXPECT_EQ(stack.mocked->name(), input.name);

    const auto requests = stack.collector.requests();
    if (input.delivered) {
      ASSERT_EQ(requests.size(), 1u);
      const json body = json::parse(requests[0].body);
      EXPECT_EQ(body.at("event"), input.name);
      EXPECT_EQ(body.at("properties"),
                input.properties.is_null() ? json::object() : input.properties);
      EXPECT_EQ(stack.logs.count("SegmentIOTracker"), 0u);
    } else {
      EXPECT_EQ(requests.size(), 0u);
      EXPECT_EQ(stack.logs.count("SegmentIOTracker"), 1u);
      EXPECT_EQ(stack.logs.count("SegmentIOTracker: event "), 1u);
      EXPECT_EQ(stack.logs.count(" dropped: "), 1u);
    }
  }
}

TEST(BadInput, SuperPropertiesJsonCannotCarryAreRefusedWithOneLine) {
  const std::vector<std::pair<const char*, json>> bad = {
      {"NaN", {{"v", std::nan("")}}},
      {"invalid UTF-8", {{"v", std::string("\xFF")}}},
      {"binary", {{"v", json::binary({1})}}},
      {"deep", {{"v", nested(kDeep, false)}}},
  };
  for (const auto& [what, properties] : bad) {
    SCOPED_TRACE(what);
    Stack stack;
    stack.manager->setSuperProperties({{"plan", "pro"}});
    stack.manager->setSuperProperties(properties);
    stack.manager->track("E", {{"k", 1}});
    stack.manager->track("F", {{"k", 2}});
    ASSERT_TRUE(stack.client.flush(kPatience));
    // Both events go out with the super properties that were last accepted.
    const auto requests = stack.collector.requests();
    ASSERT_EQ(requests.size(), 2u);
    // The two requests may travel on two connections: match them by event name.
    std::map<std::string, json> byEvent;
    for (const auto& request : requests) {
      const json body = json::parse(request.body);
      byEvent[body.at("event").get<std::string>()] = body.at("properties");
    }
    EXPECT_EQ(byEvent["E"], (json{{"plan", "pro"}, {"k", 1}}));
    EXPECT_EQ(byEvent["F"], (json{{"plan", "pro"}, {"k", 2}}));
    ASSERT_EQ(stack.logs.lines().size(), 1u);
    EXPECT_NE(stack.logs.lines()[0].find("super properties"), std::string::npos);
  }
}

TEST(BadInput, KeysWithLineBreaksNeverAddAHeader) {
  const std::string canned =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
      "Connection: close\r\n\r\n{}";
  const std::string location = R"({"query":"203.0.113.7","city":"Zurich"})";
  RawTcpServer collector(RawTcpServer::Behavior::canned, canned);
  RawTcpServer geolocation(RawTcpServer::Behavior::canned,
                           "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                               std::to_string(location.size()) + "\r\nConnection: close\r\n\r\n" +
                               location);
  LogCapture logs;
  HttpClient client;
  const std::string writeKey = "KEY\r\nX-Injected: write\r\n\r\nGET / HTTP/1.1";
  SegmentIOTrackerOptions options;
  options.collectorUrl = collector.url();
  options.geolocationUrl = geolocation.url();
  options.geolocationKey = "GEO\r\nX-Injected: geo\nHost: evil";
  options.client = &client;
  auto segment = std::make_shared<SegmentIOTracker>(writeKey, options);
  segment->track("E", nullptr);
  ASSERT_TRUE(collector.waitForRequests(1, kPatience));
  ASSERT_TRUE(client.flush(kPatience));

  ASSERT_EQ(geolocation.requests().size(), 1u);
  const std::string lookup = geolocation.requests()[0];
  EXPECT_EQ(
      lookup.rfind("GET /json/?key=GEO%0D%0AX-Injected%3A%20geo%0AHost%3A%20evil HTTP/1.1\r\n", 0),
      0u)
      << lookup;
  ASSERT_EQ(collector.requests().size(), 1u);
  const std::string request = collector.requests()[0];
  const std::string head = request.substr(0, request.find("\r\n\r\n") + 2);
  EXPECT_EQ(head.find("X-Injected"), std::string::npos) << head;
  EXPECT_EQ(lookup.find("\r\nX-Injected"), std::string::npos) << lookup;
  std::size_t authorizations = 0;
  for (std::size_t at = head.find("\r\nAuthorization: "); at != std::string::npos;
       at = head.find("\r\nAuthorization: ", at + 1)) {
    ++authorizations;
  }
  EXPECT_EQ(authorizations, 1u) << head;
  EXPECT_NE(head.find("\r\nAuthorization: Basic " + tovrin::base64String(writeKey + ":") + "\r\n"),
            std::string::npos)
      << head;
  const json body = json::parse(request.substr(request.find("\r\n\r\n") + 4));
  EXPECT_EQ(body.at("context").at("location").at("city"), "Zurich");
}

TEST(BadInput, RepliesNestedDeepEnoughToExhaustTheStackAreRefused) {
  // Within the 1 MiB reply limit, and far deeper than copying or printing can recurse.
  constexpr std::size_t kLevels = 400000;
  LogCapture logs;
  LoopbackServer collector;
  LoopbackServer geolocation;
  collector.setReply("/v1/track",
                     Reply(200, deepText("{\"a\":", kLevels, "}"), "application/json"));
  geolocation.setReply("/json/", Reply(200, deepText(R"({"query":"1.2.3.4","city":)", kLevels, "}"),
                                       "application/json"));
  HttpClient client;
  SegmentIOTrackerOptions options;
  options.collectorUrl = collector.url();
  options.geolocationUrl = geolocation.url();
  options.client = &client;
  auto segment = std::make_shared<SegmentIOTracker>("WRITEKEY", options);
  segment->track("Queued", {{"k", 1}});
  ASSERT_TRUE(client.flush(kPatience));
  segment->track("Later", {{"k", 2}});
  ASSERT_TRUE(client.flush(kPatience));

  // The location is refused like any unusable one: both events go out without it.
  const auto requests = collector.requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const auto& request : requests)
    EXPECT_FALSE(json::parse(request.body).at("context").contains("location"));
  EXPECT_FALSE(segment->context());
  // The queued event's deep reply is reported as an error instead of being printed.
  ASSERT_EQ(logs.count("Segment: response"), 1u);
  EXPECT_EQ(logs.count("Segment: response (null) error reply nested deeper than 100 levels"), 1u);
}

namespace {

struct StoreInputs : ::testing::Test {
  tovrin::test::TempDir temp;
  fs::path folder = temp.path() / "app";
  fs::path file = folder / "defaults.json";
  void SetUp() override { fs::create_directories(folder); }
  void TearDown() override { TrackerPersister::setStoreDirectory({}); }
};

}  // namespace

TEST_F(StoreInputs, AFifoInPlaceOfTheFileDoesNotHangTheReader) {
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
  // In a child process: a reader that blocks on the FIFO is ended by the time-out.
  const auto result = tovrin::test::runProcess(
      {tovrin::test::testProgram("store_tool"), folder.string(), "get", "k"}, kPatience);
  ASSERT_TRUE(result.ended) << "the store reader hung on a FIFO";
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_NE(result.output.find("<none>"), std::string::npos) << result.output;
}

TEST_F(StoreInputs, StoreFilesThatAreNotUsableNeverCrashOrCorruptTheStore) {
  struct Damaged {
    const char* what;
    std::function<void(const fs::path&)> make;
  };
  const std::vector<Damaged> cases = {
      {"empty file", [](const fs::path& p) { std::ofstream(p) << ""; }},
      {"NUL bytes", [](const fs::path& p) { std::ofstream(p) << std::string("{\"k\":\0}", 7); }},
      {"invalid UTF-8 in a string",
       [](const fs::path& p) { std::ofstream(p) << "{\"k\":\"\xFF\"}"; }},
      {"200,000 nested arrays",
       [](const fs::path& p) { std::ofstream(p) << deepText("{\"k\":", 200000, "}"); }},
      {"a folder", [](const fs::path& p) { fs::create_directory(p); }},
  };
  for (const auto& damaged : cases) {
    SCOPED_TRACE(damaged.what);
    LogCapture logs;
    fs::remove_all(folder);
    fs::create_directories(folder);
    damaged.make(file);
    TrackerPersister::setStoreDirectory(folder);  // forget what was loaded
    TrackerPersister store;
    EXPECT_FALSE(store.objectForKey("k"));
    store.setObject("fresh", "other");
    EXPECT_EQ(store.objectForKey("other"), json("fresh"));
    EXPECT_GE(logs.lines().size(), 1u);
    if (!fs::is_directory(file)) {
      // The damaged file was moved aside and the new one holds exactly the new key.
      std::ifstream in(file);
      EXPECT_EQ(json::parse(in, nullptr, false), (json{{"other", "fresh"}}));
    }
  }
}
