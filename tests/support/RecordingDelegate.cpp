#include "support/RecordingDelegate.hpp"

#include "TovrinTracker/RunLoop.hpp"

namespace tovrin::test {

ManualClock::ManualClock(double start) : now_(std::make_shared<double>(start)) {
  RunLoop::current().cancelAll();
  RunLoop::current().setClock([now = now_] { return *now; });
}

ManualClock::~ManualClock() {
  RunLoop::current().cancelAll();
  RunLoop::current().setClock(nullptr);
}

std::size_t ManualClock::runUntil(double time) {
  set(time);
  return RunLoop::current().runDueTasks();
}

}  // namespace tovrin::test
