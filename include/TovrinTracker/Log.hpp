#pragma once
// The library's log: one line per message, written to stderr unless the host installs a sink.

#include <functional>
#include <string>
#include <string_view>

namespace tovrin {

/// Receives one complete log line (no trailing line feed). May be called from any thread.
using LogSink = std::function<void(std::string_view line)>;

/// Writes one line through the current sink (stderr by default). Thread-safe.
void log(std::string_view line);

/// Replaces the sink; an empty function restores the default stderr sink. Returns the old one.
LogSink setLogSink(LogSink sink);

}  // namespace tovrin
