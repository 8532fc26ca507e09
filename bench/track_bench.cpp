// What a host's thread pays for TrackerManager::track and the timed-event calls, and what
// building one Segment track request costs.
//
// The per-call benchmarks time every call on its own (steady_clock around the call) and report
// the median and the 99th percentile as counters; the iteration time is the call's own time
// (manual time). Before each timed track() the same property dictionary is copied once, also
// timed, so every run carries its own baseline under the same load: `copy_median_ns` and
// `track_per_copy` (median track over median copy).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchEvent.hpp"
#include "BenchServer.hpp"
#include "TovrinTracker/TovrinTracker.hpp"
#include "platform/SystemInfo.hpp"

namespace {

using tovrin::bench::eventProperties;
using tovrin::bench::kEventName;
using tovrin::bench::nanosecondsBetween;
using tovrin::bench::percentile;
using tovrin::bench::SteadyClock;
using namespace std::chrono_literals;

struct CallTimes {
  std::vector<double> track, copy;

  explicit CallTimes(std::size_t expected) {
    track.reserve(expected);
    copy.reserve(expected);
  }

  // Copies `properties` (timed), then runs `call` (timed); returns the call's time in seconds.
  template <class Call>
  double measure(const tovrin::Properties& properties, Call&& call) {
    const auto copyStart = SteadyClock::now();
    tovrin::Properties copied = properties;
    const auto copyEnd = SteadyClock::now();
    benchmark::DoNotOptimize(copied);
    const auto callStart = SteadyClock::now();
    call();
    const auto callEnd = SteadyClock::now();
    copy.push_back(nanosecondsBetween(copyStart, copyEnd));
    const double ns = nanosecondsBetween(callStart, callEnd);
    track.push_back(ns);
    return ns * 1e-9;
  }

  void report(benchmark::State& state) {
    const double median = percentile(track, 0.5);
    const double copyMedian = percentile(copy, 0.5);
    state.counters["median_ns"] = median;
    state.counters["p99_ns"] = percentile(track, 0.99);
    state.counters["copy_median_ns"] = copyMedian;
    state.counters["copy_p99_ns"] = percentile(copy, 0.99);
    state.counters["track_per_copy"] = copyMedian > 0 ? median / copyMedian : 0;
  }
};

// The baseline on its own: one copy of the event's property dictionary.
void CopyProperties(benchmark::State& state) {
  const tovrin::Properties properties = eventProperties();
  std::vector<double> times;
  times.reserve(static_cast<std::size_t>(state.max_iterations));
  for (auto _ : state) {
    const auto start = SteadyClock::now();
    tovrin::Properties copied = properties;
    const auto end = SteadyClock::now();
    benchmark::DoNotOptimize(copied);
    const double ns = nanosecondsBetween(start, end);
    times.push_back(ns);
    state.SetIterationTime(ns * 1e-9);
  }
  state.counters["median_ns"] = percentile(times, 0.5);
  state.counters["p99_ns"] = percentile(times, 0.99);
}
BENCHMARK(CopyProperties)->UseManualTime()->Iterations(200000)->Unit(benchmark::kNanosecond);

// (a) The manager over a CounterTracker, whose storage is emptied every 1000 events.
void TrackCounter(benchmark::State& state) {
  auto counter = std::make_shared<tovrin::CounterTracker>();
  auto manager = std::make_shared<tovrin::TrackerManager>(
      tovrin::TrackerManager::TrackerList{counter}, nullptr, "bench");
  const tovrin::Properties properties = eventProperties();
  const std::string name = kEventName;
  CallTimes times(static_cast<std::size_t>(state.max_iterations));
  std::int64_t n = 0;
  for (auto _ : state) {
    state.SetIterationTime(times.measure(properties, [&] { manager->track(name, properties); }));
    if (++n % 1000 == 0)
      counter->storage().clear();
  }
  times.report(state);
}
BENCHMARK(TrackCounter)->UseManualTime()->Iterations(200000)->Unit(benchmark::kNanosecond);

// (b) The manager over a located SegmentIOTracker delivering to a loopback server. `burst`
// tracks back to back and lets the HTTP client drain every 500 events (not timed); `paced`
// leaves 100 us between events, as a host's UI thread would, so the client's thread is usually
// asleep when an event arrives.
void TrackSegmentLocated(benchmark::State& state) {
  const bool paced = state.range(0) != 0;
  tovrin::bench::BenchServer server;
  tovrin::HttpClient client;
  tovrin::SegmentIOTrackerOptions options;
  options.collectorUrl = server.url();
  options.geolocationUrl = "";
  options.client = &client;
  auto segment = std::make_shared<tovrin::SegmentIOTracker>("BENCHWRITEKEY", options);
  auto manager = std::make_shared<tovrin::TrackerManager>(
      tovrin::TrackerManager::TrackerList{segment}, nullptr, "bench");
  segment->setContext(tovrin::bench::locationContext());
  manager->setSuperProperties(tovrin::bench::superProperties());
  tovrin::setApplicationInfo("Sketcher", "2.1", "2100");
  tovrin::setScreenInfo(1440, 900, 2);

  const tovrin::Properties properties = eventProperties();
  const std::string name = kEventName;
  for (int i = 0; i < 200; ++i)  // connections and caches warm
    manager->track(name, properties);
  if (!client.flush(30s))
    throw std::runtime_error("TrackSegmentLocated: warm-up not delivered");
  const std::uint64_t before = server.requestCount();

  CallTimes times(static_cast<std::size_t>(state.max_iterations));
  std::int64_t n = 0;
  for (auto _ : state) {
    state.SetIterationTime(times.measure(properties, [&] { manager->track(name, properties); }));
    ++n;
    if (paced) {
      std::this_thread::sleep_for(100us);
    } else if (n % 500 == 0) {
      client.flush(30s);
    }
  }
  if (!client.flush(60s))
    state.SkipWithError("events not delivered in time");
  const std::uint64_t delivered = server.requestCount() - before;
  if (delivered != static_cast<std::uint64_t>(n))
    state.SkipWithError("delivered count differs from tracked count");
  times.report(state);
  state.counters["delivered"] = static_cast<double>(delivered);
}
BENCHMARK(TrackSegmentLocated)
    ->ArgName("paced")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(20000)
    ->Unit(benchmark::kNanosecond);

// timedTrack + timedFinish with a merge interval through the manager (a CounterTracker child):
// every pair restarts the same event within the interval, so the whole burst of 10,000 pairs
// ends in exactly one report, checked after the loop.
void TimedTrackFinishPair(benchmark::State& state) {
  auto counter = std::make_shared<tovrin::CounterTracker>();
  auto manager = std::make_shared<tovrin::TrackerManager>(
      tovrin::TrackerManager::TrackerList{counter}, nullptr, "bench");
  const tovrin::Properties properties = eventProperties();
  const std::string name = kEventName;
  constexpr double kMergeInterval = 0.25;
  std::vector<double> times;
  times.reserve(static_cast<std::size_t>(state.max_iterations));
  for (auto _ : state) {
    const auto start = SteadyClock::now();
    manager->timedTrack(name);
    manager->timedFinish(name, properties, kMergeInterval);
    const auto end = SteadyClock::now();
    const double ns = nanosecondsBetween(start, end);
    times.push_back(ns);
    state.SetIterationTime(ns * 1e-9);
  }
  auto& loop = tovrin::RunLoop::current();
  loop.runUntil([&] { return counter->timesFinished() >= 1; }, 10.0);
  loop.runFor(2 * kMergeInterval);  // a second report would arrive by now
  const auto pairs = static_cast<double>(state.iterations());
  state.counters["median_ns"] = percentile(times, 0.5);
  state.counters["p99_ns"] = percentile(times, 0.99);
  state.counters["pairs"] = pairs;
  state.counters["reports"] = static_cast<double>(counter->timesFinished());
  state.SetLabel(std::to_string(state.iterations()) + " re-runs -> " +
                 std::to_string(counter->timesFinished()) + " report(s)");
  if (counter->timesFinished() != 1)
    state.SkipWithError("the burst did not end in exactly one report");
}
BENCHMARK(TimedTrackFinishPair)->UseManualTime()->Iterations(10000)->Unit(benchmark::kNanosecond);

struct BuildInputs {
  std::shared_ptr<tovrin::SegmentIOTracker> tracker;
  tovrin::Properties merged;
  tovrin::Properties context;
  std::string uuid = tovrin::TrackerManager::makeUuid();

  BuildInputs() {
    tovrin::SegmentIOTrackerOptions options;
    options.collectorUrl = "http://127.0.0.1:9";
    options.geolocationUrl = "";
    tracker = std::make_shared<tovrin::SegmentIOTracker>("BENCHWRITEKEY", options);
    merged = tovrin::bench::superProperties();
    const tovrin::Properties own = eventProperties();
    for (const auto& item : own.items())
      merged[item.key()] = item.value();
    context = tovrin::bench::locationContext();
    tovrin::setApplicationInfo("Sketcher", "2.1", "2100");
    tovrin::setScreenInfo(1440, 900, 2);
  }
};

// One request of the located event (super properties merged in, user id, location).
void BuildTrackRequest(benchmark::State& state) {
  BuildInputs in;
  std::size_t bytes = 0;
  const auto date = std::chrono::system_clock::now();
  for (auto _ : state) {
    auto request = in.tracker->trackingRequestWithEvent(kEventName, date, "BENCHWRITEKEY", in.uuid,
                                                        in.context, in.merged);
    bytes = request.body.size();
    benchmark::DoNotOptimize(request);
  }
  state.counters["body_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BuildTrackRequest)
    ->Unit(benchmark::kNanosecond)
    ->MinTime(0.3)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// The same request without event properties or user id: what remains is the context (with the
// location) and the fixed parts of the request.
void BuildTrackRequestContextOnly(benchmark::State& state) {
  BuildInputs in;
  std::size_t bytes = 0;
  const auto date = std::chrono::system_clock::now();
  for (auto _ : state) {
    auto request = in.tracker->trackingRequestWithEvent("", date, "BENCHWRITEKEY", std::nullopt,
                                                        in.context, std::nullopt);
    bytes = request.body.size();
    benchmark::DoNotOptimize(request);
  }
  state.counters["body_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BuildTrackRequestContextOnly)
    ->Unit(benchmark::kNanosecond)
    ->MinTime(0.3)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// The reference: the same request's body built as one nlohmann::json tree and dumped whole, as
// the builder did before it wrote cached parts (same values, same bytes).
void BuildTrackRequestAsJsonTree(benchmark::State& state) {
  BuildInputs in;
  std::size_t bytes = 0;
  const auto date = std::chrono::system_clock::now();
  const auto& tracker = *in.tracker;
  for (auto _ : state) {
    nlohmann::json payload = nlohmann::json::object();
    payload["properties"] = in.merged;
    payload["event"] = kEventName;
    payload["userId"] = in.uuid;
    nlohmann::json context = nlohmann::json::object();
    context["locale"] = tovrin::detail::localeIdentifier();
    context["timezone"] = tovrin::detail::timeZoneName();
    const auto screen = tovrin::detail::screenInfo();
    context["screen"] = {
        {"width", screen.width}, {"height", screen.height}, {"density", screen.density}};
    const auto app = tovrin::detail::applicationInfo();
    context["app"] = {{"version", app->version}, {"build", app->build}, {"name", app->name}};
    context["device"] = {{"manufacturer", ""},
                         {"name", tracker.getSystemStringForKey("hw.model")},
                         {"model", tracker.getSystemStringForKey("hw.machine")}};
    nlohmann::json location = nlohmann::json::object();
    const std::pair<const char*, const char*> fields[] = {{"city", "city"},
                                                          {"country", "country"},
                                                          {"latitude", "lat"},
                                                          {"longitude", "lon"},
                                                          {"region", "regionName"}};
    for (const auto& [key, from] : fields) {
      const auto found = in.context.find(from);
      location[key] = found == in.context.end() ? nlohmann::json("") : *found;
    }
    context["location"] = std::move(location);
    context["ip"] = in.context["query"];
    context["network"] = {{"wifi", ""}, {"cellular", ""}, {"carrier", ""}, {"bluetooth", ""}};
    context["os"] = {{"name", ""}, {"version", tovrin::detail::operatingSystemVersionString()}};
    context["library"] = {{"name", "TovrinTracker"}, {"version", "1.0.0"}};
    context["mixpanelLibrary"] = "";
    payload["context"] = std::move(context);
    payload["timestamp"] = tracker.dateFormatter().stringFromDate(date);
    std::string body = payload.dump();
    bytes = body.size();
    benchmark::DoNotOptimize(body);
  }
  state.counters["body_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BuildTrackRequestAsJsonTree)
    ->Unit(benchmark::kNanosecond)
    ->MinTime(0.3)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace
