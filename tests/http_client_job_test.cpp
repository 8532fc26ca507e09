#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TovrinTracker/HttpClient.hpp"
#include "support/LoopbackServer.hpp"
#include "support/RawTcpServer.hpp"
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

namespace {

constexpr auto kPatience = 10s;

[[maybe_unused]] const bool kLoopbackBypassesProxiesForJobs = [] {
  setenv("no_proxy", "127.0.0.1,localhost", 1);
  setenv("NO_PROXY", "127.0.0.1,localhost", 1);
  return true;
}();

HttpRequest get(const std::string& url) {
  HttpRequest request;
  request.url = url;
  return request;
}

// A job that runs a function.
class FunctionJob : public HttpClient::Job {
 public:
  explicit FunctionJob(std::function<void()> body) : body_(std::move(body)) {}
  void run() override { body_(); }

 private:
  std::function<void()> body_;
};

std::unique_ptr<HttpClient::Job> job(std::function<void()> body) {
  return std::make_unique<FunctionJob>(std::move(body));
}

// Records what happened, in order, from any thread.
class Journal {
 public:
  void add(const std::string& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(entry);
  }
  std::vector<std::string> entries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> entries_;
};

// A latch the test opens for a job that waits on it.
class Gate {
 public:
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  bool wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

}  // namespace

TEST(HttpClientJobs, RunOnTheClientsThreadInLineWithRequestsAndFlushWaitsForThem) {
  LoopbackServer server;
  server.setReply("/r", Reply(200, "ok"));
  Journal journal;
  std::atomic<bool> onClientThread{false};
  std::thread::id completionThread;
  HttpClientOptions options;
  options.maxTransfersInFlight = 1;  // one at a time: the order is the queue's
  HttpClient client(options);
  ASSERT_TRUE(client.post(job([&] { journal.add("job A"); })));
  ASSERT_TRUE(client.send(get(server.url() + "/r"), [&](const HttpResponse& response) {
    completionThread = std::this_thread::get_id();
    journal.add("request " + response.body);
  }));
  ASSERT_TRUE(client.post(job([&] {
    onClientThread = std::this_thread::get_id() == completionThread;
    journal.add("job B");
  })));
  ASSERT_TRUE(client.flush(kPatience));
  EXPECT_EQ(journal.entries(), (std::vector<std::string>{"job A", "request ok", "job B"}));
  EXPECT_TRUE(onClientThread);
  EXPECT_EQ(client.pendingCount(), 0u);
}

TEST(HttpClientJobs, AJobsFirstSendTakesItsPlaceEvenWhenTheQueueIsFull) {
  LogCapture logs;
  LoopbackServer server;
  server.setReply("/job", Reply(200, "ok"));
  HttpClientOptions options;
  options.maxTransfersInFlight = 1;
  options.maxWaitingRequests = 1;
  HttpClient client(options);
  Gate gate;
  std::atomic<int> accepted{0};
  std::atomic<int> delivered{0};
  const auto sendFromJob = [&] {
    if (client.send(get(server.url() + "/job"), [&](const HttpResponse& response) {
          if (response.ok() && response.status == 200)
            ++delivered;
        })) {
      ++accepted;
    }
  };
  // A runs at once and holds its slot until the gate opens; B fills the waiting queue.
  ASSERT_TRUE(client.post(job([&] {
    gate.wait();
    sendFromJob();
  })));
  ASSERT_TRUE(client.post(job(sendFromJob)));
  EXPECT_EQ(client.pendingCount(), 2u);
  // Full now: a third request is dropped, its completion called at once with the reason.
  std::string refused;
  EXPECT_FALSE(client.send(get(server.url() + "/job"),
                           [&](const HttpResponse& response) { refused = response.error; }));
  EXPECT_NE(refused.find("dropped"), std::string::npos);
  EXPECT_FALSE(client.post(job([] {})));
  gate.open();
  ASSERT_TRUE(client.flush(kPatience));
  EXPECT_EQ(accepted, 2);  // both jobs' requests, although the queue was full for A's
  EXPECT_EQ(delivered, 2);
  EXPECT_EQ(server.requestCount(), 2u);
  EXPECT_EQ(logs.count("request dropped"), 2u);  // one line for each refusal
}

TEST(HttpClientJobs, AJobThatThrowsIsLoggedAndCountsAsFinished) {
  LogCapture logs;
  HttpClient client;
  ASSERT_TRUE(client.post(job([] { throw std::runtime_error("boom"); })));
  ASSERT_TRUE(client.flush(kPatience));
  EXPECT_EQ(logs.count("a job threw an exception: boom"), 1u);
  EXPECT_EQ(client.pendingCount(), 0u);
}

TEST(HttpClientJobs, JobsStillWaitingAtDestructionAreDestroyedWithoutRunning) {
  LogCapture logs;
  RawTcpServer silent(RawTcpServer::Behavior::silent);
  struct Marked : HttpClient::Job {
    Marked(std::atomic<bool>& ran, std::atomic<bool>& destroyed)
        : ran_(ran), destroyed_(destroyed) {}
    ~Marked() override { destroyed_ = true; }
    void run() override { ran_ = true; }
    std::atomic<bool>& ran_;
    std::atomic<bool>& destroyed_;
  };
  std::atomic<bool> ran{false}, destroyed{false};
  {
    HttpClientOptions options;
    options.maxTransfersInFlight = 1;
    options.exitBudget = 200ms;
    HttpClient client(options);
    ASSERT_TRUE(client.send(get(silent.url() + "/hang"), nullptr));  // holds the only slot
    ASSERT_TRUE(client.post(std::make_unique<Marked>(ran, destroyed)));
    EXPECT_FALSE(client.flush(100ms));
  }
  EXPECT_FALSE(ran);
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(logs.count("abandoned 2 unfinished requests"), 1u);
}

TEST(HttpClientJobs, ASendIsStartedPromptlyWhetherTheClientIsBusyLingeringOrAsleep) {
  // A sender wakes the client's thread only when it sleeps; a missed wake-up would show as a
  // request that waits for the client's one-second idle poll.
  LoopbackServer server;
  server.setReply("/r", Reply(200, "ok"));
  HttpClient client;
  for (const auto pause : {0ms, 1ms, 5ms, 15ms, 30ms, 120ms}) {
    for (int i = 0; i < 3; ++i) {
      std::this_thread::sleep_for(pause);
      std::atomic<bool> done{false};
      const auto start = std::chrono::steady_clock::now();
      ASSERT_TRUE(client.send(get(server.url() + "/r"), [&](const HttpResponse&) { done = true; }));
      ASSERT_TRUE(client.flush(kPatience));
      EXPECT_TRUE(done);
      EXPECT_LT(std::chrono::steady_clock::now() - start, 800ms)
          << "after a pause of " << pause.count() << " ms";
    }
  }
}
