#include "TovrinTracker/CounterTracker.hpp"

namespace tovrin {

void CounterTracker::track(const std::string& name, const Properties& properties) {
  storage_.push_back(Event::eventWithName(name, properties));
}

void CounterTracker::timedTrackerEventStarted(const std::shared_ptr<TimedTracker>& /*sender*/,
                                              const std::string& /*eventStarted*/) {
  ++timesStarted_;
}

void CounterTracker::timedTrackerEventFinished(const std::shared_ptr<TimedTracker>& /*sender*/,
                                               const std::shared_ptr<TimedEvent>& /*event*/) {
  ++timesFinished_;
}

}  // namespace tovrin
