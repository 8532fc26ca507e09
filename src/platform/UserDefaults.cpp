#include "platform/UserDefaults.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "JsonInput.hpp"
#include "TovrinTracker/Log.hpp"

namespace tovrin::detail {

namespace {

constexpr const char* kFileName = "defaults.json";
constexpr const char* kLockName = ".defaults.lock";
constexpr auto kLockTimeout = std::chrono::seconds(5);
// A store nested deeper than this is treated as damaged: reading a key copies its value, and
// copying recurses once per level.
constexpr std::size_t kMaxStoreDepth = 1000;

// Closes a file descriptor on scope exit.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_;
};

std::string errorText() {
  return std::strerror(errno);
}

std::string executableName() {
  char buffer[4096];
  const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (length > 0) {
    buffer[length] = '\0';
    return std::filesystem::path(buffer).filename().string();
  }
  return "tovrin";
}

// A single folder name: no separators, never "." or "..".
std::string folderName(std::string identifier) {
  for (char& c : identifier) {
    if (c == '/' || c == '\0')
      c = '_';
  }
  if (identifier.empty() || identifier == "." || identifier == "..")
    return "tovrin-app";
  return identifier;
}

std::filesystem::path configurationHome() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/')
    return xdg;
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
    return std::filesystem::path(home) / ".config";
  }
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) {
    return std::filesystem::path(entry->pw_dir) / ".config";
  }
  return std::filesystem::temp_directory_path();
}

bool writeAll(int fd, const std::string& data) {
  std::size_t written = 0;
  while (written < data.size()) {
    const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    written += static_cast<std::size_t>(n);
  }
  return true;
}

bool syncFolder(const std::filesystem::path& folder) {
  FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd && ::fsync(fd.get()) == 0;
}

// Creates the store folder (0700) and its parents when missing.
bool ensureFolder(const std::filesystem::path& folder) {
  std::error_code ec;
  if (std::filesystem::is_directory(folder, ec))
    return true;
  std::filesystem::create_directories(folder.parent_path(), ec);
  if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) {
    return std::filesystem::is_directory(folder, ec);
  }
  return false;
}

// Holds the advisory lock that serialises read-modify-write among processes of one application.
class FolderLock {
 public:
  explicit FolderLock(const std::filesystem::path& folder)
      : fd_(::open((folder / kLockName).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600)) {
    if (!fd_)
      return;
    const auto deadline = std::chrono::steady_clock::now() + kLockTimeout;
    while (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR)
        return;
      if (std::chrono::steady_clock::now() >= deadline)
        return;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    locked_ = true;
  }
  ~FolderLock() {
    if (locked_)
      ::flock(fd_.get(), LOCK_UN);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  bool locked() const { return locked_; }

 private:
  FileDescriptor fd_;
  bool locked_ = false;
};

}  // namespace

UserDefaults& UserDefaults::standard() {
  // Deliberately never destroyed: persisters may be used from static destructors at exit.
  static auto* defaults = new UserDefaults();
  return *defaults;
}

std::filesystem::path UserDefaults::folderLocked() const {
  if (!folderOverride_.empty())
    return folderOverride_;
  const std::string name =
      folderName(applicationIdentifier_.empty() ? executableName() : applicationIdentifier_);
  return configurationHome() / name;
}

std::filesystem::path UserDefaults::storePath() {
  std::lock_guard<std::mutex> lock(mutex_);
  return folderLocked() / kFileName;
}

void UserDefaults::setApplicationIdentifier(const std::string& identifier) {
  std::lock_guard<std::mutex> lock(mutex_);
  applicationIdentifier_ = identifier;
  loaded_ = false;
  inMemoryOnly_ = false;
}

void UserDefaults::setStoreDirectory(const std::filesystem::path& folder) {
  std::lock_guard<std::mutex> lock(mutex_);
  folderOverride_ = folder;
  loaded_ = false;
  inMemoryOnly_ = false;
}

void UserDefaults::reportOnce(const std::string& what, const std::string& line) {
  if (lastReport_ == what)
    return;
  lastReport_ = what;
  log(line);
}

nlohmann::json UserDefaults::readFileLocked(FileStamp* stamp) {
  const std::filesystem::path path = folderLocked() / kFileName;
  *stamp = FileStamp{};
  // Non-blocking, so that a FIFO put in place of the file reads as empty instead of hanging.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT)
      return nlohmann::json::object();
    if (errno == ELOOP) {
      reportOnce("symlink " + path.string(),
                 "UserDefaults: " + path.string() +
                     " is a symbolic link; it is not followed and the next write replaces it");
      return nlohmann::json::object();
    }
    reportOnce("read " + path.string(),
               "UserDefaults: cannot read " + path.string() + ": " + errorText());
    return nullptr;  // unreadable: keep what is in memory
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) == 0) {
    *stamp = FileStamp::of(info);
  }
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      reportOnce("read " + path.string(),
                 "UserDefaults: cannot read " + path.string() + ": " + errorText());
      return nullptr;
    }
    if (n == 0)
      break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  nlohmann::json parsed = nestsDeeperThan(text, kMaxStoreDepth)
                              ? nlohmann::json()
                              : nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_object())
    return parsed;

  // Keep the damaged file for inspection and start over with an empty store.
  const std::filesystem::path aside =
      path.string() + ".corrupt-" + std::to_string(static_cast<long long>(std::time(nullptr)));
  const bool moved = ::rename(path.c_str(), aside.c_str()) == 0;
  log("UserDefaults: " + path.string() + " is not a JSON object; " +
      (moved ? "moved aside to " + aside.string() : "could not move it aside: " + errorText()) +
      "; starting with an empty store");
  *stamp = FileStamp{};
  return nlohmann::json::object();
}

void UserDefaults::reloadIfChangedLocked() {
  if (inMemoryOnly_)
    return;
  const std::filesystem::path path = folderLocked() / kFileName;
  struct stat info {};
  FileStamp now;
  if (::lstat(path.c_str(), &info) == 0) {
    now = FileStamp::of(info);
  }
  if (loaded_ && now == stamp_)
    return;
  FileStamp stamp;
  nlohmann::json values = readFileLocked(&stamp);
  if (values.is_object()) {
    values_ = std::move(values);
    stamp_ = stamp;
  }
  loaded_ = true;
}

std::optional<nlohmann::json> UserDefaults::objectForKey(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  reloadIfChangedLocked();
  const auto found = values_.find(key);
  if (found == values_.end())
    return std::nullopt;
  return *found;
}

void UserDefaults::setObject(const std::string& key, const nlohmann::json& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  reloadIfChangedLocked();
  auto apply = [&](nlohmann::json& values) {
    if (value.is_null()) {
      values.erase(key);
    } else {
      values[key] = value;
    }
  };
  if (inMemoryOnly_) {
    apply(values_);
    return;
  }
  const std::filesystem::path folder = folderLocked();
  const std::filesystem::path path = folder / kFileName;
  auto fail = [&](const std::string& why) {
    // Keep the values for the life of the process rather than losing them.
    log("UserDefaults: cannot write " + path.string() + ": " + why +
        "; values are kept in memory only until the process ends");
    inMemoryOnly_ = true;
    apply(values_);
  };
  if (!ensureFolder(folder))
    return fail("cannot create the folder: " + errorText());
  FolderLock folderLock(folder);
  if (!folderLock.locked())
    return fail("cannot lock the store: " + errorText());

  // Re-read under the lock so that keys another process wrote meanwhile are kept.
  FileStamp ignored;
  nlohmann::json values = readFileLocked(&ignored);
  if (!values.is_object())
    values = values_;
  apply(values);

  static std::atomic<unsigned> counter{0};
  const std::filesystem::path temporary =
      path.string() + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  {
    FileDescriptor fd(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd)
      return fail("cannot create a temporary file: " + errorText());
    const bool written = writeAll(fd.get(), values.dump(2) + "\n") && ::fsync(fd.get()) == 0;
    if (!written) {
      const std::string why = errorText();
      ::unlink(temporary.c_str());
      return fail(why);
    }
  }
  // rename() replaces the name itself, so a symbolic link placed there is replaced, never
  // written through.
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string why = errorText();
    ::unlink(temporary.c_str());
    return fail(why);
  }
  if (!syncFolder(folder))
    log("UserDefaults: cannot sync " + folder.string() + ": " + errorText());
  values_ = std::move(values);
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0) {
    stamp_ = FileStamp::of(info);
  }
  loaded_ = true;
}

}  // namespace tovrin::detail
