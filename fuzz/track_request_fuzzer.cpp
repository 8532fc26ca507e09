// Decodes arbitrary bytes as JSON, CBOR, MessagePack or UBJSON (chosen by the first byte) into
// property values, and tracks them through SegmentIOTracker with the request captured instead of
// sent. Aborts unless every event is either sent with exactly the name and properties given, or
// dropped with exactly one log line, and unless super properties are either taken as given or
// refused with one line.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "TovrinTracker/Log.hpp"
#include "TovrinTracker/SegmentIOTracker.hpp"

namespace {

using nlohmann::json;

void check(bool condition) {
  if (!condition)
    std::abort();
}

// Keeps the requests instead of sending them. Located events are built on the HTTP client's
// thread, so the list is guarded and read after the client has been flushed.
class CapturingTracker : public tovrin::SegmentIOTracker {
 public:
  using SegmentIOTracker::SegmentIOTracker;
  void sendRequest(const tovrin::HttpRequest& request, Completion) const override {
    std::lock_guard<std::mutex> lock(mutex);
    sent.push_back(request);
  }
  std::vector<tovrin::HttpRequest> takeSent() const {
    check(tovrin::HttpClient::shared().flush(std::chrono::seconds(10)));
    std::lock_guard<std::mutex> lock(mutex);
    return sent;
  }
  mutable std::mutex mutex;
  mutable std::vector<tovrin::HttpRequest> sent;
};

std::size_t logLines = 0;

json decode(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return json(json::value_t::discarded);
  const std::uint8_t* begin = data + 1;
  const std::uint8_t* end = data + size;
  // The binary readers throw for an announced array larger than max_size() even when told not
  // to throw; such input is simply not a value.
  try {
    switch (data[0] % 4) {
      case 0:
        return json::parse(begin, end, nullptr, /*allow_exceptions=*/false);
      case 1:
        return json::from_cbor(begin, end, true, /*allow_exceptions=*/false);
      case 2:
        return json::from_msgpack(begin, end, true, /*allow_exceptions=*/false);
      default:
        return json::from_ubjson(begin, end, true, /*allow_exceptions=*/false);
    }
  } catch (const json::exception&) {
    return json(json::value_t::discarded);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    tovrin::setLogSink([](std::string_view) { ++logLines; });
    return true;
  }();
  (void)quiet;
  const json value = decode(data, size);
  if (value.is_discarded())
    return 0;

  tovrin::SegmentIOTrackerOptions options;
  options.collectorUrl = "http://127.0.0.1:9";  // never contacted: requests are captured
  options.geolocationUrl = "";
  auto tracker = std::make_shared<CapturingTracker>("WRITEKEY", options);

  // [name, properties] tracks under that name; anything else is the properties of "Fuzzed".
  std::string name = "Fuzzed";
  json properties = value;
  if (value.is_array() && value.size() == 2 && value[0].is_string()) {
    name = value[0].get<std::string>();
    properties = value[1];
  }
  logLines = 0;
  tracker->track(name, properties);
  const auto sent = tracker->takeSent();
  if (sent.empty()) {
    check(logLines == 1);
  } else {
    check(logLines == 0 && sent.size() == 1);
    const json body = json::parse(sent[0].body);
    check(body.at("event") == name);
    check(body.at("properties") == (properties.is_null() ? json::object() : properties));
  }

  // The same value as super properties: taken as given, or refused with one line.
  logLines = 0;
  tracker->setSuperProperties(value);
  if (logLines == 0) {
    check(tracker->superProperties() == value);
  } else {
    check(logLines == 1 && tracker->superProperties().is_null());
  }
  return 0;
}
