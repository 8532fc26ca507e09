// Feeds arbitrary bytes to SegmentIOTracker as the body of a collector reply and of a geolocation
// reply, and builds a track request with whatever location the latter yields. Aborts when a
// reply is both parsed and failed, when a refused reply is not deep or not JSON, or when a
// request built from an accepted location is not the JSON it should be.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "JsonInput.hpp"
#include "TovrinTracker/Log.hpp"
#include "TovrinTracker/SegmentIOTracker.hpp"

namespace {

void check(bool condition) {
  if (!condition)
    std::abort();
}

tovrin::SegmentIOTracker& tracker() {
  static const auto instance = [] {
    tovrin::setLogSink([](std::string_view) {});
    tovrin::SegmentIOTrackerOptions options;
    options.collectorUrl = "http://127.0.0.1:9";  // never contacted: nothing is tracked here
    options.geolocationUrl = "";
    return std::make_shared<tovrin::SegmentIOTracker>("WRITEKEY", options);
  }();
  return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nlohmann::json;
  const std::string body(reinterpret_cast<const char*>(data), size);
  const bool deep = tovrin::detail::nestsDeeperThan(body, tovrin::detail::kMaxReplyDepth);

  std::string error;
  const auto reply = tovrin::detail::parseReply(body, error);
  check(!(reply && !error.empty()));
  if (reply) {
    check(!deep);
    (void)reply->dump();  // what the log line of a queued event prints
  } else if (!body.empty()) {
    check(!error.empty());
    check(deep || !json::accept(body));
  }

  const auto location = tovrin::detail::locationFromReply(body);
  if (!location) {
    check(deep || !reply || !reply->is_object());
    return 0;
  }
  check(location->is_object() && !deep && reply && *reply == *location);
  tracker().setContext(*location);
  const auto request = tracker().trackingRequestWithEvent(
      "Fuzzed", std::chrono::system_clock::time_point{}, tracker().writeKey(), "USER",
      tracker().context(), json::object());
  const json sent = json::parse(request.body);
  const json& context = sent.at("context");
  check(context.at("location").size() == 5);
  // Compared as sent: a number too large for a double goes out as null.
  const auto query = location->find("query");
  check(context.at("ip").dump() == (query == location->end() ? json("") : *query).dump());
  const auto city = location->find("city");
  check(context.at("location").at("city").dump() ==
        (city == location->end() ? json("") : *city).dump());
  return 0;
}
