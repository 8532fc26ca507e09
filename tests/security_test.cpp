// What no option, URL or failure may weaken: TLS verification, the loopback-only exception for
// plain http, keeping both keys out of every log line, and the privacy and atomicity of the
// identity store.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "TovrinTracker/HttpClient.hpp"
#include "TovrinTracker/MF_Base64Codec.hpp"
#include "TovrinTracker/SegmentIOTracker.hpp"
#include "TovrinTracker/TrackerPersister.hpp"
#include "support/LoopbackServer.hpp"
#include "support/RawTcpServer.hpp"
#include "support/TestCertificates.hpp"
#include "support/TestSupport.hpp"

using nlohmann::json;
using tovrin::HttpClient;
using tovrin::HttpClientOptions;
using tovrin::SegmentIOTracker;
using tovrin::SegmentIOTrackerOptions;
using tovrin::TrackerPersister;
using tovrin::test::LogCapture;
using tovrin::test::LoopbackServer;
using tovrin::test::RawTcpServer;
using tovrin::test::Reply;
using tovrin::test::TestCertificates;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr auto kPatience = 20s;

[[maybe_unused]] const bool kLoopbackBypassesProxies = [] {
  setenv("no_proxy", "127.0.0.1,localhost", 1);
  setenv("NO_PROXY", "127.0.0.1,localhost", 1);
  return true;
}();

std::string readAll(const fs::path& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(Security, NoCombinationOfOptionsLetsAnUntrustedServerReceiveAnything) {
  TestCertificates serverAuthority;  // signed the server's certificate; trusted by nobody here
  TestCertificates otherAuthority;
  LoopbackServer untrusted(&serverAuthority);
  untrusted.setReply("/v1/track", Reply(200, "{}", "application/json"));
  untrusted.setReply("/json/", Reply(200, R"({"city":"x"})", "application/json"));
  const std::vector<std::string> bundles = {"", otherAuthority.caBundlePath(),
                                            "/nonexistent/ca.pem"};
  LogCapture logs;
  std::size_t attempts = 0;
  for (const auto& clientBundle : bundles) {
    for (const auto& requestBundle : bundles) {
      std::string combination = "client CA '";
      combination += clientBundle;
      combination += "', request CA '";
      combination += requestBundle;
      combination += "'";
      SCOPED_TRACE(combination);
      HttpClientOptions clientOptions;
      clientOptions.caBundlePath = clientBundle;
      clientOptions.requestTimeout = 5s;
      HttpClient client(clientOptions);
      // Directly through the client...
      tovrin::HttpRequest request;
      request.method = "POST";
      request.url = untrusted.url() + "/v1/track";
      request.body = "{}";
      request.caBundlePath = requestBundle;
      std::string error;
      client.send(request, [&error](const tovrin::HttpResponse& r) { error = r.error; });
      // ...and through a tracker, with the lookup and an event.
      SegmentIOTrackerOptions options;
      options.collectorUrl = untrusted.url();
      options.geolocationUrl = untrusted.url();
      options.caBundlePath = requestBundle;
      options.client = &client;
      auto segment = std::make_shared<SegmentIOTracker>("WRITEKEY", options);
      segment->track("E", nullptr);
      ASSERT_TRUE(client.flush(kPatience));
      segment->track("F", nullptr);
      ASSERT_TRUE(client.flush(kPatience));
      EXPECT_FALSE(error.empty());
      EXPECT_FALSE(segment->context());
      attempts += 4;
    }
  }
  EXPECT_EQ(attempts, 36u);
  EXPECT_EQ(untrusted.requestCount(), 0u);
}

TEST(Security, PlainHttpIsRefusedUnlessItGoesToALoopbackAddress) {
  // Only constructed, never used: nothing is sent anywhere, accepted or not.
  const std::vector<std::string> refused = {
      "http://example.com",
      "http://10.0.0.1:8080",
      "http://127.0.0.1.example.com",
      "http://127.0.0.1@example.com",
      "http://127.0.0.1:80@example.com/v1",
      "http://localhost:80@example.com",
      "http://[::1]@example.com",
      "http://[::1].example.com",
      "http://localhost.example.com",
      "http://evil@127.0.0.1:8080",
      "ftp://127.0.0.1",
      "127.0.0.1:8080",
      "HTTP://example.com",
      "https://",
      "",
  };
  const std::vector<std::string> accepted = {
      "http://127.0.0.1:8080", "http://127.0.0.1", "http://127.1.2.3:9/", "http://localhost:8080",
      "http://[::1]:8080/",    "http://localhost", "https://example.com", "https://example.com/x",
  };
  for (const auto& url : refused) {
    for (const bool geolocation : {false, true}) {
      SCOPED_TRACE(url + (geolocation ? " as geolocation URL" : " as collector URL"));
      LogCapture logs;
      SegmentIOTrackerOptions options;
      options.collectorUrl = geolocation ? "http://127.0.0.1:9" : url;
      options.geolocationUrl = geolocation ? url : "";
      SegmentIOTracker tracker("WRITEKEY", options);
      // An empty geolocation URL means "no service", not a refused one.
      const bool none = geolocation && url.empty();
      EXPECT_EQ(logs.count("URL is refused"), none ? 0u : 1u);
    }
  }
  for (const auto& url : accepted) {
    SCOPED_TRACE(url);
    LogCapture logs;
    SegmentIOTrackerOptions options;
    options.collectorUrl = url;
    options.geolocationUrl = url;
    SegmentIOTracker tracker("WRITEKEY", options);
    EXPECT_EQ(logs.count("URL is refused"), 0u);
  }
}

TEST(Security, NeitherKeyAppearsInAnyLogLineOfFailingRuns) {
  const std::string writeKey = "wk-SECRET-7d1f";
  const std::string geolocationKey = "gk-SECRET-93ab";
  const std::vector<std::string> secrets = {
      writeKey,
      geolocationKey,
      tovrin::base64String(writeKey + ":"),
      tovrin::base64String(writeKey),
      "SECRET",
  };
  LogCapture logs;
  {
    int closedPort;
    {
      RawTcpServer probe(RawTcpServer::Behavior::silent);
      closedPort = probe.port();
    }
    const std::string refusedUrl = "http://127.0.0.1:" + std::to_string(closedPort);
    // Collectors that refuse, reset, echo the credentials back in an error reply, or answer
    // with text that is not JSON; geolocation services that refuse, fail or echo the key.
    LoopbackServer echo;
    echo.setHandler("/v1/track", [](const tovrin::test::RecordedRequest& request) {
      return Reply(401,
                   json{{"error", "bad credentials: " + request.header("Authorization")}}.dump(),
                   "application/json");
    });
    echo.setHandler("/json/", [](const tovrin::test::RecordedRequest& request) {
      const auto key = request.params.find("key");
      return Reply(403, "invalid key " + (key == request.params.end() ? "" : key->second));
    });
    LoopbackServer notJson;
    notJson.setHandler("/v1/track", [&writeKey](const tovrin::test::RecordedRequest&) {
      return Reply(400, "unknown write key " + writeKey);
    });
    RawTcpServer reset(RawTcpServer::Behavior::resetMidReply);
    HttpClient client([] {
      HttpClientOptions options;
      options.requestTimeout = 5s;
      return options;
    }());
    const std::vector<std::pair<std::string, std::string>> routes = {
        {refusedUrl, refusedUrl},  {echo.url(), echo.url()},           {notJson.url(), refusedUrl},
        {reset.url(), echo.url()}, {"http://example.com", refusedUrl}, {echo.url(), "ftp://x"},
    };
    for (const auto& [collector, geolocation] : routes) {
      SegmentIOTrackerOptions options;
      options.collectorUrl = collector;
      options.geolocationUrl = geolocation;
      options.geolocationKey = geolocationKey;
      options.client = &client;
      auto segment = std::make_shared<SegmentIOTracker>(writeKey, options);
      segment->setSuperProperties({{"bad", std::nan("")}});
      segment->track("Queued", {{"k", 1}});
      segment->track("Bad", {{"v", std::string("\xFF")}});
      ASSERT_TRUE(client.flush(kPatience));
      segment->track("Later", {{"k", 2}});
      ASSERT_TRUE(client.flush(kPatience));
    }
    ASSERT_GE(echo.requestCount(), 2u);  // the echoing servers were really asked
  }
  const auto lines = logs.lines();
  EXPECT_GE(lines.size(), 20u);
  EXPECT_GE(logs.count("Segment: response"), 4u);
  for (const auto& line : lines) {
    for (const auto& secret : secrets)
      EXPECT_EQ(line.find(secret), std::string::npos) << line;
  }
}

namespace {

struct PrivateStore : ::testing::Test {
  tovrin::test::TempDir temp;
  fs::path folder = temp.path() / "deeper" / "app";
  fs::path file = folder / "defaults.json";
  void TearDown() override { TrackerPersister::setStoreDirectory({}); }
};

}  // namespace

TEST_F(PrivateStore, EveryWriteReplacesTheFileWholeAndPrivateWhateverTheUmask) {
  const mode_t previous = ::umask(0);
  TrackerPersister::setStoreDirectory(folder);
  TrackerPersister store;
  store.setObject("first", "k");
  struct stat info {};
  ASSERT_EQ(::stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const ino_t before = info.st_ino;

  // A reader that opened the old file keeps reading all of it; the name gets a new file.
  std::ifstream reader(file);
  ::chmod(file.c_str(), 0644);  // loosened by someone else: the next write tightens it again
  store.setObject(std::string(100000, 'x'), "big");
  ::umask(previous);
  const std::string old((std::istreambuf_iterator<char>(reader)), std::istreambuf_iterator<char>());
  EXPECT_EQ(json::parse(old), (json{{"k", "first"}}));
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_NE(info.st_ino, before);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(json::parse(readAll(file)).at("big").get<std::string>().size(), 100000u);
  // No temporary file is left behind.
  std::size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(folder))
    entries += entry.path().filename() == ".defaults.lock" ? 0 : 1;
  EXPECT_EQ(entries, 1u);
}

TEST_F(PrivateStore, ASymlinkInPlaceOfTheLockFileIsNotFollowed) {
  LogCapture logs;
  fs::create_directories(folder);
  const fs::path target = temp.path() / "victim";
  std::ofstream(target) << "keep";
  fs::create_symlink(target, folder / ".defaults.lock");
  TrackerPersister::setStoreDirectory(folder);
  TrackerPersister store;
  store.setObject("v", "k");
  EXPECT_EQ(store.objectForKey("k"), json("v"));  // kept in memory
  EXPECT_EQ(readAll(target), "keep");
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(logs.count("kept in memory only"), 1u);
}
