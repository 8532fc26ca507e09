#pragma once
// A tracker that keeps every tracked event in memory and counts timed-event reports.

#include <cstdint>
#include <memory>
#include <vector>

#include "TovrinTracker/Event.hpp"
#include "TovrinTracker/Tracker.hpp"

namespace tovrin {

/// Sends nothing anywhere: meant for inspection and for a host's own unit tests.
class CounterTracker : public Tracker {
 public:
  using EventList = std::vector<std::shared_ptr<Event>>;

  /// Appends an Event record of the call to storage().
  void track(const std::string& name, const Properties& properties) override;
  /// Counts the start.
  void timedTrackerEventStarted(const std::shared_ptr<TimedTracker>& timedTracker,
                                const std::string& eventStarted) override;
  /// Counts the report.
  void timedTrackerEventFinished(const std::shared_ptr<TimedTracker>& timedTracker,
                                 const std::shared_ptr<TimedEvent>& eventFinished) override;

  /// The live list of records, in call order.
  EventList& storage() { return storage_; }
  void setStorage(EventList storage) { storage_ = std::move(storage); }
  /// A snapshot of storage() (the records themselves are shared).
  EventList events() const { return storage_; }
  std::uint64_t tracksCount() const { return storage_.size(); }
  std::uint64_t timesStarted() const { return timesStarted_; }
  std::uint64_t timesFinished() const { return timesFinished_; }
  /// Holds whatever the host sets; the tracker never changes it.
  std::uint64_t uploadsCount() const { return uploadsCount_; }
  void setUploadsCount(std::uint64_t count) { uploadsCount_ = count; }

 private:
  EventList storage_;
  std::uint64_t timesStarted_ = 0;
  std::uint64_t timesFinished_ = 0;
  std::uint64_t uploadsCount_ = 0;
};

}  // namespace tovrin
