#include "TovrinTracker/Tracker.hpp"

#include "TovrinTracker/Clock.hpp"

namespace tovrin {

Tracker::Tracker()
    : delegateHandle_(static_cast<TimedTrackerDelegate*>(this), [](TimedTrackerDelegate*) {}) {
  // Constructors do not dispatch virtually; the accessors used here are the base class's.
  timed_ = std::make_shared<TimedTracker>();
  timed_->setDelegate(delegateHandle_);
}

Tracker::~Tracker() {
  // Expire the handle first, so that a delayed flush that runs later finds no delegate.
  delegateHandle_.reset();
}

void Tracker::event(const std::string& name, const std::string& increment) {
  if (auto timed = this->timed())
    timed->event(name, increment);
}

void Tracker::timedTrack(const std::string& name) {
  if (auto timed = this->timed())
    timed->start(name);
}

void Tracker::timedFinish(const std::string& name, const Properties& properties) {
  timedFinish(name, properties, 0.0);
}

void Tracker::timedFinish(const std::string& name, const Properties& properties,
                          double mergeFutureEventsWithinTimeInterval) {
  if (auto timed = this->timed()) {
    timed->track(name, properties, currentMediaTime(), mergeFutureEventsWithinTimeInterval);
  }
}

void Tracker::timedFlush(const std::string& name) {
  if (auto timed = this->timed())
    timed->flushEvent(name);
}

void Tracker::track(const std::string& /*name*/, const Properties& /*properties*/) {}

void Tracker::timedTrackerEventStarted(const std::shared_ptr<TimedTracker>& /*timedTracker*/,
                                       const std::string& /*eventStarted*/) {}

void Tracker::timedTrackerEventFinished(const std::shared_ptr<TimedTracker>& /*timedTracker*/,
                                        const std::shared_ptr<TimedEvent>& /*eventFinished*/) {}

void Tracker::setSuperProperties(const Properties& /*properties*/) {}

}  // namespace tovrin
