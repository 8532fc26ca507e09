// A host that tracks through a manager into a counter tracker, as a unit test of its own would.
#include <TovrinTracker/TovrinTracker.hpp>

#include <cstdio>

int main() {
  auto counter = std::make_shared<tovrin::CounterTracker>();
  auto manager = std::make_shared<tovrin::TrackerManager>(
      tovrin::TrackerManager::TrackerList{counter}, nullptr, "consumer");
  manager->track("Consumer Started", {{"version", tovrin::TovrinTrackerVersionNumber}});
  manager->timedTrack("Work");
  manager->timedFinish("Work", {{"items", 3}});
  std::printf("%s tracked %llu event(s), %llu timed report(s)\n", manager->uuid()->c_str(),
              static_cast<unsigned long long>(counter->tracksCount()),
              static_cast<unsigned long long>(counter->timesFinished()));
  return counter->tracksCount() == 1 && counter->timesFinished() == 1 ? 0 : 1;
}
