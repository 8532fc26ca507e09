#pragma once
// The front door: a composite tracker that owns the children, keeps the user's identity and fans
// every call out to the children.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TovrinTracker/Tracker.hpp"
#include "TovrinTracker/TrackerPersister.hpp"

namespace tovrin {

/// The event name "Session Ended", for hosts to track when a session ends.
extern const char* const TrackerManagerEventSessionEnded;

/// Fans track() and setSuperProperties() out to every child in list order, runs the timed
/// operations on its own timed tracker and passes both timed notifications on to every child.
/// The identity (`uuid`, generated once, and `email`) is persisted under "<identifier>.uuid" and
/// "<identifier>.email" and pushed into every child whenever it changes. Use from one thread.
class TrackerManager : public Tracker {
 public:
  using TrackerList = std::vector<std::shared_ptr<Tracker>>;

  /// A manager without persister, identifier or children list: its broadcasts do nothing.
  TrackerManager();
  /// A manager over `trackers` whose identity lives in the application's default store.
  TrackerManager(const TrackerList& trackers, const std::string& identifier);
  /// Loads (or generates and stores) the identity through `persister` and configures every child.
  /// A null persister: a fresh uuid each time, nothing stored.
  TrackerManager(const TrackerList& trackers, std::shared_ptr<TrackerPersister> persister,
                 const std::string& identifier);

  /// The shared manager. The first call while none is set creates, once per process, a manager
  /// with no children and the empty identifier "", whose identity is kept under the keys ".uuid"
  /// and ".email" of the default store. Safe from any thread.
  static std::shared_ptr<TrackerManager> sharedInstance();
  /// Makes this manager the shared one (the previous one is released). Safe from any thread.
  void setAsSharedInstance();

  void track(const std::string& name, const Properties& properties) override;
  void setSuperProperties(const Properties& properties) override;
  /// Sets the uuid (not persisted) and pushes the identity into every child.
  void setUuid(const std::optional<std::string>& uuid) override;
  /// Sets the e-mail address, persists it when present, and pushes the identity into every child.
  void setEmail(const std::optional<std::string>& email) override;
  void timedTrackerEventStarted(const std::shared_ptr<TimedTracker>& timedTracker,
                                const std::string& eventStarted) override;
  void timedTrackerEventFinished(const std::shared_ptr<TimedTracker>& timedTracker,
                                 const std::shared_ptr<TimedEvent>& eventFinished) override;

  /// Pushes uuid then email into every child.
  virtual void configureChild();

  /// A snapshot of the children.
  TrackerList allTrackers() const;
  /// The live children list (null for a manager made without one). Editing it configures nothing.
  std::shared_ptr<TrackerList> trackers() const { return trackers_; }
  void setTrackers(std::shared_ptr<TrackerList> trackers) { trackers_ = std::move(trackers); }
  std::shared_ptr<TrackerPersister> persister() const { return persister_; }
  void setPersister(std::shared_ptr<TrackerPersister> persister) {
    persister_ = std::move(persister);
  }
  const std::string& identifier() const { return identifier_; }
  /// Affects the keys of later setEmail() calls only; nothing is reloaded.
  void setIdentifier(const std::string& identifier) { identifier_ = identifier; }

  /// A new random version-4 UUID in upper-case 8-4-4-4-12 form.
  static std::string makeUuid();

 private:
  std::string key(const char* word) const { return identifier_ + "." + word; }

  std::shared_ptr<TrackerPersister> persister_;
  std::shared_ptr<TrackerList> trackers_;
  std::string identifier_;
};

}  // namespace tovrin
