#pragma once
// The event every benchmark tracks, and helpers to time single calls.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

#include "TovrinTracker/Properties.hpp"

namespace tovrin::bench {

inline const char* const kEventName = "Document Exported";

/// Ten properties of the usual kinds: strings, integers, a double, a bool and a small nested
/// object.
inline Properties eventProperties() {
  return Properties{{"document", "Quarterly Report.sketch"},
                    {"format", "png"},
                    {"pages", 12},
                    {"layers", 348},
                    {"bytes", 1048576},
                    {"zoom", 1.25},
                    {"retina", true},
                    {"source", "toolbar"},
                    {"plugin", "com.example.exporter"},
                    {"options", {{"scale", 2}, {"background", "transparent"}, {"trim", false}}}};
}

inline Properties superProperties() {
  return Properties{{"plan", "pro"}, {"channel", "stable"}};
}

/// A geolocation reply as the lookup service gives it.
inline Properties locationContext() {
  return Properties{{"query", "203.0.113.7"},
                    {"status", "success"},
                    {"country", "Switzerland"},
                    {"countryCode", "CH"},
                    {"region", "ZH"},
                    {"regionName", "Zurich"},
                    {"city", "Zurich"},
                    {"zip", "8001"},
                    {"lat", 47.3769},
                    {"lon", 8.5417},
                    {"timezone", "Europe/Zurich"},
                    {"isp", "Example Networks"}};
}

using SteadyClock = std::chrono::steady_clock;

inline double nanosecondsBetween(SteadyClock::time_point from, SteadyClock::time_point to) {
  return std::chrono::duration<double, std::nano>(to - from).count();
}

/// The value below which `fraction` of the samples lie (nearest rank); reorders `samples`.
inline double percentile(std::vector<double>& samples, double fraction) {
  if (samples.empty())
    return 0;
  auto rank = static_cast<std::size_t>(fraction * static_cast<double>(samples.size()));
  rank = std::min(rank, samples.size() - 1);
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(rank),
                   samples.end());
  return samples[rank];
}

}  // namespace tovrin::bench
