#pragma once
// The monotonic clock that timed events are measured on.

namespace tovrin {

/// Seconds on the monotonic clock (std::chrono::steady_clock) as a double; never goes backwards.
double currentMediaTime();

}  // namespace tovrin
