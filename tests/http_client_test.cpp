#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TovrinTracker/HttpClient.hpp"
#include "support/ChildProcess.hpp"
#include "support/LoopbackServer.hpp"
#include "support/RawTcpServer.hpp"
#include "support/TestCertificates.hpp"
#include "support/TestSupport.hpp"

using namespace std::chrono_literals;
using tovrin::HttpClient;
using tovrin::HttpClientOptions;
using tovrin::HttpRequest;
using tovrin::HttpResponse;
using tovrin::test::LogCapture;
using tovrin::test::LoopbackServer;
using tovrin::test::RawTcpServer;
using tovrin::test::Reply;
using tovrin::test::TestCertificates;

namespace {

constexpr auto kPatience = 10s;  // bound on waits that normally end in milliseconds

// The loopback servers must be reached directly even where a proxy is configured. Set during
// static initialisation, before any thread could read the environment.
[[maybe_unused]] const bool kLoopbackBypassesProxies = [] {
  setenv("no_proxy", "127.0.0.1,localhost", 1);
  setenv("NO_PROXY", "127.0.0.1,localhost", 1);
  return true;
}();

/// Collects completions (declare it before the client, so it outlives the client's thread).
class Completions {
 public:
  HttpClient::Completion add() {
    return [this](const HttpResponse& response) {
      std::lock_guard<std::mutex> lock(mutex_);
      responses_.push_back(response);
      threads_.push_back(std::this_thread::get_id());
      changed_.notify_all();
    };
  }
  bool waitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return responses_.size() >= count; });
  }
  std::vector<HttpResponse> responses() {
    std::lock_guard<std::mutex> lock(mutex_);
    return responses_;
  }
  std::vector<std::thread::id> threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }
  std::size_t count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return responses_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<HttpResponse> responses_;
  std::vector<std::thread::id> threads_;
};

HttpRequest request(const std::string& url, std::string method = "GET", std::string body = {}) {
  HttpRequest r;
  r.method = std::move(method);
  r.url = url;
  r.body = std::move(body);
  return r;
}

/// Sends one request and waits for its completion.
HttpResponse roundTrip(HttpClient& client, HttpRequest r) {
  Completions completions;
  EXPECT_TRUE(client.send(std::move(r), completions.add()));
  EXPECT_TRUE(completions.waitFor(1));
  return completions.count() == 1 ? completions.responses()[0] : HttpResponse{};
}

/// A port nothing listens on (a listener was just there and closed).
int refusingPort() {
  return RawTcpServer(RawTcpServer::Behavior::canned).port();
}

}  // namespace

TEST(HttpClient, PostArrivesIntactAndTheCompletionRunsOnTheClientThread) {
  LoopbackServer server;
  server.setReply("/v1/batch", Reply{200, R"({"success":true})", "application/json"});
  Completions completions;
  HttpClient client;
  std::string body(std::size_t{200} * 1024, '\0');
  for (std::size_t i = 0; i < body.size(); ++i)
    body[i] = static_cast<char>(i * 7 % 256);
  auto r = request(server.url() + "/v1/batch?write_key=abc&n=2", "POST", body);
  r.headers = {{"Content-Type", "application/octet-stream"}, {"X-Trace", "t-1"}};

  ASSERT_TRUE(client.send(r, completions.add()));
  ASSERT_TRUE(completions.waitFor(1));
  const HttpResponse response = completions.responses()[0];
  EXPECT_TRUE(response.ok()) << response.error;
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, R"({"success":true})");
  EXPECT_NE(completions.threads()[0], std::this_thread::get_id());

  ASSERT_EQ(server.requestCount(), 1u);
  const auto seen = server.requests()[0];
  EXPECT_EQ(seen.method, "POST");
  EXPECT_EQ(seen.path, "/v1/batch");
  EXPECT_EQ(seen.params.find("write_key")->second, "abc");
  EXPECT_EQ(seen.header("content-type"), "application/octet-stream");
  EXPECT_EQ(seen.header("x-trace"), "t-1");
  EXPECT_EQ(seen.headers.count("Expect"), 0u);
  EXPECT_EQ(seen.body, body);
}

TEST(HttpClient, HeadersGoOutOnceEachInTheOrderGiven) {
  RawTcpServer server(RawTcpServer::Behavior::canned,
                      "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
  HttpClient client;
  auto r = request(server.url() + "/order", "POST", "{}");
  r.headers = {{"X-First", "1"},
               {"Authorization", "Basic abc"},
               {"Accept-Encoding", "gzip"},
               {"X-Last", "3"}};
  const HttpResponse response = roundTrip(client, r);
  EXPECT_EQ(response.body, "ok") << response.error;
  ASSERT_EQ(server.requests().size(), 1u);
  const std::string raw = server.requests()[0];
  const auto first = raw.find("\r\nX-First: 1\r\n");
  const auto auth = raw.find("\r\nAuthorization: Basic abc\r\n");
  const auto last = raw.find("\r\nX-Last: 3\r\n");
  ASSERT_NE(first, std::string::npos) << raw;
  ASSERT_NE(auth, std::string::npos) << raw;
  ASSERT_NE(last, std::string::npos) << raw;
  EXPECT_LT(first, auth);
  EXPECT_LT(auth, last);
  const auto encoding = raw.find("Accept-Encoding: gzip\r\n");
  ASSERT_NE(encoding, std::string::npos) << raw;
  EXPECT_EQ(raw.find("Accept-Encoding", encoding + 1), std::string::npos) << raw;
  EXPECT_EQ(raw.find("x-www-form-urlencoded"), std::string::npos) << raw;
  EXPECT_EQ(raw.substr(raw.size() - 2), "{}");
}

TEST(HttpClient, CompressedRepliesArriveDecompressed) {
  LoopbackServer server;
  const std::string text(50000, 'z');
  Reply gzipped{200, text, "application/json"};
  gzipped.gzip = true;
  server.setReply("/gzip", gzipped);
  Reply streamed{200, text, "text/plain"};
  streamed.chunked = true;  // httplib compresses it for a client that accepts it
  server.setReply("/stream", streamed);
  HttpClient client;

  // The request's own Accept-Encoding is the one sent, and the reply is still decoded.
  auto r = request(server.url() + "/gzip", "POST", "{}");
  r.headers = {{"Accept-Encoding", "gzip"}};
  HttpResponse response = roundTrip(client, r);
  EXPECT_TRUE(response.ok()) << response.error;
  EXPECT_EQ(response.body, text);
  ASSERT_EQ(server.requestCount(), 1u);
  EXPECT_EQ(server.requests()[0].headers.count("Accept-Encoding"), 1u);
  EXPECT_EQ(server.requests()[0].header("Accept-Encoding"), "gzip");

  // Without one, every encoding libcurl decodes is offered.
  response = roundTrip(client, request(server.url() + "/stream"));
  EXPECT_TRUE(response.ok()) << response.error;
  EXPECT_EQ(response.body, text);
  EXPECT_NE(server.requests()[1].header("Accept-Encoding").find("gzip"), std::string::npos);
}

TEST(HttpClient, ErrorStatusesReachTheCompletionAsReplies) {
  LoopbackServer server;
  server.setReply("/unauthorized", Reply{401, "bad key"});
  server.setReply("/broken", Reply{500, "oops"});
  HttpClient client;
  HttpResponse response = roundTrip(client, request(server.url() + "/unauthorized", "POST", "x"));
  EXPECT_EQ(response.status, 401);
  EXPECT_EQ(response.body, "bad key");
  EXPECT_TRUE(response.ok()) << response.error;
  response = roundTrip(client, request(server.url() + "/broken", "POST", "x"));
  EXPECT_EQ(response.status, 500);
  EXPECT_EQ(response.body, "oops");
  EXPECT_TRUE(response.ok()) << response.error;
}

TEST(HttpClient, TransportFailuresGiveAnErrorAndNoReply) {
  HttpClientOptions options;
  options.requestTimeout = 300ms;
  HttpClient client(options);

  const HttpResponse refused =
      roundTrip(client, request("http://127.0.0.1:" + std::to_string(refusingPort()) + "/"));
  EXPECT_FALSE(refused.ok());
  EXPECT_EQ(refused.status, 0);

  RawTcpServer silent(RawTcpServer::Behavior::silent);
  const HttpResponse timedOut = roundTrip(client, request(silent.url() + "/", "POST", "x"));
  EXPECT_NE(timedOut.error.find("Timeout"), std::string::npos) << timedOut.error;
  EXPECT_EQ(timedOut.status, 0);

  RawTcpServer reset(RawTcpServer::Behavior::resetMidReply);
  const HttpResponse cut = roundTrip(client, request(reset.url() + "/", "POST", "x"));
  EXPECT_FALSE(cut.ok());
  EXPECT_TRUE(cut.body.empty());
}

TEST(HttpClient, RepliesLargerThanTheLimitFail) {
  LoopbackServer server;
  server.setReply("/exact", Reply{200, std::string(1000, 'a'), "application/octet-stream"});
  server.setReply("/announced", Reply{200, std::string(1001, 'a'), "application/octet-stream"});
  Reply streamed{200, std::string(5000, 'a'), "application/octet-stream"};
  streamed.chunked = true;  // no length announced: only counting the bytes catches it
  server.setReply("/streamed", streamed);
  Reply bomb{200, std::string(100000, 'a'), "application/octet-stream"};
  bomb.gzip = true;  // small on the wire, too large once decompressed
  server.setReply("/bomb", bomb);
  HttpClientOptions options;
  options.maxReplyBytes = 1000;
  HttpClient client(options);

  EXPECT_EQ(roundTrip(client, request(server.url() + "/exact")).body.size(), 1000u);
  for (const char* path : {"/announced", "/streamed", "/bomb"}) {
    const HttpResponse response = roundTrip(client, request(server.url() + path));
    EXPECT_EQ(response.error, "reply larger than 1000 bytes") << path;
    EXPECT_TRUE(response.body.empty()) << path;
  }
}

TEST(HttpClient, BadRequestsFailWithAClearErrorAndNeverLeakCredentials) {
  LogCapture log;
  LoopbackServer server;
  HttpClient client;
  const std::string secret = "s3cr3t-value";
  const int port = refusingPort();

  auto badValue = request(server.url() + "/");
  badValue.headers = {{"Authorization", secret + "\r\nX-Injected: 1"}};
  auto badName = request(server.url() + "/");
  badName.headers = {{"Bad Name", secret}};
  auto refused = request("http://user:" + secret + "@127.0.0.1:" + std::to_string(port) +
                         "/path?key=" + secret);
  refused.headers = {{"Authorization", "Bearer " + secret}};
  const std::vector<HttpRequest> requests = {
      badValue,
      badName,
      refused,
      request(server.url() + "/", "GE T"),
      request("ftp://127.0.0.1:" + std::to_string(port) + "/file"),
      request("")};

  for (const auto& r : requests) {
    const HttpResponse response = roundTrip(client, r);
    EXPECT_FALSE(response.ok()) << r.url;
    EXPECT_EQ(response.error.find(secret), std::string::npos) << response.error;
  }
  EXPECT_EQ(server.requestCount(), 0u);
  EXPECT_EQ(log.count("invalid header field \"Authorization\""), 1u);
  for (const auto& line : log.lines())
    EXPECT_EQ(line.find(secret), std::string::npos) << line;
}

TEST(HttpClient, RequestsBeyondTheCapsAreDroppedInsideSend) {
  LogCapture log;
  LoopbackServer server;
  Reply held;
  held.hold = true;
  server.setReply("/held", held);
  Completions completions;
  HttpClientOptions options;
  options.maxTransfersInFlight = 2;
  options.maxWaitingRequests = 3;
  HttpClient client(options);

  for (int i = 0; i < 8; ++i) {
    const bool accepted = client.send(request(server.url() + "/held"), completions.add());
    EXPECT_EQ(accepted, i < 5) << i;
    EXPECT_LE(client.pendingCount(), 5u);
    // A dropped request's completion has run before send() returned.
    EXPECT_EQ(completions.count(), i < 5 ? 0u : std::size_t(i - 4));
  }
  EXPECT_EQ(log.count("HttpClient: request dropped: 5 requests already waiting"), 3u);
  for (const auto& dropped : completions.responses()) {
    EXPECT_NE(dropped.error.find("request dropped"), std::string::npos) << dropped.error;
  }
  ASSERT_TRUE(server.waitForHeld(2, kPatience));
  EXPECT_EQ(server.requestCount(), 2u);  // the other three wait in the client
  EXPECT_EQ(client.pendingCount(), 5u);

  server.release();
  ASSERT_TRUE(client.flush(kPatience));
  EXPECT_EQ(server.requestCount(), 5u);
  EXPECT_EQ(client.pendingCount(), 0u);
  const auto responses = completions.responses();
  ASSERT_EQ(responses.size(), 8u);
  for (std::size_t i = 3; i < responses.size(); ++i)
    EXPECT_EQ(responses[i].status, 200);
}

TEST(HttpClient, FlushWaitsForCompletionsToReturnAndGivesUpAtItsTimeout) {
  LoopbackServer server;
  Reply held;
  held.hold = true;
  server.setReply("/held", held);
  Completions completions;
  HttpClient client;
  EXPECT_TRUE(client.flush(0ms));  // nothing handed over yet

  bool flushInsideCompletion = true;
  client.send(request(server.url() + "/held"),
              [&](const HttpResponse&) { flushInsideCompletion = client.flush(kPatience); });
  for (int i = 0; i < 3; ++i)
    client.send(request(server.url() + "/held"), completions.add());
  ASSERT_TRUE(server.waitForHeld(4, kPatience));
  EXPECT_FALSE(client.flush(100ms));

  server.release();
  ASSERT_TRUE(client.flush(kPatience));
  EXPECT_EQ(completions.count(), 3u);
  EXPECT_FALSE(flushInsideCompletion);
}

TEST(HttpClient, ACompletionThatThrowsIsLoggedAndTheClientCarriesOn) {
  LogCapture log;
  LoopbackServer server;
  Completions completions;
  HttpClient client;
  client.send(request(server.url() + "/"),
              [](const HttpResponse&) { throw std::runtime_error("completion failure"); });
  client.send(request(server.url() + "/"), completions.add());
  ASSERT_TRUE(client.flush(kPatience));
  EXPECT_EQ(log.count("completion failure"), 1u);
  ASSERT_EQ(completions.count(), 1u);
  EXPECT_EQ(completions.responses()[0].status, 200);
}

TEST(HttpClient, HttpsDeliversOnlyToAServerTheClientTrusts) {
  const TestCertificates certificates;
  const TestCertificates stranger;
  LoopbackServer server(&certificates);
  server.setReply("/secure", Reply{200, "secure ok"});

  HttpClientOptions trusting;
  trusting.caBundlePath = certificates.caBundlePath();
  HttpClient trusted(trusting);
  const HttpResponse response = roundTrip(trusted, request(server.url() + "/secure", "POST", "x"));
  EXPECT_TRUE(response.ok()) << response.error;
  EXPECT_EQ(response.body, "secure ok");
  EXPECT_EQ(server.requestCount(), 1u);

  HttpClientOptions wrongCa;
  wrongCa.caBundlePath = stranger.caBundlePath();
  HttpClient untrusting(wrongCa);
  HttpClient systemStore;
  for (HttpClient* client : {&untrusting, &systemStore}) {
    const HttpResponse refused = roundTrip(*client, request(server.url() + "/secure", "POST", "x"));
    EXPECT_FALSE(refused.ok());
    EXPECT_EQ(refused.status, 0);
  }
  EXPECT_EQ(server.requestCount(), 1u);
}

TEST(HttpClient, SequentialRequestsReuseOneConnection) {
  const TestCertificates certificates;
  LoopbackServer plain;
  LoopbackServer secure(&certificates);
  HttpClientOptions options;
  options.caBundlePath = certificates.caBundlePath();
  HttpClient client(options);
  for (LoopbackServer* server : {&plain, &secure}) {
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(roundTrip(client, request(server->url() + "/", "POST", "x")).status, 200);
    }
    EXPECT_EQ(server->requestCount(), 5u);
    EXPECT_EQ(server->connectionCount(), 1u) << server->url();
  }
}

TEST(HttpClient, DestructionWaitsWithinTheBudgetThenAbandonsWithOneLogLine) {
  LogCapture log;
  Completions completions;
  LoopbackServer server;
  Reply slow{200, "late but fine"};
  slow.delay = 200ms;
  server.setReply("/slow", slow);
  RawTcpServer silent(RawTcpServer::Behavior::silent);
  {
    HttpClientOptions options;
    options.exitBudget = 60s;
    HttpClient client(options);
    for (int i = 0; i < 3; ++i)
      client.send(request(server.url() + "/slow"), completions.add());
  }  // everything finishes well within the budget
  EXPECT_EQ(completions.count(), 3u);
  EXPECT_EQ(log.count("abandoned"), 0u);
  {
    HttpClientOptions options;
    options.exitBudget = 100ms;
    options.maxTransfersInFlight = 4;
    HttpClient client(options);
    for (int i = 0; i < 20; ++i)
      client.send(request(silent.url() + "/"), completions.add());
    ASSERT_TRUE(silent.waitForAccepted(4, kPatience));
  }
  EXPECT_EQ(completions.count(), 3u);  // abandoned completions are never called
  EXPECT_EQ(log.count("HttpClient: abandoned 20 unfinished requests at shutdown"), 1u);
}

TEST(HttpClient, DestroyingTheClientFromItsOwnCompletionDoesNotDeadlock) {
  LoopbackServer server;
  auto client = std::make_unique<HttpClient>();
  std::mutex mutex;
  std::condition_variable done;
  bool destroyed = false;
  client->send(request(server.url() + "/"), [&](const HttpResponse&) {
    client.reset();
    std::lock_guard<std::mutex> lock(mutex);
    destroyed = true;
    done.notify_all();
  });
  std::unique_lock<std::mutex> lock(mutex);
  EXPECT_TRUE(done.wait_for(lock, kPatience, [&] { return destroyed; }));
}

TEST(HttpClient, SharedClientTakesTheConfiguredOptionsAndDelivers) {
  LoopbackServer server;
  HttpClientOptions options;
  options.maxWaitingRequests = 777;
  HttpClient::configureShared(options);
  EXPECT_EQ(&HttpClient::shared(), &HttpClient::shared());
  EXPECT_EQ(HttpClient::shared().options().maxWaitingRequests, 777u);
  auto r = request(server.url() + "/");
  r.headers = {{"Connection", "close"}};  // the shared client outlives the server
  EXPECT_EQ(roundTrip(HttpClient::shared(), r).status, 200);
  HttpClient::configureShared(HttpClientOptions{});
  EXPECT_EQ(HttpClient::shared().options().maxWaitingRequests, 10000u);
}

class HttpClientAtExit : public testing::TestWithParam<const char*> {};

TEST_P(HttpClientAtExit, ExitsCleanlyWithAThousandRequestsInFlight) {
  RawTcpServer silent(RawTcpServer::Behavior::silent);
  const auto result = tovrin::test::runProcess(
      {TOVRIN_TEST_PROGRAM_DIR "/tovrin-test-http_exit", silent.url(), GetParam()}, 15s);
  ASSERT_TRUE(result.ended) << "still running after 15 s; output:\n" << result.output;
  EXPECT_EQ(result.signal, 0) << result.output;
  EXPECT_EQ(result.exitCode, 0) << result.output;
  EXPECT_GE(silent.acceptedCount(), 1u);  // transfers really were in flight
  const auto occurrences = [&](const std::string& text) {
    std::size_t n = 0;
    for (auto at = result.output.find(text); at != std::string::npos;
         at = result.output.find(text, at + 1)) {
      ++n;
    }
    return n;
  };
  EXPECT_EQ(occurrences("HttpClient: abandoned 1000 unfinished requests at shutdown"), 1u)
      << result.output;
  EXPECT_EQ(occurrences("late send: request dropped: the HTTP client has shut down"), 1u)
      << result.output;
  EXPECT_EQ(occurrences("completed:"), 0u) << result.output;
  EXPECT_EQ(occurrences("secret"), 0u) << result.output;
  EXPECT_EQ(occurrences("Sanitizer"), 0u) << result.output;
  EXPECT_EQ(occurrences("runtime error"), 0u) << result.output;
}

INSTANTIATE_TEST_SUITE_P(ReturnOrExit, HttpClientAtExit, testing::Values("return", "exit"));
