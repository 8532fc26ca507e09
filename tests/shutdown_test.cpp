// Ending the host and flushing at shutdown: a host process that returns from main or calls
// std::exit with 1,000 events in flight ends promptly and cleanly; flush() delivers everything
// queued on a live collector and gives up at its time-out on a dead one.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "TovrinTracker/HttpClient.hpp"
#include "TovrinTracker/MF_Base64Codec.hpp"
#include "TovrinTracker/SegmentIOTracker.hpp"
#include "TovrinTracker/TrackerManager.hpp"
#include "support/ChildProcess.hpp"
#include "support/LoopbackServer.hpp"
#include "support/RawTcpServer.hpp"
#include "support/TestSupport.hpp"

using nlohmann::json;
using tovrin::HttpClient;
using tovrin::SegmentIOTracker;
using tovrin::SegmentIOTrackerOptions;
using tovrin::TrackerManager;
using tovrin::test::LogCapture;
using tovrin::test::LoopbackServer;
using tovrin::test::RawTcpServer;
using tovrin::test::Reply;
using namespace std::chrono_literals;

namespace {

constexpr auto kPatience = 20s;
// The shared client's exit budget is 2 s; the rest is start-up and sanitizer slack.
constexpr auto kExitBound = 2s + 13s;

[[maybe_unused]] const bool kLoopbackBypassesProxies = [] {
  setenv("no_proxy", "127.0.0.1,localhost", 1);
  setenv("NO_PROXY", "127.0.0.1,localhost", 1);
  return true;
}();

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

// (how the host ends, whether the lookup is outstanding too)
class HostExit : public testing::TestWithParam<std::tuple<const char*, bool>> {};

}  // namespace

TEST_P(HostExit, EndsWithinTheExitBudgetCleanlyWithAThousandEventsInFlight) {
  const auto& [how, withLookup] = GetParam();
  RawTcpServer silent(RawTcpServer::Behavior::silent);
  const auto result =
      tovrin::test::runProcess({tovrin::test::testProgram("segment_exit"), silent.url(),
                                withLookup ? silent.url() : "none", how},
                               kExitBound);
  ASSERT_TRUE(result.ended) << "still running; output:\n" << result.output;
  EXPECT_EQ(result.signal, 0) << result.output;
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_EQ(occurrences(result.output, "tracked\n"), 1u) << result.output;
  EXPECT_GE(silent.acceptedCount(), 1u);  // requests really were in flight
  // What was still running is abandoned with one line: the thousand events, or the lookup
  // behind which they wait.
  EXPECT_EQ(occurrences(result.output,
                        withLookup ? "HttpClient: abandoned 1 unfinished request at shutdown"
                                   : "HttpClient: abandoned 1000 unfinished requests at shutdown"),
            1u)
      << result.output;
  for (const std::string& never :
       {std::string("Sanitizer"), std::string("runtime error"), std::string("WRITEKEY-AT-EXIT"),
        std::string("GEOKEY-AT-EXIT"), tovrin::base64String("WRITEKEY-AT-EXIT:")}) {
    EXPECT_EQ(occurrences(result.output, never), 0u) << never << "\n" << result.output;
  }
}

INSTANTIATE_TEST_SUITE_P(ReturnOrExit, HostExit,
                         testing::Combine(testing::Values("return", "exit"), testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param)) +
                                  (std::get<1>(info.param) ? "WithLookup" : "Located");
                         });

TEST(Flush, OnALiveCollectorDeliversEverythingQueuedBehindTheLookupAndReportsTrue) {
  LogCapture logs;
  LoopbackServer collector;
  LoopbackServer geolocation;
  collector.setReply("/v1/track", Reply(200, R"({"success":true})", "application/json"));
  // The lookup answers late, so flush() has to wait for it and for the sends it causes.
  Reply late(200, R"({"query":"203.0.113.7","city":"Zurich"})", "application/json");
  late.delay = 300ms;
  geolocation.setReply("/json/", late);
  HttpClient client;
  SegmentIOTrackerOptions options;
  options.collectorUrl = collector.url();
  options.geolocationUrl = geolocation.url();
  options.client = &client;
  auto segment = std::make_shared<SegmentIOTracker>("WRITEKEY", options);
  auto manager =
      std::make_shared<TrackerManager>(TrackerManager::TrackerList{segment}, nullptr, "flush");
  constexpr int kEvents = 30;  // within the server's 32 connection threads
  for (int i = 0; i < kEvents; ++i)
    manager->track("Flushed", {{"i", i}});
  EXPECT_EQ(collector.requestCount(), 0u);

  ASSERT_TRUE(client.flush(kPatience));
  std::map<int, int> seen;
  for (const auto& request : collector.requests())
    ++seen[json::parse(request.body).at("properties").at("i").get<int>()];
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kEvents));
  for (const auto& [i, count] : seen)
    EXPECT_EQ(count, 1) << i;
  EXPECT_EQ(client.pendingCount(), 0u);
}

TEST(Flush, OnACollectorThatNeverAnswersGivesUpAtItsOwnTimeOut) {
  LogCapture logs;
  RawTcpServer silent(RawTcpServer::Behavior::silent);
  auto client = std::make_unique<HttpClient>([] {
    tovrin::HttpClientOptions options;
    options.requestTimeout = 60s;  // the transfers outlive the flush by far
    options.exitBudget = 100ms;
    return options;
  }());
  SegmentIOTrackerOptions options;
  options.collectorUrl = silent.url();
  options.geolocationUrl = "";
  options.client = client.get();
  auto segment = std::make_shared<SegmentIOTracker>("WRITEKEY", options);
  for (int i = 0; i < 5; ++i)
    segment->track("Stuck", {{"i", i}});
  ASSERT_TRUE(silent.waitForAccepted(5, kPatience));

  EXPECT_FALSE(client->flush(300ms));
  // It returned while all five transfers still run: it gave up at its own time-out, not theirs.
  EXPECT_EQ(client->pendingCount(), 5u);
  client.reset();
  EXPECT_EQ(logs.count("HttpClient: abandoned 5 unfinished requests at shutdown"), 1u);
}
