#include "TovrinTracker/TrackerPersister.hpp"

#include "platform/UserDefaults.hpp"

namespace tovrin {

using detail::UserDefaults;

void TrackerPersister::setObject(const nlohmann::json& object, const std::string& key) {
  UserDefaults::standard().setObject(key, object);
}

std::optional<nlohmann::json> TrackerPersister::objectForKey(const std::string& key) {
  return UserDefaults::standard().objectForKey(key);
}

void TrackerPersister::removeObjectForKey(const std::string& key) {
  UserDefaults::standard().removeObjectForKey(key);
}

void TrackerPersister::setApplicationIdentifier(const std::string& identifier) {
  UserDefaults::standard().setApplicationIdentifier(identifier);
}

void TrackerPersister::setStoreDirectory(const std::filesystem::path& folder) {
  UserDefaults::standard().setStoreDirectory(folder);
}

std::filesystem::path TrackerPersister::storePath() {
  return UserDefaults::standard().storePath();
}

}  // namespace tovrin
