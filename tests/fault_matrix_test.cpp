// The tracker stack (TrackerManager over SegmentIOTracker) against collectors and geolocation
// services that fail in every way a real network does, on real loopback servers. For each fault:
// track() returns while the servers hold the requests, the HTTP client stays within its caps,
// every event is delivered exactly once or reported by a log line, and once the fault is over
// new events are delivered again.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TovrinTracker/HttpClient.hpp"
#include "TovrinTracker/SegmentIOTracker.hpp"
#include "TovrinTracker/TrackerManager.hpp"
#include "support/LoopbackServer.hpp"
#include "support/RawTcpServer.hpp"
#include "support/TestCertificates.hpp"
#include "support/TestSupport.hpp"

using nlohmann::json;
using tovrin::HttpClient;
using tovrin::HttpClientOptions;
using tovrin::SegmentIOTracker;
using tovrin::SegmentIOTrackerOptions;
using tovrin::TrackerManager;
using tovrin::test::LogCapture;
using tovrin::test::LoopbackServer;
using tovrin::test::RawTcpServer;
using tovrin::test::Reply;
using tovrin::test::TestCertificates;
using namespace std::chrono_literals;

namespace {

constexpr auto kPatience = 15s;  // bound on waits that normally end in milliseconds
constexpr std::size_t kInFlight = 8;
constexpr std::size_t kWaiting = 8;
constexpr std::size_t kMaxReplyBytes = 1024;

// The loopback servers must be reached directly even where a proxy is configured.
[[maybe_unused]] const bool kLoopbackBypassesProxies = [] {
  setenv("no_proxy", "127.0.0.1,localhost", 1);
  setenv("NO_PROXY", "127.0.0.1,localhost", 1);
  return true;
}();

const char* kLocation =
    R"({"query":"203.0.113.7","city":"Zurich","country":"Switzerland","lat":47.37,"lon":8.54,"regionName":"Zurich"})";

// Polls a condition that another thread makes true; false when `timeout` passed first.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

Reply held(Reply reply) {
  reply.hold = true;
  return reply;
}

Reply healthyReply() {
  return Reply(200, R"({"success":true})", "application/json");
}

HttpClientOptions clientOptions() {
  HttpClientOptions options;
  options.maxTransfersInFlight = kInFlight;
  options.maxWaitingRequests = kWaiting;
  options.connectTimeout = 1500ms;
  options.requestTimeout = 1500ms;
  options.maxReplyBytes = kMaxReplyBytes;
  options.exitBudget = 500ms;
  return options;
}

// A free port on 127.0.0.1 that nothing listens on (connections to it are refused).
int closedPort() {
  RawTcpServer probe(RawTcpServer::Behavior::silent);
  return probe.port();
}

// The authority the client trusts, and one it does not.
struct Authorities {
  TestCertificates trusted;
  TestCertificates untrusted;
};

// A collector or geolocation service that fails in one way, and then recovers on the same
// address: a LoopbackServer whose reply is the fault, a raw TCP server, no server at all, or an
// HTTPS server whose certificate the client does not trust.
class FaultyServer {
 public:
  enum class Kind { refused, silent, reset, reply, untrustedTls };

  FaultyServer(Kind kind, const std::string& path, const Reply& reply,
               const Authorities& authorities)
      : kind_(kind), trusted_(authorities.trusted), path_(path) {
    switch (kind) {
      case Kind::refused:
        port_ = closedPort();
        break;
      case Kind::silent:
      case Kind::reset:
        raw_ = std::make_unique<RawTcpServer>(kind == Kind::silent
                                                  ? RawTcpServer::Behavior::silent
                                                  : RawTcpServer::Behavior::resetMidReply);
        port_ = raw_->port();
        break;
      case Kind::reply:
        http_ = std::make_unique<LoopbackServer>();
        http_->setHandler(path_, [reply](const auto&) { return reply; });
        port_ = http_->port();
        break;
      case Kind::untrustedTls:
        http_ = std::make_unique<LoopbackServer>(&authorities.untrusted);
        port_ = http_->port();
        break;
    }
  }

  Kind kind() const { return kind_; }
  std::string url() const {
    return std::string(kind_ == Kind::untrustedTls ? "https" : "http") +
           "://127.0.0.1:" + std::to_string(port_);
  }
  /// The server records what reaches it (a LoopbackServer that answers).
  bool records() const { return kind_ == Kind::reply; }
  LoopbackServer* http() const { return http_.get(); }
  RawTcpServer* raw() const { return raw_.get(); }

  /// Ends the fault: the address now answers healthily with `reply`.
  void heal(const Reply& reply) {
    if (kind_ == Kind::reply) {
      http_->setReply(path_, reply);
      http_->release();
      return;
    }
    raw_.reset();
    http_.reset();
    http_ = std::make_unique<LoopbackServer>(kind_ == Kind::untrustedTls ? &trusted_ : nullptr, 32,
                                             port_);
    http_->setReply(path_, reply);
  }

 private:
  Kind kind_;
  const TestCertificates& trusted_;
  std::string path_;
  int port_ = 0;
  std::unique_ptr<RawTcpServer> raw_;
  std::unique_ptr<LoopbackServer> http_;
};

using Kind = FaultyServer::Kind;

std::map<std::string, int> eventCounts(const LoopbackServer& server) {
  std::map<std::string, int> counts;
  for (const auto& request : server.requests()) {
    if (request.path == "/v1/track")
      ++counts[json::parse(request.body).at("event").get<std::string>()];
  }
  return counts;
}

std::vector<json> trackBodies(const LoopbackServer& server) {
  std::vector<json> bodies;
  for (const auto& request : server.requests()) {
    if (request.path == "/v1/track")
      bodies.push_back(json::parse(request.body));
  }
  return bodies;
}

struct CollectorFault {
  const char* name;
  Kind kind;
  Reply reply;  // what a Kind::reply collector answers (after holding the request)
  // Text that the log line of every queued event must hold; "" for none beyond the prefix.
  std::string logged;
  bool errorReported;  // the log line reports an error rather than "error (null)"
};

std::vector<CollectorFault> collectorFaults() {
  Reply retryAfter(429, R"({"error":"rate limited"})", "application/json");
  retryAfter.headers = {{"Retry-After", "30"}};
  Reply slow = healthyReply();
  slow.delay = 30s;  // far beyond the request time-out; cut short when the server stops
  Reply gzip = healthyReply();
  gzip.gzip = true;
  return {
      {"ConnectionRefused", Kind::refused, {}, "", true},
      {"NeverAnswers", Kind::silent, {}, "Timeout", true},
      {"AnswersAfterTheTimeOut", Kind::reply, slow, "Timeout", true},
      {"ResetMidReply", Kind::reset, {}, "", true},
      {"Status400", Kind::reply, Reply(400, R"({"error":"bad request"})", "application/json"),
       R"(response {"error":"bad request"} error (null))", false},
      {"Status401", Kind::reply, Reply(401, R"({"error":"unauthorized"})", "application/json"),
       R"(response {"error":"unauthorized"} error (null))", false},
      {"Status413", Kind::reply, Reply(413, "Payload Too Large"), "reply is not JSON", true},
      {"Status429RetryAfter", Kind::reply, retryAfter,
       R"(response {"error":"rate limited"} error (null))", false},
      {"Status500", Kind::reply, Reply(500, "Internal Server Error"), "reply is not JSON", true},
      {"Status503EmptyBody", Kind::reply, Reply(503, ""), "response (null) error (null)", false},
      {"ReplyNotJson", Kind::reply, Reply(200, "<html>OK</html>", "text/html"), "reply is not JSON",
       true},
      {"GzipJsonReply", Kind::reply, gzip, R"(response {"success":true} error (null))", false},
      {"ReplyLargerThanTheLimit", Kind::reply,
       Reply(200, "{\"pad\":\"" + std::string(4 * kMaxReplyBytes, 'x') + "\"}", "application/json"),
       "reply larger than " + std::to_string(kMaxReplyBytes) + " bytes", true},
      {"UntrustedCertificate", Kind::untrustedTls, {}, "", true},
  };
}

struct StackUnderTest {
  HttpClient client{clientOptions()};
  std::shared_ptr<SegmentIOTracker> segment;
  std::shared_ptr<TrackerManager> manager;
  std::size_t maxPending = 0;

  explicit StackUnderTest(SegmentIOTrackerOptions options) {
    options.client = &client;
    segment = std::make_shared<SegmentIOTracker>("WRITEKEY-FAULTS", std::move(options));
    manager =
        std::make_shared<TrackerManager>(TrackerManager::TrackerList{segment}, nullptr, "faults");
  }
  ~StackUnderTest() {
    // Everything the tests sent has completed by now; nothing is left to abandon.
    EXPECT_TRUE(client.flush(kPatience));
  }

  void track(const std::string& name) {
    manager->track(name, {{"name", name}, {"n", 1}});
    maxPending = std::max(maxPending, client.pendingCount());
  }
};

class CollectorFaults : public testing::TestWithParam<CollectorFault> {
 protected:
  LogCapture logs;
  Authorities authorities;
};

}  // namespace

TEST_P(CollectorFaults, EveryEventIsDeliveredOnceOrLoggedAndDeliveryResumesAfterTheFault) {
  const CollectorFault& fault = GetParam();
  LoopbackServer geolocation;
  geolocation.setReply("/json/", held(Reply(200, kLocation, "application/json")));
  // The collector holds each request before it answers (or, when slow, delays it).
  const bool slow = fault.reply.delay.count() > 0;
  FaultyServer collector(fault.kind, "/v1/track", slow ? fault.reply : held(fault.reply),
                         authorities);

  SegmentIOTrackerOptions options;
  options.collectorUrl = collector.url();
  options.geolocationUrl = geolocation.url();
  options.geolocationKey = "GEOKEY-FAULTS";
  options.caBundlePath = authorities.trusted.caBundlePath();
  options.lookupTimeout = 10s;
  StackUnderTest stack(options);

  // Queued behind the lookup, which the geolocation service holds: track() has returned for
  // all three while the request it started is still unanswered.
  const std::vector<std::string> queued{"Queued-1", "Queued-2", "Queued-3"};
  for (const auto& name : queued)
    stack.track(name);
  ASSERT_TRUE(geolocation.waitForHeld(1, kPatience));
  EXPECT_EQ(stack.segment->pendingEvents().size(), queued.size());
  geolocation.release();
  ASSERT_TRUE(waitUntil([&] { return stack.segment->context().has_value(); }, kPatience));

  // Located: these go out at once, without a log line of their own.
  const std::vector<std::string> direct{"Direct-1", "Direct-2", "Direct-3"};
  for (const auto& name : direct)
    stack.track(name);
  const std::size_t all = queued.size() + direct.size();
  if (collector.records()) {
    // The collector holds every request: track() did not wait for any of them.
    if (slow) {
      ASSERT_TRUE(collector.http()->waitForRequests(all, kPatience));
    } else {
      ASSERT_TRUE(collector.http()->waitForHeld(all, kPatience));
    }
    collector.http()->release();
  } else if (fault.kind == Kind::silent) {
    ASSERT_TRUE(collector.raw()->waitForAccepted(all, kPatience));
  }
  ASSERT_TRUE(stack.client.flush(kPatience));
  EXPECT_LE(stack.maxPending, kInFlight + kWaiting);
  EXPECT_EQ(stack.client.pendingCount(), 0u);

  // One line per queued event, saying what became of it; none for the events sent at once.
  const auto lines = logs.lines();
  std::size_t responseLines = 0;
  for (const auto& line : lines) {
    if (line.rfind("Segment: response ", 0) != 0)
      continue;
    ++responseLines;
    EXPECT_NE(line.find(fault.logged), std::string::npos) << line;
    EXPECT_EQ(line.find("error (null)") == std::string::npos, fault.errorReported) << line;
  }
  EXPECT_EQ(responseLines, queued.size());
  if (collector.records()) {
    // Whatever the reply, each event reached the collector exactly once: nothing is retried.
    const auto counts = eventCounts(*collector.http());
    EXPECT_EQ(counts.size(), all);
    for (const auto& [name, count] : counts)
      EXPECT_EQ(count, 1) << name;
  }

  // The fault ends: new events are delivered again, once each.
  collector.heal(healthyReply());
  stack.track("After-1");
  stack.track("After-2");
  ASSERT_TRUE(stack.client.flush(kPatience));
  const auto counts = eventCounts(*collector.http());
  EXPECT_EQ(counts.count("After-1") ? counts.at("After-1") : 0, 1);
  EXPECT_EQ(counts.count("After-2") ? counts.at("After-2") : 0, 1);
  EXPECT_EQ(geolocation.requestCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Matrix, CollectorFaults, testing::ValuesIn(collectorFaults()),
                         [](const auto& info) { return std::string(info.param.name); });

namespace {

struct GeolocationFault {
  const char* name;
  Kind kind;
  Reply reply;
  // The location events carry afterwards; null: none (the lookup failed).
  json location;
};

std::vector<GeolocationFault> geolocationFaults() {
  const json empty = {
      {"city", ""}, {"country", ""}, {"latitude", ""}, {"longitude", ""}, {"region", ""}};
  return {
      {"Refused", Kind::refused, {}, nullptr},
      {"NeverAnswers", Kind::silent, {}, nullptr},
      {"NotJson", Kind::reply, Reply(200, "<html>geo</html>", "text/html"), nullptr},
      {"JsonArray", Kind::reply, Reply(200, R"([{"city":"Zurich"}])", "application/json"), nullptr},
      {"ErrorObject", Kind::reply,
       Reply(200, R"({"status":"fail","message":"invalid key"})", "application/json"), empty},
      {"ServerError", Kind::reply, Reply(500, "Internal Server Error"), nullptr},
  };
}

class GeolocationFaults : public testing::TestWithParam<GeolocationFault> {
 protected:
  LogCapture logs;
  Authorities authorities;
};

}  // namespace

TEST_P(GeolocationFaults, QueuedEventsGoOutOnceWithoutALocationAndLaterOnesAtOnce) {
  const GeolocationFault& fault = GetParam();
  LoopbackServer collector;
  collector.setReply("/v1/track", held(healthyReply()));
  FaultyServer geolocation(fault.kind, "/json/", held(fault.reply), authorities);

  SegmentIOTrackerOptions options;
  options.collectorUrl = collector.url();
  options.geolocationUrl = geolocation.url();
  options.geolocationKey = "GEOKEY-FAULTS";
  options.lookupTimeout = 700ms;  // the service that never answers is given up on quickly
  StackUnderTest stack(options);

  const std::vector<std::string> queued{"Queued-1", "Queued-2", "Queued-3"};
  for (const auto& name : queued)
    stack.track(name);
  if (geolocation.records()) {
    ASSERT_TRUE(geolocation.http()->waitForHeld(1, kPatience));
    EXPECT_EQ(stack.segment->pendingEvents().size(), queued.size());
    geolocation.http()->release();
  }
  // The lookup ends (failed, timed out or answered) and the queue is sent to the collector,
  // which holds each request.
  ASSERT_TRUE(collector.waitForHeld(queued.size(), kPatience));
  EXPECT_TRUE(stack.segment->pendingEvents().empty());

  const std::vector<std::string> later{"Later-1", "Later-2"};
  for (const auto& name : later)
    stack.track(name);
  ASSERT_TRUE(collector.waitForHeld(queued.size() + later.size(), kPatience));
  collector.release();
  ASSERT_TRUE(stack.client.flush(kPatience));
  EXPECT_LE(stack.maxPending, kInFlight + kWaiting);

  const auto bodies = trackBodies(collector);
  ASSERT_EQ(bodies.size(), queued.size() + later.size());
  const auto counts = eventCounts(collector);
  for (const auto& name : queued)
    EXPECT_EQ(counts.count(name) ? counts.at(name) : 0, 1) << name;
  for (const auto& name : later)
    EXPECT_EQ(counts.count(name) ? counts.at(name) : 0, 1) << name;
  for (const auto& body : bodies) {
    const json& context = body.at("context");
    if (fault.location.is_null()) {
      EXPECT_FALSE(context.contains("location")) << body.dump();
      EXPECT_FALSE(context.contains("ip")) << body.dump();
    } else {
      EXPECT_EQ(context.at("location"), fault.location);
      EXPECT_EQ(context.at("ip"), "");
    }
  }
  // Each event that waited for the lookup got its reply logged. A refused lookup may end
  // before the second or third event is tracked, which then goes out at once without a line;
  // the first always waits, since the lookup starts after it is queued.
  const std::size_t lines = logs.count("Segment: response");
  EXPECT_EQ(logs.count(R"(Segment: response {"success":true} error (null))"), lines);
  if (fault.kind == Kind::refused) {
    EXPECT_GE(lines, 1u);
    EXPECT_LE(lines, queued.size());
  } else {
    EXPECT_EQ(lines, queued.size());
  }

  if (fault.kind != Kind::refused) {
    // The lookup is made once; a failed one is not repeated.
    EXPECT_EQ(geolocation.kind() == Kind::silent ? geolocation.raw()->acceptedCount()
                                                 : geolocation.http()->requestCount(),
              1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Matrix, GeolocationFaults, testing::ValuesIn(geolocationFaults()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FaultCaps, ACollectorThatNeverAnswersKeepsTheClientWithinItsCapsAndDropsWithALogLine) {
  LogCapture logs;
  RawTcpServer silent(RawTcpServer::Behavior::silent);
  SegmentIOTrackerOptions options;
  options.collectorUrl = silent.url();
  options.geolocationUrl = "";
  StackUnderTest stack(options);

  constexpr std::size_t kEvents = 40;
  for (std::size_t i = 0; i < kEvents; ++i)
    stack.track("Burst-" + std::to_string(i));
  EXPECT_LE(stack.maxPending, kInFlight + kWaiting);
  EXPECT_EQ(stack.maxPending, kInFlight + kWaiting);
  // Every event beyond the caps is reported, inside track(), by one line of the client.
  EXPECT_EQ(logs.count("HttpClient: request dropped"), kEvents - kInFlight - kWaiting);
  ASSERT_TRUE(silent.waitForAccepted(kInFlight, kPatience));
  ASSERT_TRUE(stack.client.flush(kPatience));
  EXPECT_EQ(stack.client.pendingCount(), 0u);
}
