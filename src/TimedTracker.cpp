#include "TovrinTracker/TimedTracker.hpp"

#include <cmath>

#include "TovrinTracker/Clock.hpp"
#include "TovrinTracker/Log.hpp"
#include "TovrinTracker/RunLoop.hpp"

namespace tovrin {

std::map<std::string, std::shared_ptr<TimedEvent>> TimedTracker::timedEvents() const {
  return {events_.begin(), events_.end()};
}

double TimedTracker::checkedTime(double time, const char* operation,
                                 const std::string& name) const {
  if (std::isfinite(time))
    return time;
  log(std::string("TimedTracker: ") + operation + " of \"" + name +
      "\" with a time that is not finite; the current time is used instead");
  return currentMediaTime();
}

void TimedTracker::cancelScheduledFlush(const std::string& name) {
  RunLoop::current().cancel(this, name);
}

void TimedTracker::start(const std::string& name) {
  start(name, currentMediaTime());
}

void TimedTracker::start(const std::string& name, double sinceTime) {
  sinceTime = checkedTime(sinceTime, "start", name);
  cancelScheduledFlush(name);
  auto& record = events_[name];
  if (!record)
    record = MutableTimedEvent::timedEventWithName(name, Properties::object(), 0);
  record->setLastStartTime(sinceTime);
  // Copy what the notification needs: the delegate may change the map while it runs.
  const std::string startedName = record->name();
  if (auto delegate = delegate_.lock()) {
    delegate->timedTrackerEventStarted(shared_from_this(), startedName);
  }
}

std::shared_ptr<MutableTimedEvent> TimedTracker::track(const std::string& name,
                                                       const Properties& properties) {
  return track(name, properties, currentMediaTime());
}

std::shared_ptr<MutableTimedEvent> TimedTracker::track(const std::string& name,
                                                       const Properties& properties,
                                                       double atTime) {
  return track(name, properties, atTime, 0);
}

std::shared_ptr<MutableTimedEvent> TimedTracker::track(const std::string& name,
                                                       const Properties& properties, double atTime,
                                                       double delay) {
  atTime = checkedTime(atTime, "finish", name);
  cancelScheduledFlush(name);
  delay_ = delay;
  std::shared_ptr<MutableTimedEvent> record;
  if (auto found = events_.find(name); found != events_.end())
    record = found->second;
  if (record) {
    record->appendSessionLength(atTime - record->lastStartTime());
    record->appendProperties(properties);
  }
  if (delay == 0) {
    flushEvent(name);
  } else {
    // The scheduled call keeps this tracker and the name alive until it runs or is cancelled.
    RunLoop::current().schedule(this, name, delay,
                                [self = shared_from_this(), name] { self->flushEvent(name); });
  }
  return record;
}

void TimedTracker::flushEvent(const std::string& name) {
  auto found = events_.find(name);
  if (found == events_.end())
    return;
  const std::shared_ptr<MutableTimedEvent> record = found->second;
  if (auto delegate = delegate_.lock()) {
    delegate->timedTrackerEventFinished(shared_from_this(), record);
  }
  // The delegate may have restarted the event (which keeps the same record) or replaced the
  // map; remove the entry only if it still holds the record that was reported.
  found = events_.find(name);
  if (found != events_.end() && found->second == record)
    events_.erase(found);
}

void TimedTracker::event(const std::string& name, const std::string& increment) {
  event(name, increment, Properties(1));
}

void TimedTracker::event(const std::string& name, const std::string& increment,
                         const Properties& by) {
  auto found = events_.find(name);
  if (found == events_.end())
    return;
  found->second->incrementProperty(increment, by);
}

}  // namespace tovrin
