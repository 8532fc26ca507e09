#pragma once
// What the host tells the library about itself, for the context of every Segment request.

#include <optional>
#include <string>

namespace tovrin {

/// The host application's name, version and build. Until set, requests carry the text
/// "MSDocument not available" for all three. Thread-safe.
void setApplicationInfo(const std::string& name, const std::string& version,
                        const std::string& build);

/// Forgets the application info set before.
void clearApplicationInfo();

/// The main screen's size in points and its density (device pixels per point). Until set,
/// requests carry zeros (as they do after setScreenInfo(0, 0, 0)). Thread-safe.
void setScreenInfo(double width, double height, double density);

}  // namespace tovrin
