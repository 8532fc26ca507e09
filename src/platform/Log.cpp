#include "TovrinTracker/Log.hpp"

#include "platform/LogInternal.hpp"

#include <cstdio>
#include <mutex>
#include <utility>

namespace tovrin {
namespace {

std::mutex& sinkMutex() {
  static std::mutex mutex;
  return mutex;
}

LogSink& currentSink() {
  static LogSink sink;
  return sink;
}

}  // namespace

void log(std::string_view line) {
  // The sink is called under the lock so that a sink being replaced is never running
  // concurrently with its replacement, and lines from several threads never interleave.
  std::lock_guard<std::mutex> lock(sinkMutex());
  const LogSink& sink = currentSink();
  if (sink) {
    sink(line);
    return;
  }
  std::fprintf(stderr, "TovrinTracker: %.*s\n", static_cast<int>(line.size()), line.data());
}

LogSink setLogSink(LogSink sink) {
  std::lock_guard<std::mutex> lock(sinkMutex());
  return std::exchange(currentSink(), std::move(sink));
}

namespace detail {

void constructLogStatics() {
  std::lock_guard<std::mutex> lock(sinkMutex());
  (void)currentSink();
}

}  // namespace detail
}  // namespace tovrin
