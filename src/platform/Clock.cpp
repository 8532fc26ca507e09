#include "TovrinTracker/Clock.hpp"

#include <chrono>

namespace tovrin {

double currentMediaTime() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace tovrin
