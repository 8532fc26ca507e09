// tovrin-demo: a timed-event session through a host-defined tracker and a real run loop.
#include <cstdio>
#include <memory>
#include <string>

#include "TovrinTracker/TovrinTracker.hpp"

namespace {

// A host tracker that prints every report that reaches it.
class PrintingTracker : public tovrin::Tracker {
 public:
  int finished = 0;

  void timedTrackerEventStarted(const std::shared_ptr<tovrin::TimedTracker>&,
                                const std::string& name) override {
    std::printf("  started   %s\n", name.c_str());
  }
  void timedTrackerEventFinished(const std::shared_ptr<tovrin::TimedTracker>&,
                                 const std::shared_ptr<tovrin::TimedEvent>& event) override {
    ++finished;
    std::printf("  finished  %s  session %.3f s  properties %s\n", event->name().c_str(),
                event->sessionLength(), event->properties().dump().c_str());
  }
};

}  // namespace

int main() {
  auto tracker = std::make_shared<PrintingTracker>();
  auto& loop = tovrin::RunLoop::current();
  const double merge = 0.3;

  std::printf("Two quick runs of \"Export\" within a %.1f s merge interval:\n", merge);
  tracker->timedTrack("Export");
  loop.runFor(0.05);
  tracker->timedFinish("Export", {{"format", "png"}}, merge);
  tracker->timedTrack("Export");  // within the interval: folds into the same report
  tracker->event("Export", "pages");
  tracker->event("Export", "pages");
  loop.runFor(0.05);
  tracker->timedFinish("Export", {{"quality", "high"}}, merge);
  loop.runUntil([&] { return tracker->finished == 1; }, 5.0);

  std::printf("One run with an increment, reported at once:\n");
  tracker->timedTrack("Render");
  tracker->event("Render", "frames");
  tracker->timedFinish("Render", {{"scene", "demo"}});

  const bool ok = tracker->finished == 2 && loop.pendingTaskCount() == 0;
  std::printf("%s: %d reports for 3 runs\n", ok ? "OK" : "FAILED", tracker->finished);
  return ok ? 0 : 1;
}
