#include "TovrinTracker/DeferableTracker.hpp"

namespace tovrin {

void DeferableTracker::setEnabled(bool enabled) {
  enabled_ = enabled;
  enableStateDidChange(enabled);
}

void DeferableTracker::enableStateDidChange(bool /*enabled*/) {}

}  // namespace tovrin
