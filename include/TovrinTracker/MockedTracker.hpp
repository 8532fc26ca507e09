#pragma once
// A tracker that keeps only the most recent call of each kind, for inspection.

#include <optional>
#include <string>

#include "TovrinTracker/Tracker.hpp"

namespace tovrin {

/// Records the last started event name, the last tracked or finished event with its properties
/// merged over the accumulated super properties, and the last session length.
class MockedTracker : public Tracker {
 public:
  void track(const std::string& name, const Properties& properties) override;
  /// Adds the entries to globalProperties(); keys are never removed.
  void setSuperProperties(const Properties& properties) override;
  void timedTrackerEventStarted(const std::shared_ptr<TimedTracker>& timedTracker,
                                const std::string& eventStarted) override;
  void timedTrackerEventFinished(const std::shared_ptr<TimedTracker>& timedTracker,
                                 const std::shared_ptr<TimedEvent>& eventFinished) override;

  const std::optional<std::string>& startedEvent() const { return startedEvent_; }
  void setStartedEvent(const std::optional<std::string>& name) { startedEvent_ = name; }
  const std::optional<std::string>& name() const { return name_; }
  void setName(const std::optional<std::string>& name) { name_ = name; }
  /// The last event's properties over the global properties; null until the first event.
  const Properties& properties() const { return properties_; }
  void setProperties(const Properties& properties) { properties_ = properties; }
  double sessionLength() const { return sessionLength_; }
  void setSessionLength(double sessionLength) { sessionLength_ = sessionLength; }
  /// The live map of accumulated super properties.
  Properties& globalProperties() { return globalProperties_; }
  void setGlobalProperties(const Properties& properties) { globalProperties_ = properties; }

 private:
  void record(const std::string& name, const Properties& properties);

  std::optional<std::string> startedEvent_;
  std::optional<std::string> name_;
  Properties properties_;
  double sessionLength_ = 0;
  Properties globalProperties_ = Properties::object();
};

}  // namespace tovrin
