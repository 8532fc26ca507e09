#pragma once
// Keeps the timed events under way, measures them and reports their start and finish.

#include <map>
#include <memory>
#include <string>

#include "TovrinTracker/Properties.hpp"
#include "TovrinTracker/TimedEvent.hpp"

namespace tovrin {

class TimedTracker;

/// Receives the notifications of a TimedTracker.
class TimedTrackerDelegate {
 public:
  virtual ~TimedTrackerDelegate() = default;
  /// A timed event named `eventStarted` was started (also on a restart).
  virtual void timedTrackerEventStarted(const std::shared_ptr<TimedTracker>& timedTracker,
                                        const std::string& eventStarted) = 0;
  /// A timed event was reported as finished; `eventFinished` is the tracker's own record.
  virtual void timedTrackerEventFinished(const std::shared_ptr<TimedTracker>& timedTracker,
                                         const std::shared_ptr<TimedEvent>& eventFinished) = 0;
};

/// One record per event name; a finish with a non-zero delay is reported later from the calling
/// thread's RunLoop, and a restart or finish of the same name before then folds into the same
/// record. Use from one thread; always create it with std::make_shared.
///
/// Times are seconds on the monotonic clock (currentMediaTime()). A time that is not finite is
/// replaced by the current time, with one log line.
class TimedTracker : public std::enable_shared_from_this<TimedTracker> {
 public:
  using EventMap = std::map<std::string, std::shared_ptr<MutableTimedEvent>>;

  TimedTracker() = default;
  virtual ~TimedTracker() = default;
  TimedTracker(const TimedTracker&) = delete;
  TimedTracker& operator=(const TimedTracker&) = delete;

  /// A snapshot of the records (the records themselves are shared, not copied).
  std::map<std::string, std::shared_ptr<TimedEvent>> timedEvents() const;

  /// start(name, now).
  virtual void start(const std::string& name);
  /// Starts or restarts the event at `sinceTime`, cancelling a pending report of it.
  virtual void start(const std::string& name, double sinceTime);

  /// track(name, properties, now).
  virtual std::shared_ptr<MutableTimedEvent> track(const std::string& name,
                                                   const Properties& properties);
  /// track(name, properties, atTime, 0).
  virtual std::shared_ptr<MutableTimedEvent> track(const std::string& name,
                                                   const Properties& properties, double atTime);
  /// Finishes the event: adds atTime - lastStartTime to its session length, merges the
  /// properties, and reports it now (delay exactly 0) or after `delay` seconds on this thread's
  /// RunLoop (any other delay, negative and NaN included). Returns the record, or null when no
  /// event of that name is under way.
  virtual std::shared_ptr<MutableTimedEvent> track(const std::string& name,
                                                   const Properties& properties, double atTime,
                                                   double delay);

  /// Reports the event as finished now and drops it; nothing when there is no record.
  virtual void flushEvent(const std::string& name);

  /// event(name, increment, 1).
  virtual void event(const std::string& name, const std::string& increment);
  /// Increments a property of the running or pending record (see MutableTimedEvent).
  virtual void event(const std::string& name, const std::string& increment, const Properties& by);

  std::shared_ptr<TimedTrackerDelegate> delegate() const { return delegate_.lock(); }
  /// The delegate is held weakly: notifications are dropped once it has gone away.
  void setDelegate(std::weak_ptr<TimedTrackerDelegate> delegate) {
    delegate_ = std::move(delegate);
  }
  /// The live map of records.
  EventMap& events() { return events_; }
  const EventMap& events() const { return events_; }
  void setEvents(EventMap events) { events_ = std::move(events); }
  /// The delay given with the most recent finish.
  double delay() const { return delay_; }
  void setDelay(double delay) { delay_ = delay; }

 private:
  void cancelScheduledFlush(const std::string& name);
  double checkedTime(double time, const char* operation, const std::string& name) const;

  std::weak_ptr<TimedTrackerDelegate> delegate_;
  EventMap events_;
  double delay_ = 0;
};

}  // namespace tovrin
