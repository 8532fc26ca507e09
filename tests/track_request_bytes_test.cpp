// The track request body, written part by part from cached pieces, must be byte for byte the
// dump of the whole payload built as one nlohmann::json value, whatever the inputs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "TovrinTracker/HostInfo.hpp"
#include "TovrinTracker/SegmentIOTracker.hpp"
#include "TovrinTracker/Version.hpp"
#include "platform/SystemInfo.hpp"
#include "support/TestSupport.hpp"

using nlohmann::json;
using tovrin::SegmentIOTracker;
using Clock = std::chrono::system_clock;

using tovrin::test::ScopedEnv;

namespace {

// The payload as one JSON value, dumped whole: the reference the builder must match.
std::string referenceBody(const SegmentIOTracker& tracker, const std::string& event,
                          Clock::time_point date, const std::optional<std::string>& userID,
                          const std::optional<json>& context,
                          const std::optional<json>& properties) {
  const char* notAvailable = "MSDocument not available";
  json payload = json::object();
  if (properties)
    payload["properties"] = *properties;
  payload["event"] = event;
  if (userID)
    payload["userId"] = *userID;
  json contextObject = json::object();
  contextObject["locale"] = tovrin::detail::localeIdentifier();
  contextObject["timezone"] = tovrin::detail::timeZoneName();
  const auto screen = tovrin::detail::screenInfo();
  contextObject["screen"] = {
      {"width", screen.width}, {"height", screen.height}, {"density", screen.density}};
  const auto app = tovrin::detail::applicationInfo();
  contextObject["app"] = {{"version", app ? app->version : notAvailable},
                          {"build", app ? app->build : notAvailable},
                          {"name", app ? app->name : notAvailable}};
  contextObject["device"] = {{"manufacturer", ""},
                             {"name", tracker.getSystemStringForKey("hw.model")},
                             {"model", tracker.getSystemStringForKey("hw.machine")}};
  if (context) {
    const json& source = context->is_object() ? *context : json::object();
    json location = json::object();
    const std::pair<const char*, const char*> fields[] = {{"city", "city"},
                                                          {"country", "country"},
                                                          {"latitude", "lat"},
                                                          {"longitude", "lon"},
                                                          {"region", "regionName"}};
    for (const auto& [key, from] : fields) {
      const auto found = source.find(from);
      location[key] = found == source.end() ? json("") : *found;
    }
    contextObject["location"] = location;
    const auto query = source.find("query");
    contextObject["ip"] = query != source.end() ? *query : json("");
  }
  contextObject["network"] = {{"wifi", ""}, {"cellular", ""}, {"carrier", ""}, {"bluetooth", ""}};
  contextObject["os"] = {{"name", ""}, {"version", tovrin::detail::operatingSystemVersionString()}};
  contextObject["library"] = {{"name", "TovrinTracker"}, {"version", "1.0.0"}};
  contextObject["mixpanelLibrary"] = "";
  payload["context"] = std::move(contextObject);
  payload["timestamp"] = tracker.dateFormatter().stringFromDate(date);
  return payload.dump();
}

struct TrackRequestBytesTest : ::testing::Test {
  std::shared_ptr<SegmentIOTracker> tracker = [] {
    tovrin::SegmentIOTrackerOptions options;
    options.collectorUrl = "http://127.0.0.1:9";
    options.geolocationUrl = "";
    return std::make_shared<SegmentIOTracker>("KEY", options);
  }();
  void TearDown() override {
    tovrin::clearApplicationInfo();
    tovrin::setScreenInfo(0, 0, 0);
  }

  // Builds every combination of the given inputs and compares each with the reference.
  void expectSameBytes(const std::vector<std::optional<json>>& contexts,
                       const std::vector<std::optional<json>>& propertySets) {
    const std::vector<std::string> events = {"Opened", "", "Ünïcödé \"quoted\" \\ \t\x01 😀"};
    const std::vector<std::optional<std::string>> users = {std::nullopt, "USER-1", "ü\"\n\x7f"};
    const std::vector<Clock::time_point> dates = {
        Clock::from_time_t(0) + std::chrono::milliseconds(5),
        Clock::from_time_t(1796748313) + std::chrono::milliseconds(123),
        Clock::from_time_t(std::time_t{-86400} * 400) + std::chrono::milliseconds(999)};
    for (const auto& event : events) {
      for (const auto& user : users) {
        for (const auto& context : contexts) {
          for (const auto& properties : propertySets) {
            for (const auto& date : dates) {
              const auto request =
                  tracker->trackingRequestWithEvent(event, date, "KEY", user, context, properties);
              ASSERT_EQ(request.body,
                        referenceBody(*tracker, event, date, user, context, properties))
                  << "context " << (context ? context->dump() : "none") << " properties "
                  << (properties ? properties->dump() : "none");
            }
          }
        }
      }
    }
  }
};

const std::vector<std::optional<json>> kContexts = {
    std::nullopt,
    json::object(),
    json::parse(
        R"({"query":"203.0.113.7","city":"Zürich","country":"Switzerland","lat":47.37,"lon":8.54,"regionName":"Zurich","isp":"x"})"),
    json::parse(R"({"query":7,"lat":1,"lon":-0.0,"city":null,"regionName":{"a":[1,2]}})"),
    json::parse(R"({"lat":1.0,"lon":0.0})"),
    json::parse(R"([1,2,3])"),
    json("text"),
};

const std::vector<std::optional<json>> kProperties = {
    std::nullopt,
    json(nullptr),
    json::object(),
    json{{"s", "a \"b\" \\ c\n\u00e9 日本"},
         {"i", -42},
         {"u", std::numeric_limits<std::uint64_t>::max()},
         {"d", 0.1},
         {"e", 1e300},
         {"t", 5e-324},
         {"b", false},
         {"n", nullptr},
         {"list", json::array({1, "two", 3.5, json::object(), json::array()})},
         {"nested", {{"a", {{"b", 1}}}}}},
};

}  // namespace

TEST_F(TrackRequestBytesTest, MatchTheWholePayloadDumpForEveryKindOfInput) {
  expectSameBytes(kContexts, kProperties);
}

TEST_F(TrackRequestBytesTest, FollowTheHostInfoLocaleAndTimeZoneAsTheyChange) {
  const std::vector<std::optional<json>> contexts = {std::nullopt, kContexts[2]};
  const std::vector<std::optional<json>> properties = {kProperties[3]};
  expectSameBytes(contexts, properties);
  tovrin::setApplicationInfo("Sketcher \"Pro\"", "2.1 β", "2100\n");
  tovrin::setScreenInfo(1440, 900.5, 2);
  expectSameBytes(contexts, properties);
  tovrin::setScreenInfo(0, 0, 0);
  tovrin::setApplicationInfo("", "", "");
  expectSameBytes(contexts, properties);
  tovrin::clearApplicationInfo();
  {
    ScopedEnv all("LC_ALL", "de_CH.UTF-8@euro");
    ScopedEnv tz("TZ", "Europe/Zurich");
    expectSameBytes(contexts, properties);
  }
  {
    ScopedEnv all("LC_ALL", "C");
    ScopedEnv tz("TZ", "America/New_York");
    expectSameBytes(contexts, properties);
  }
  expectSameBytes(contexts, properties);
}

TEST_F(TrackRequestBytesTest, FollowSubclassDeviceStrings) {
  struct Custom : SegmentIOTracker {
    using SegmentIOTracker::SegmentIOTracker;
    std::string getSystemStringForKey(const char* key) const override {
      return std::string("sys:") + key + ":" + suffix;
    }
    std::string suffix = "A";
  };
  auto custom = std::make_shared<Custom>("KEY");
  for (const char* suffix : {"A", "B", "B", "\"C\""}) {
    custom->suffix = suffix;
    const auto date = Clock::now();
    const auto request = custom->trackingRequestWithEvent("E", date, "KEY", std::nullopt,
                                                          std::nullopt, json::object());
    EXPECT_EQ(request.body,
              referenceBody(*custom, "E", date, std::nullopt, std::nullopt, json::object()));
    EXPECT_EQ(json::parse(request.body)["context"]["device"]["name"],
              std::string("sys:hw.model:") + suffix);
  }
}

TEST_F(TrackRequestBytesTest, TextThatIsNotUtf8FailsToEncodeAsBefore) {
  tovrin::setApplicationInfo("bad \xC3\x28", "1", "1");
  EXPECT_THROW(tracker->trackingRequestWithEvent("E", Clock::now(), "KEY", std::nullopt,
                                                 std::nullopt, std::nullopt),
               json::exception);
  tovrin::clearApplicationInfo();
  EXPECT_THROW(tracker->trackingRequestWithEvent("bad \xFF", Clock::now(), "KEY", std::nullopt,
                                                 std::nullopt, std::nullopt),
               json::exception);
  EXPECT_NO_THROW(tracker->trackingRequestWithEvent("good", Clock::now(), "KEY", std::nullopt,
                                                    std::nullopt, std::nullopt));
}
