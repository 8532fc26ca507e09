#pragma once
// A TimedTrackerDelegate that records every notification, for the timed-event tests.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TovrinTracker/TimedTracker.hpp"

namespace tovrin::test {

struct RecordingDelegate : TimedTrackerDelegate {
  std::vector<std::string> started;
  std::vector<std::shared_ptr<TimedEvent>> finished;
  std::vector<std::shared_ptr<TimedTracker>> senders;
  std::function<void(const std::shared_ptr<TimedEvent>&)> onFinished;

  void timedTrackerEventStarted(const std::shared_ptr<TimedTracker>& sender,
                                const std::string& name) override {
    senders.push_back(sender);
    started.push_back(name);
  }
  void timedTrackerEventFinished(const std::shared_ptr<TimedTracker>& sender,
                                 const std::shared_ptr<TimedEvent>& event) override {
    senders.push_back(sender);
    finished.push_back(event);
    if (onFinished)
      onFinished(event);
  }
};

/// Gives the calling thread's RunLoop a clock the test moves by hand, and leaves the loop empty
/// and on its real clock again afterwards.
class ManualClock {
 public:
  explicit ManualClock(double start);
  ~ManualClock();
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;
  double now() const { return *now_; }
  void set(double time) { *now_ = time; }
  /// Moves the clock to `time` and runs the tasks that are due then.
  std::size_t runUntil(double time);

 private:
  std::shared_ptr<double> now_;
};

}  // namespace tovrin::test
