#pragma once
// A tracker with an on/off switch and a hook that announces every setting of it.

#include <memory>
#include <type_traits>

#include "TovrinTracker/Tracker.hpp"

namespace tovrin {

/// Off after construction. What the switch means is up to subclasses, which override
/// enableStateDidChange(); tracking itself is not affected by it in this class.
class DeferableTracker : public Tracker {
 public:
  /// A new tracker of class `Self` (a DeferableTracker or a subclass), switched off:
  /// `MyTracker::deferredTracker<MyTracker>()`.
  template <class Self = DeferableTracker>
  static std::shared_ptr<Self> deferredTracker() {
    static_assert(std::is_base_of_v<DeferableTracker, Self>, "Self must derive DeferableTracker");
    return std::make_shared<Self>();
  }

  /// Stores the value, then calls enableStateDidChange(enabled), also when nothing changed.
  virtual void setEnabled(bool enabled);
  /// Called after every setEnabled(); enabled() already holds the new value. Does nothing here.
  virtual void enableStateDidChange(bool enabled);
  virtual bool enabled() const { return enabled_; }

 private:
  bool enabled_ = false;
};

}  // namespace tovrin
