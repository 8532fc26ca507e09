#pragma once
// The library's version constants.

namespace tovrin {

/// The library's version number: 1.0.
extern const double TovrinTrackerVersionNumber;
/// The library's version text, ending in a line feed.
extern const unsigned char TovrinTrackerVersionString[];

}  // namespace tovrin
