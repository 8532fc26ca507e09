// tovrin-demo: the whole library end to end, with no account and no network: a local collector
// in this process, a manager over a Segment tracker, a counter and a mocked tracker, plain events
// with super properties, and a timed event re-run within its merge interval.
#include <chrono>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "TovrinTracker/HostInfo.hpp"
#include "TovrinTracker/TovrinTracker.hpp"
#include "common/LocalCollector.hpp"

using namespace std::chrono_literals;

int main() {
  // Log lines (one per reply to an event queued behind the location lookup) go to stdout, so
  // that they appear in order with the rest.
  tovrin::setLogSink([](std::string_view line) { std::cout << "  log: " << line << std::endl; });
  tovrin::tools::LocalCollector collector({});
  std::string error;
  if (!collector.start(&error)) {
    std::cerr << "tovrin-demo: " << error << "\n";
    return 1;
  }
  std::cout << "Local collector on " << collector.url() << "\n\n";

  tovrin::setApplicationInfo("tovrin-demo", "1.0.0", "1");
  tovrin::setScreenInfo(1920, 1080, 1);
  tovrin::SegmentIOTrackerOptions options;
  options.collectorUrl = collector.url();
  options.geolocationUrl = collector.url();
  options.geolocationKey = "DEMOGEOKEY12345";
  auto segment = std::make_shared<tovrin::SegmentIOTracker>("demo-write-key", options);
  auto counter = std::make_shared<tovrin::CounterTracker>();
  auto mocked = std::make_shared<tovrin::MockedTracker>();
  auto manager = std::make_shared<tovrin::TrackerManager>(
      tovrin::TrackerManager::TrackerList{segment, counter, mocked}, "tovrin-demo");
  manager->setAsSharedInstance();
  std::cout << "User " << manager->uuid().value_or("?") << " (kept in "
            << tovrin::TrackerPersister::storePath().string() << ")\n\n";

  // Plain events, with super properties merged under each event's own.
  std::multiset<std::string> sent;
  auto track = [&](const std::string& name, const tovrin::Properties& properties) {
    manager->track(name, properties);
    sent.insert(name);
  };
  manager->setSuperProperties({{"edition", "demo"}, {"plan", "free"}});
  track("App Launched", {{"launch_ms", 420}});
  track("Document Opened", {{"format", "png"}, {"pages", 3}, {"plan", "trial"}});

  // A timed event run twice within its merge interval: one report with the summed time.
  auto& loop = tovrin::RunLoop::current();
  manager->timedTrack("Export");
  loop.runFor(0.05);
  manager->timedFinish("Export", {{"format", "pdf"}}, 0.5);
  manager->timedTrack("Export");
  manager->event("Export", "pages");
  manager->event("Export", "pages");
  loop.runFor(0.05);
  manager->timedFinish("Export", {{"quality", "high"}}, 0.5);
  const bool reported = loop.runUntil([&] { return counter->timesFinished() == 1; }, 5.0);
  std::cout << "Timed report (two runs of Export within 0.5 s): " << mocked->name().value_or("-")
            << " " << mocked->properties().dump() << ", session length " << mocked->sessionLength()
            << " s\n\n";
  track(tovrin::TrackerManagerEventSessionEnded, tovrin::Properties::object());

  const bool flushed = tovrin::HttpClient::shared().flush(10s);
  collector.waitForEvents(sent.size(), 2s);

  std::cout << "The collector received:\n";
  std::multiset<std::string> received;
  for (const auto& body : collector.events()) {
    std::cout << "  " << tovrin::tools::describeEvent(body) << "\n";
    received.insert(body.value("event", std::string()));
  }
  std::cout << "  (" << collector.lookups() << " location lookup; timed reports stay local)\n\n";

  std::cout << "The counter tracker holds " << counter->tracksCount() << " events:\n";
  for (const auto& event : counter->events())
    std::cout << "  " << event->description() << "\n";
  std::cout << "  timed events started " << counter->timesStarted() << ", reported "
            << counter->timesFinished() << "\n\n";

  std::cout << "The mocked tracker's last event: " << mocked->name().value_or("-") << " "
            << mocked->properties().dump() << "\n  session length " << mocked->sessionLength()
            << " s, last started " << mocked->startedEvent().value_or("-") << ", super properties "
            << mocked->globalProperties().dump() << "\n\n";

  const bool ok = flushed && reported && received == sent && counter->timesStarted() == 2 &&
                  counter->tracksCount() == sent.size();
  if (ok) {
    std::cout << "Verdict: OK, all " << sent.size()
              << " events arrived exactly once and two runs of Export made one report\n";
  } else {
    std::cout << "Verdict: FAILED, " << received.size() << " of " << sent.size()
              << " events arrived" << (reported ? "" : ", the timed report did not come") << "\n";
  }
  collector.stop();
  return ok ? 0 : 1;
}
