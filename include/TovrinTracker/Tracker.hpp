#pragma once
// The base class of every tracker: identity, timed events and no-op tracking.

#include <memory>
#include <optional>
#include <string>

#include "TovrinTracker/Properties.hpp"
#include "TovrinTracker/TimedTracker.hpp"

namespace tovrin {

/// Every tracker owns a TimedTracker (`timed()`) and is its delegate. The base class tracks
/// nothing; subclasses override what they need. Use a tracker from one thread at a time and own
/// it with a std::shared_ptr (std::make_shared).
///
/// A subclass that overrides one overload of timedFinish() should add
/// `using Tracker::timedFinish;` so that the other stays visible.
class Tracker : public TimedTrackerDelegate, public std::enable_shared_from_this<Tracker> {
 public:
  Tracker();
  ~Tracker() override;
  Tracker(const Tracker&) = delete;
  Tracker& operator=(const Tracker&) = delete;

  /// Adds 1 to a numeric property of the running timed event `name`.
  virtual void event(const std::string& name, const std::string& increment);
  /// Starts the timed event `name` now; the start notification arrives before this returns.
  virtual void timedTrack(const std::string& name);
  /// timedFinish(name, properties, 0.0).
  virtual void timedFinish(const std::string& name, const Properties& properties);
  /// Finishes the timed event now; with a non-zero interval the report waits that many seconds
  /// on this thread's RunLoop, and a restart within it merges into the same report.
  virtual void timedFinish(const std::string& name, const Properties& properties,
                           double mergeFutureEventsWithinTimeInterval);
  /// Reports a pending timed event at once.
  virtual void timedFlush(const std::string& name);

  /// Tracks one event. Does nothing in the base class.
  virtual void track(const std::string& name, const Properties& properties);
  /// Does nothing in the base class.
  void timedTrackerEventStarted(const std::shared_ptr<TimedTracker>& timedTracker,
                                const std::string& eventStarted) override;
  /// Does nothing in the base class.
  void timedTrackerEventFinished(const std::shared_ptr<TimedTracker>& timedTracker,
                                 const std::shared_ptr<TimedEvent>& eventFinished) override;
  /// Does nothing in the base class.
  virtual void setSuperProperties(const Properties& properties);

  virtual std::optional<std::string> uuid() const { return uuid_; }
  virtual void setUuid(const std::optional<std::string>& uuid) { uuid_ = uuid; }
  virtual std::optional<std::string> email() const { return email_; }
  virtual void setEmail(const std::optional<std::string>& email) { email_ = email; }
  virtual std::shared_ptr<TimedTracker> timed() const { return timed_; }
  /// Replaces the timed tracker; does not make this tracker its delegate (see asDelegate()).
  virtual void setTimed(std::shared_ptr<TimedTracker> timed) { timed_ = std::move(timed); }

  /// A weak reference to this tracker as a delegate, valid until the tracker is destroyed; it
  /// works whether or not the tracker itself is owned by a shared_ptr.
  std::weak_ptr<TimedTrackerDelegate> asDelegate() const { return delegateHandle_; }

 private:
  std::optional<std::string> uuid_;
  std::optional<std::string> email_;
  std::shared_ptr<TimedTracker> timed_;
  // Non-owning handle whose lifetime is this tracker's: the timed tracker's weak reference to
  // its delegate expires when the tracker is destroyed, even if a delayed flush keeps the timed
  // tracker alive.
  std::shared_ptr<TimedTrackerDelegate> delegateHandle_;
};

}  // namespace tovrin
