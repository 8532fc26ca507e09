#pragma once
// The application's durable key-value store behind the default TrackerPersister.

#include <sys/stat.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace tovrin::detail {

class UserDefaults {
 public:
  /// The process-wide store.
  static UserDefaults& standard();

  std::optional<nlohmann::json> objectForKey(const std::string& key);
  /// Sets (or, with a null value, removes) a key and makes the change durable before returning.
  void setObject(const std::string& key, const nlohmann::json& value);
  void removeObjectForKey(const std::string& key) { setObject(key, nullptr); }

  void setApplicationIdentifier(const std::string& identifier);
  void setStoreDirectory(const std::filesystem::path& folder);
  std::filesystem::path storePath();

 private:
  struct FileStamp {
    bool exists = false;
    unsigned long long inode = 0, size = 0;
    long long mtimeNs = 0;
    static FileStamp of(const struct stat& info) {
      return FileStamp{
          true, static_cast<unsigned long long>(info.st_ino),
          static_cast<unsigned long long>(info.st_size),
          static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec};
    }
    bool operator==(const FileStamp& o) const {
      return exists == o.exists && inode == o.inode && size == o.size && mtimeNs == o.mtimeNs;
    }
  };

  std::filesystem::path folderLocked() const;
  void reloadIfChangedLocked();
  nlohmann::json readFileLocked(FileStamp* stamp);
  bool writeFileLocked(const nlohmann::json& values);
  void reportOnce(const std::string& what, const std::string& line);

  std::mutex mutex_;
  std::string applicationIdentifier_;
  std::filesystem::path folderOverride_;
  nlohmann::json values_ = nlohmann::json::object();
  bool loaded_ = false;
  bool inMemoryOnly_ = false;
  FileStamp stamp_;
  std::string lastReport_;
};

}  // namespace tovrin::detail
