#include "TovrinTracker/TrackerManager.hpp"

#include <openssl/rand.h>

#include <cstdio>
#include <mutex>
#include <random>
#include <utility>

#include "TovrinTracker/Each.hpp"
#include "TovrinTracker/Log.hpp"

namespace tovrin {

const char* const TrackerManagerEventSessionEnded = "Session Ended";

namespace {

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<TrackerManager>& sharedSlot() {
  static std::shared_ptr<TrackerManager> slot;
  return slot;
}

}  // namespace

TrackerManager::TrackerManager() = default;

TrackerManager::TrackerManager(const TrackerList& trackers, const std::string& identifier)
    : TrackerManager(trackers, std::make_shared<TrackerPersister>(), identifier) {}

TrackerManager::TrackerManager(const TrackerList& trackers,
                               std::shared_ptr<TrackerPersister> persister,
                               const std::string& identifier)
    : persister_(std::move(persister)), identifier_(identifier) {
  // The children list does not exist yet, so loading the identity configures no child.
  std::optional<std::string> uuid;
  if (persister_) {
    if (auto stored = persister_->objectForKey(key("uuid")); stored && stored->is_string()) {
      uuid = stored->get<std::string>();
    }
  }
  if (!uuid) {
    uuid = makeUuid();
    if (persister_)
      persister_->setObject(*uuid, key("uuid"));
  }
  TrackerManager::setUuid(uuid);

  std::optional<std::string> email;
  if (persister_) {
    if (auto stored = persister_->objectForKey(key("email")); stored && stored->is_string()) {
      email = stored->get<std::string>();
    }
  }
  TrackerManager::setEmail(email);

  trackers_ = std::make_shared<TrackerList>(trackers);
  TrackerManager::configureChild();
}

std::shared_ptr<TrackerManager> TrackerManager::sharedInstance() {
  std::lock_guard<std::mutex> lock(sharedMutex());
  auto& slot = sharedSlot();
  // Once set, the slot is never emptied again, so the default is created at most once.
  if (!slot)
    slot = std::make_shared<TrackerManager>(TrackerList{}, "");
  return slot;
}

void TrackerManager::setAsSharedInstance() {
  auto self = std::static_pointer_cast<TrackerManager>(weak_from_this().lock());
  if (!self) {
    log("TrackerManager: setAsSharedInstance ignored: the manager is not owned by a shared_ptr");
    return;
  }
  std::shared_ptr<TrackerManager> previous;  // released after the lock
  {
    std::lock_guard<std::mutex> lock(sharedMutex());
    auto& slot = sharedSlot();
    if (slot == self)
      return;
    previous = std::exchange(slot, std::move(self));
  }
}

void TrackerManager::track(const std::string& name, const Properties& properties) {
  each(trackers_).call([&](Tracker& child) { child.track(name, properties); });
}

void TrackerManager::setSuperProperties(const Properties& properties) {
  each(trackers_).call([&](Tracker& child) { child.setSuperProperties(properties); });
}

void TrackerManager::setUuid(const std::optional<std::string>& uuid) {
  Tracker::setUuid(uuid);
  if (trackers_)
    configureChild();
}

void TrackerManager::setEmail(const std::optional<std::string>& email) {
  Tracker::setEmail(email);
  if (email && persister_)
    persister_->setObject(*email, key("email"));
  if (trackers_)
    configureChild();
}

void TrackerManager::timedTrackerEventStarted(const std::shared_ptr<TimedTracker>& timedTracker,
                                              const std::string& eventStarted) {
  each(trackers_).call(
      [&](Tracker& child) { child.timedTrackerEventStarted(timedTracker, eventStarted); });
}

void TrackerManager::timedTrackerEventFinished(const std::shared_ptr<TimedTracker>& timedTracker,
                                               const std::shared_ptr<TimedEvent>& eventFinished) {
  each(trackers_).call(
      [&](Tracker& child) { child.timedTrackerEventFinished(timedTracker, eventFinished); });
}

void TrackerManager::configureChild() {
  if (!trackers_ || trackers_->empty())
    return;
  const auto uuid = this->uuid();
  const auto email = this->email();
  each(trackers_).call([&](Tracker& child) { child.setUuid(uuid); });
  each(trackers_).call([&](Tracker& child) { child.setEmail(email); });
}

TrackerManager::TrackerList TrackerManager::allTrackers() const {
  return trackers_ ? *trackers_ : TrackerList{};
}

std::string TrackerManager::makeUuid() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof(bytes)) != 1) {
    // The system's entropy source is the fallback when OpenSSL's generator is unavailable.
    std::random_device device;
    for (auto& byte : bytes)
      byte = static_cast<unsigned char>(device());
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof(text),
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

}  // namespace tovrin
