#pragma once
// Log internals other parts of the library need.

namespace tovrin::detail {

/// Constructs the log's function-local statics now. Code that registers an std::atexit handler
/// which logs calls this first, so the handler runs before those statics are destroyed.
void constructLogStatics();

}  // namespace tovrin::detail
