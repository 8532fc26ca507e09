#include "platform/SystemInfo.hpp"

#include <sys/utsname.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "TovrinTracker/HostInfo.hpp"

namespace tovrin {

namespace {

std::atomic<std::uint64_t> hostGeneration{1};

std::mutex& hostMutex() {
  static std::mutex mutex;
  return mutex;
}
std::optional<detail::ApplicationInfo>& hostApplication() {
  static std::optional<detail::ApplicationInfo> info;
  return info;
}
detail::ScreenInfo& hostScreen() {
  static detail::ScreenInfo info;
  return info;
}

std::string trim(const std::string& text) {
  const auto begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos)
    return "";
  const auto end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

std::string firstLine(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return trim(line);
}

std::string readOsRelease() {
  std::ifstream in("/etc/os-release");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("PRETTY_NAME=", 0) == 0) {
      std::string value = line.substr(12);
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'')) {
        value = value.substr(1, value.size() - 2);
      }
      return value;
    }
  }
  return "Linux";
}

}  // namespace

void setApplicationInfo(const std::string& name, const std::string& version,
                        const std::string& build) {
  std::lock_guard<std::mutex> lock(hostMutex());
  hostApplication() = detail::ApplicationInfo{name, version, build};
  hostGeneration.fetch_add(1, std::memory_order_release);
}

void clearApplicationInfo() {
  std::lock_guard<std::mutex> lock(hostMutex());
  hostApplication().reset();
  hostGeneration.fetch_add(1, std::memory_order_release);
}

void setScreenInfo(double width, double height, double density) {
  std::lock_guard<std::mutex> lock(hostMutex());
  hostScreen() = detail::ScreenInfo{width, height, density};
  hostGeneration.fetch_add(1, std::memory_order_release);
}

namespace detail {

std::optional<ApplicationInfo> applicationInfo() {
  std::lock_guard<std::mutex> lock(hostMutex());
  return hostApplication();
}

ScreenInfo screenInfo() {
  std::lock_guard<std::mutex> lock(hostMutex());
  return hostScreen();
}

HostInfo hostInfo() {
  std::lock_guard<std::mutex> lock(hostMutex());
  return HostInfo{hostApplication(), hostScreen(), hostGeneration.load(std::memory_order_relaxed)};
}

std::uint64_t hostInfoGeneration() {
  return hostGeneration.load(std::memory_order_acquire);
}

std::string localeIdentifier() {
  std::string locale;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) {
      locale = value;
      break;
    }
  }
  // language[_COUNTRY][.codeset][@modifier]; "C" and "POSIX" name no language.
  locale = locale.substr(0, locale.find_first_of(".@"));
  std::string language = locale.substr(0, locale.find('_'));
  std::string country =
      locale.find('_') == std::string::npos ? "" : locale.substr(locale.find('_') + 1);
  if (language == "C" || language == "POSIX")
    language.clear();
  return (language.empty() ? "(null)" : language) + "-" + (country.empty() ? "(null)" : country);
}

std::string timeZoneName() {
  if (const char* tz = std::getenv("TZ"); tz && *tz) {
    std::string zone = tz[0] == ':' ? tz + 1 : tz;
    const std::string prefix = "/usr/share/zoneinfo/";
    if (zone.rfind(prefix, 0) == 0)
      zone = zone.substr(prefix.size());
    if (!zone.empty())
      return zone;
  }
  // The system zone does not change while the process runs; read it once.
  static const std::string systemZone = [] {
    std::string zone = firstLine("/etc/timezone");
    if (!zone.empty())
      return zone;
    std::error_code ec;
    const std::string target = std::filesystem::read_symlink("/etc/localtime", ec).string();
    const auto at = target.find("zoneinfo/");
    if (!ec && at != std::string::npos)
      return target.substr(at + 9);
    return std::string("UTC");
  }();
  return systemZone;
}

std::string operatingSystemVersionString() {
  static const std::string version = [] {
    utsname names{};
    const std::string kernel = ::uname(&names) == 0 ? names.release : "";
    return readOsRelease() + (kernel.empty() ? "" : " (Linux " + kernel + ")");
  }();
  return version;
}

std::string systemString(const std::string& key) {
  if (key == "hw.model") {
    static const std::string model = firstLine("/sys/class/dmi/id/product_name");
    return model;
  }
  if (key == "hw.machine") {
    // The hardware class does not change while the process runs; ask the kernel once.
    static const std::string machine = [] {
      utsname names{};
      return std::string(::uname(&names) == 0 ? names.machine : "");
    }();
    return machine;
  }
  return "";
}

}  // namespace detail
}  // namespace tovrin
