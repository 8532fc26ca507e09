#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <thread>

#include "TovrinTracker/HostInfo.hpp"
#include "TovrinTracker/SegmentIOTracker.hpp"
#include "support/TestSupport.hpp"

using nlohmann::json;
using tovrin::HttpRequest;
using tovrin::SegmentIOTracker;
using tovrin::test::ScopedEnv;
using Clock = std::chrono::system_clock;

namespace {

Clock::time_point utc(int year, int month, int day, int hour, int minute, int second, int millis) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return Clock::from_time_t(::timegm(&t)) + std::chrono::milliseconds(millis);
}

std::string header(const HttpRequest& request, const std::string& name) {
  for (const auto& [key, value] : request.headers) {
    if (key == name)
      return value;
  }
  return "<missing>";
}

struct TrackRequestTest : ::testing::Test {
  std::shared_ptr<SegmentIOTracker> tracker = std::make_shared<SegmentIOTracker>(
      "KEY",
      tovrin::SegmentIOTrackerOptions{"http://127.0.0.1:9/", "", "", "", 1000, {}, 100, nullptr});
  json build(const std::optional<std::string>& userID, const std::optional<json>& context,
             const std::optional<json>& properties) {
    auto request = tracker->trackingRequestWithEvent("Opened", Clock::now(), "KEY", userID, context,
                                                     properties);
    return SegmentIOTracker::bodyForRequest(request).value_or(json());
  }
  void TearDown() override {
    tovrin::clearApplicationInfo();
    tovrin::setScreenInfo(0, 0, 0);
  }
};

}  // namespace

TEST_F(TrackRequestTest, MinimalRequestHasExactlyTheAlwaysPresentKeys) {
  auto request = tracker->trackingRequestWithEvent("Opened", Clock::now(), "KEY", std::nullopt,
                                                   std::nullopt, std::nullopt);
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.url, "http://127.0.0.1:9/v1/track");
  ASSERT_EQ(request.headers.size(), 3u);
  EXPECT_EQ(request.headers[0],
            (std::pair<std::string, std::string>{"Authorization", "Basic S0VZOg=="}));
  EXPECT_EQ(request.headers[1].first, "Content-Type");
  EXPECT_EQ(request.headers[1].second, "application/json");
  EXPECT_EQ(request.headers[2], (std::pair<std::string, std::string>{"Accept-Encoding", "gzip"}));
  EXPECT_EQ(request.body.find('\n'), std::string::npos);  // compact

  json body = *SegmentIOTracker::bodyForRequest(request);
  std::vector<std::string> keys;
  for (const auto& item : body.items())
    keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"context", "event", "timestamp"}));
  std::vector<std::string> contextKeys;
  for (const auto& item : body["context"].items())
    contextKeys.push_back(item.key());
  EXPECT_EQ(contextKeys,
            (std::vector<std::string>{"app", "device", "library", "locale", "mixpanelLibrary",
                                      "network", "os", "screen", "timezone"}));
  EXPECT_EQ(body["context"]["mixpanelLibrary"], "");
  EXPECT_EQ(body["context"]["network"],
            (json{{"wifi", ""}, {"cellular", ""}, {"carrier", ""}, {"bluetooth", ""}}));
  EXPECT_EQ(body["context"]["os"]["name"], "");
  EXPECT_FALSE(body["context"]["os"]["version"].get<std::string>().empty());
  EXPECT_EQ(body["context"]["library"], (json{{"name", "TovrinTracker"}, {"version", "1.0.0"}}));
  EXPECT_EQ(body["context"]["device"]["manufacturer"], "");
  EXPECT_EQ(body["context"]["device"]["model"], tracker->getSystemStringForKey("hw.machine"));
  EXPECT_EQ(body["context"]["device"]["name"], tracker->getSystemStringForKey("hw.model"));
}

TEST_F(TrackRequestTest, PropertiesUserAndLocationAppearWhenHandedOver) {
  json body = build("USER", json{{"query", "203.0.113.7"}}, json::object());
  EXPECT_EQ(body["properties"], json::object());
  EXPECT_EQ(body["userId"], "USER");
  EXPECT_EQ(body["context"]["ip"], "203.0.113.7");
  EXPECT_EQ(
      body["context"]["location"],
      (json{{"city", ""}, {"country", ""}, {"latitude", ""}, {"longitude", ""}, {"region", ""}}));

  body = build(std::nullopt,
               json{{"city", "Zurich"},
                    {"country", "Switzerland"},
                    {"lat", 47.37},
                    {"lon", 8.54},
                    {"region", "ZH-code"},
                    {"regionName", "Zurich canton"},
                    {"isp", "x"}},
               json{{"k", 1}});
  EXPECT_EQ(body["context"]["location"], (json{{"city", "Zurich"},
                                               {"country", "Switzerland"},
                                               {"latitude", 47.37},
                                               {"longitude", 8.54},
                                               {"region", "Zurich canton"}}));
  EXPECT_EQ(body["context"]["ip"], "");
  EXPECT_EQ(body["properties"], (json{{"k", 1}}));
  EXPECT_FALSE(body.contains("userId"));
}

TEST_F(TrackRequestTest, HostInfoAndItsFallbacks) {
  json body = build(std::nullopt, std::nullopt, std::nullopt);
  EXPECT_EQ(body["context"]["screen"], (json{{"width", 0.0}, {"height", 0.0}, {"density", 0.0}}));
  EXPECT_EQ(body["context"]["app"], (json{{"version", "MSDocument not available"},
                                          {"build", "MSDocument not available"},
                                          {"name", "MSDocument not available"}}));
  tovrin::setApplicationInfo("Sketcher", "2.1", "2100");
  tovrin::setScreenInfo(1440, 900, 2);
  body = build(std::nullopt, std::nullopt, std::nullopt);
  EXPECT_EQ(body["context"]["app"],
            (json{{"version", "2.1"}, {"build", "2100"}, {"name", "Sketcher"}}));
  EXPECT_EQ(body["context"]["screen"],
            (json{{"width", 1440.0}, {"height", 900.0}, {"density", 2.0}}));
}

TEST_F(TrackRequestTest, LocaleAndTimeZoneComeFromTheEnvironment) {
  {
    ScopedEnv all("LC_ALL", "de_CH.UTF-8@euro");
    ScopedEnv tz("TZ", "Europe/Zurich");
    json body = build(std::nullopt, std::nullopt, std::nullopt);
    EXPECT_EQ(body["context"]["locale"], "de-CH");
    EXPECT_EQ(body["context"]["timezone"], "Europe/Zurich");
  }
  ScopedEnv all("LC_ALL", "C");
  EXPECT_EQ(build(std::nullopt, std::nullopt, std::nullopt)["context"]["locale"], "(null)-(null)");
}

TEST_F(TrackRequestTest, TimestampHasMillisecondsAndTheLocalOffset) {
  const auto date = utc(2026, 12, 8, 18, 45, 13, 123);
  const auto& formatter = tracker->dateFormatter();
  EXPECT_EQ(&formatter, &std::make_shared<SegmentIOTracker>("other")->dateFormatter());
  {
    ScopedEnv tz("TZ", "Europe/Zurich");
    ScopedEnv language("LC_ALL", "ar_EG.UTF-8");  // other digits and calendars must not matter
    EXPECT_EQ(formatter.stringFromDate(date), "2026-12-08T19:45:13.123+0100");
    EXPECT_EQ(formatter.stringFromDate(utc(2026, 7, 1, 0, 0, 0, 5)),
              "2026-07-01T02:00:00.005+0200");
  }
  {
    ScopedEnv tz("TZ", "America/New_York");
    EXPECT_EQ(formatter.stringFromDate(date), "2026-12-08T13:45:13.123-0500");
    json body = SegmentIOTracker::bodyForRequest(
                    tracker->trackingRequestWithEvent("E", date, "KEY", std::nullopt, std::nullopt,
                                                      std::nullopt))
                    .value();
    EXPECT_EQ(body["timestamp"], "2026-12-08T13:45:13.123-0500");
  }
  ScopedEnv tz("TZ", "Asia/Kolkata");
  // Formatting from several threads at once gives the same text everywhere.
  std::vector<std::thread> threads;
  threads.reserve(4);
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        if (formatter.stringFromDate(date) != "2026-12-09T00:15:13.123+0530")
          ++mismatches;
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(mismatches, 0);
}

TEST_F(TrackRequestTest, CredentialAndSystemStrings) {
  EXPECT_EQ(tracker->basicAuthValueForUsername(std::nullopt, std::nullopt), "Og==");
  EXPECT_EQ(tracker->basicAuthValueForUsername("user", "pass"), "dXNlcjpwYXNz");
  auto request = tracker->trackingRequestWithEvent("E", Clock::now(), std::nullopt, std::nullopt,
                                                   std::nullopt, std::nullopt);
  EXPECT_EQ(header(request, "Authorization"), "Basic Og==");
  EXPECT_EQ(tracker->getSystemStringForKey("hw.no-such-name"), "");
  EXPECT_FALSE(tracker->getSystemStringForKey("hw.machine").empty());
  EXPECT_FALSE(SegmentIOTracker::bodyForRequest(HttpRequest{}));
}

TEST_F(TrackRequestTest, SubclassOverridesChangeTheRequestsItBuilds) {
  struct Custom : SegmentIOTracker {
    using SegmentIOTracker::SegmentIOTracker;
    std::string basicAuthValueForUsername(const std::optional<std::string>&,
                                          const std::optional<std::string>&) const override {
      return "custom";
    }
    std::string getSystemStringForKey(const char* key) const override {
      return std::string("sys:") + key;
    }
  };
  auto custom = std::make_shared<Custom>("KEY");
  auto request = custom->trackingRequestWithEvent("E", Clock::now(), "KEY", std::nullopt,
                                                  std::nullopt, std::nullopt);
  EXPECT_EQ(header(request, "Authorization"), "Basic custom");
  json body = *SegmentIOTracker::bodyForRequest(request);
  EXPECT_EQ(body["context"]["device"]["name"], "sys:hw.model");
  EXPECT_EQ(body["context"]["device"]["model"], "sys:hw.machine");
}
