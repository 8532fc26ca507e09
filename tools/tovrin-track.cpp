// tovrin-track: tracks one event from the command line and reports whether it was delivered.
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>

#include "TovrinTracker/TovrinTracker.hpp"

namespace {

const char* kUsage = R"(usage: tovrin-track --write-key KEY [--collector URL]
                    [--geolocation URL --geolocation-key KEY] [--ca-file PATH]
                    [--timeout SECONDS] EVENT [PROPERTIES-JSON]

Tracks EVENT with the properties (a JSON object) through a TrackerManager and a
SegmentIOTracker, and waits until the collector has answered.

  --write-key KEY        the Segment write key (required)
  --collector URL        collector base URL (default: the build's, normally https://api.segment.io)
  --geolocation URL      geolocation service base URL; without it no location is sent
  --geolocation-key KEY  the geolocation service's access key
  --ca-file PATH         CA bundle to verify the services against
  --timeout SECONDS      how long to wait for delivery (default 30)
  --help                 this text

Exit status: 0 delivered (the collector answered 2xx), 1 not delivered (error status, transport
failure or time-out; the reason is printed), 2 bad arguments or properties that are not a JSON
object.
)";

// Reports the outcome of every request it sends, with the HTTP status.
class ReportingTracker : public tovrin::SegmentIOTracker {
 public:
  using SegmentIOTracker::SegmentIOTracker;

  void sendRequest(const tovrin::HttpRequest& request, Completion) const override {
    tovrin::HttpClient::shared().send(request, [this](const tovrin::HttpResponse& response) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++answered_;
      if (!response.ok()) {
        failure_ = response.error;
      } else if (response.status < 200 || response.status >= 300) {
        failure_ = "the collector answered " + std::to_string(response.status) +
                   (response.body.empty() ? "" : ": " + response.body.substr(0, 200));
      }
    });
  }
  std::size_t answered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return answered_;
  }
  std::string failure() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
  }

 private:
  mutable std::mutex mutex_;
  mutable std::size_t answered_ = 0;
  mutable std::string failure_;
};

int usageError(const std::string& message) {
  std::cerr << "tovrin-track: " << message << "\n\n" << kUsage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string writeKey, event;
  tovrin::SegmentIOTrackerOptions options;
  options.geolocationUrl = "";  // no lookup unless asked for
  double timeout = 30;
  std::optional<std::string> propertiesText;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg.rfind("--", 0) == 0) {
      if (i + 1 >= argc)
        return usageError(arg + " needs a value");
      const std::string value = argv[++i];
      if (arg == "--write-key") {
        writeKey = value;
      } else if (arg == "--collector") {
        options.collectorUrl = value;
      } else if (arg == "--geolocation") {
        options.geolocationUrl = value;
      } else if (arg == "--geolocation-key") {
        options.geolocationKey = value;
      } else if (arg == "--ca-file") {
        options.caBundlePath = value;
      } else if (arg == "--timeout") {
        char* end = nullptr;
        timeout = std::strtod(value.c_str(), &end);
        if (!end || *end || !(timeout > 0))
          return usageError("invalid --timeout \"" + value + "\"");
      } else {
        return usageError("unknown option " + arg);
      }
    } else if (event.empty()) {
      event = arg;
    } else if (!propertiesText) {
      propertiesText = arg;
    } else {
      return usageError("unexpected argument \"" + arg + "\"");
    }
  }
  if (writeKey.empty())
    return usageError("--write-key is required");
  if (event.empty())
    return usageError("EVENT is required");
  tovrin::Properties properties = tovrin::Properties::object();
  if (propertiesText) {
    properties = tovrin::Properties::parse(*propertiesText, nullptr, false);
    if (!properties.is_object())
      return usageError("PROPERTIES-JSON is not a JSON object");
  }
  // The identity of a command-line run is not worth persisting: no store.
  auto tracker = std::make_shared<ReportingTracker>(writeKey, options);
  auto manager = std::make_shared<tovrin::TrackerManager>(
      tovrin::TrackerManager::TrackerList{tracker}, nullptr, "tovrin-track");
  manager->track(event, properties);

  const bool finished = tovrin::HttpClient::shared().flush(
      std::chrono::milliseconds(static_cast<long long>(timeout * 1000)));
  if (!finished) {
    std::cerr << "tovrin-track: not delivered: no answer within " << timeout << " s\n";
    return 1;
  }
  if (tracker->answered() == 0) {
    std::cerr << "tovrin-track: not delivered: the event was not sent (see the log above)\n";
    return 1;
  }
  if (!tracker->failure().empty()) {
    std::cerr << "tovrin-track: not delivered: " << tracker->failure() << "\n";
    return 1;
  }
  std::cout << "delivered \"" << event << "\"\n";
  return 0;
}
