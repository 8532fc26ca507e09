#pragma once
// The record of one timed event: its name, the properties gathered so far and its session length.

#include <memory>
#include <string>

#include "TovrinTracker/Properties.hpp"

namespace tovrin {

/// A timed event as reported to a TimedTrackerDelegate.
class TimedEvent {
 public:
  TimedEvent() = default;
  virtual ~TimedEvent() = default;

  /// A new record; name, properties and session length are assigned through the setters.
  static std::shared_ptr<TimedEvent> timedEventWithName(const std::string& name,
                                                        const Properties& properties,
                                                        double sessionLength);

  const std::string& name() const { return name_; }
  virtual void setName(const std::string& name);
  /// The properties gathered so far: an object, or null when none were ever set or merged.
  const Properties& properties() const { return properties_; }
  /// Stores a copy. A value that is neither null nor an object is logged and stored as null.
  virtual void setProperties(const Properties& properties);
  /// Seconds of running time accumulated so far.
  double sessionLength() const { return sessionLength_; }
  virtual void setSessionLength(double sessionLength);

 protected:
  template <class T>
  static std::shared_ptr<T> make(const std::string& name, const Properties& properties,
                                 double sessionLength) {
    auto event = std::make_shared<T>();
    event->setName(name);
    event->setProperties(properties);
    event->setSessionLength(sessionLength);
    return event;
  }

  std::string name_;
  Properties properties_;
  double sessionLength_ = 0;
};

/// The working form that a TimedTracker keeps while the event runs.
class MutableTimedEvent : public TimedEvent {
 public:
  /// A new MutableTimedEvent with lastStartTime 0.
  static std::shared_ptr<MutableTimedEvent> timedEventWithName(const std::string& name,
                                                               const Properties& properties,
                                                               double sessionLength);

  /// The time (monotonic clock, seconds) given with the most recent start; 0 until set.
  double lastStartTime() const { return lastStartTime_; }
  virtual void setLastStartTime(double lastStartTime);

  /// Merges a dictionary over the properties, shallowly: its values replace those under the
  /// same key. Null merges nothing; a value that is not an object is logged and merges nothing.
  virtual void appendProperties(const Properties& properties);
  /// incrementProperty(key, 1).
  virtual void incrementProperty(const std::string& key);
  /// Adds `amount` to the value under `key` in single precision and stores the float sum.
  /// Absent key or null amount count as 0; a text counts as the number it begins with (else 0);
  /// a boolean as 0 or 1. A key holding an object or an array, or an amount that is an object
  /// or an array, is left unchanged with one log line.
  virtual void incrementProperty(const std::string& key, const Properties& amount);
  /// Adds seconds to the session length (double precision, no clamping).
  virtual void appendSessionLength(double seconds);

 private:
  double lastStartTime_ = 0;
};

}  // namespace tovrin
