#pragma once
// A string-keyed store of identity values; the default one is the application's durable store.

#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace tovrin {

/// The default persister works on the application's one durable key-value store, shared by every
/// TrackerPersister object of the process. The store is a JSON object in the file
/// `$XDG_CONFIG_HOME/<application identifier>/defaults.json` (`~/.config/...` when XDG_CONFIG_HOME
/// is unset; folder mode 0700, file mode 0600). A change is durable when the call returns: it is
/// written to a temporary file, synced and renamed over the old file under an advisory lock, so
/// that other processes of the same application keep their own keys. A store file that is not a
/// JSON object is moved aside as `defaults.json.corrupt-<time>` with one log line; when the folder
/// cannot be written, values still work in memory for the life of the process.
///
/// Subclass it to keep the identity elsewhere; override all three operations.
class TrackerPersister {
 public:
  TrackerPersister() = default;
  virtual ~TrackerPersister() = default;

  /// Stores `object` under `key`; a null object removes the key.
  virtual void setObject(const nlohmann::json& object, const std::string& key);
  /// The value under `key`, or none.
  virtual std::optional<nlohmann::json> objectForKey(const std::string& key);
  /// Removes `key`; nothing happens when it is absent.
  virtual void removeObjectForKey(const std::string& key);

  /// Names the application's store folder; default: the executable's file name. Set it before
  /// the first use of the store (a later change switches to the other store).
  static void setApplicationIdentifier(const std::string& identifier);
  /// Puts the store folder at `folder` instead of under the configuration home (for tests and
  /// portable installs); an empty path restores the default.
  static void setStoreDirectory(const std::filesystem::path& folder);
  /// The store file in use.
  static std::filesystem::path storePath();
};

}  // namespace tovrin
