// A host that ends while 1,000 events tracked through the shared HTTP client are in flight to a
// collector that never answers:
//   tovrin-test-segment_exit COLLECTOR_URL GEOLOCATION_URL|none return|exit
// With a geolocation URL the lookup never answers either, and the events wait in the tracker's
// queue. Prints "tracked" once every track() call has returned.

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "TovrinTracker/SegmentIOTracker.hpp"
#include "TovrinTracker/TrackerManager.hpp"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s COLLECTOR_URL GEOLOCATION_URL|none return|exit\n", argv[0]);
    return 2;
  }
  const std::string geolocation = argv[2];
  const std::string how = argv[3];
  tovrin::SegmentIOTrackerOptions options;
  options.collectorUrl = argv[1];
  options.geolocationUrl = geolocation == "none" ? "" : geolocation;
  options.geolocationKey = "GEOKEY-AT-EXIT";
  auto segment = std::make_shared<tovrin::SegmentIOTracker>("WRITEKEY-AT-EXIT", options);
  auto manager = std::make_shared<tovrin::TrackerManager>(
      tovrin::TrackerManager::TrackerList{segment}, nullptr, "exit");
  manager->setAsSharedInstance();
  manager->setSuperProperties({{"plan", "pro"}});
  for (int i = 0; i < 1000; ++i)
    tovrin::TrackerManager::sharedInstance()->track("Exit Event", {{"i", i}});
  std::printf("tracked\n");
  std::fflush(stdout);
  if (how == "exit")
    std::exit(0);
  return 0;
}
