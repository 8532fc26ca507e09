#pragma once
// Where the request context's system values come from on this platform.

#include <cstdint>
#include <optional>
#include <string>

namespace tovrin::detail {

struct ApplicationInfo {
  std::string name, version, build;
};
struct ScreenInfo {
  double width = 0, height = 0, density = 0;
};

/// The host's application info, or none until the host has set it.
std::optional<ApplicationInfo> applicationInfo();
ScreenInfo screenInfo();

/// Both, read together, with the count of changes made to them so far.
struct HostInfo {
  std::optional<ApplicationInfo> application;
  ScreenInfo screen;
  std::uint64_t generation = 0;
};
HostInfo hostInfo();
/// Goes up with every setApplicationInfo, clearApplicationInfo and setScreenInfo: what was
/// made from the host info of one generation stays valid while this returns the same number.
std::uint64_t hostInfoGeneration();

/// Language and country of the POSIX locale (LC_ALL, LC_MESSAGES, LANG), "(null)" for a missing
/// part: "de_CH.UTF-8" gives "de-CH".
std::string localeIdentifier();
/// The IANA name of the local time zone (TZ, /etc/timezone, /etc/localtime), else "UTC".
std::string timeZoneName();
/// A readable operating-system version: the release's name and the kernel version.
std::string operatingSystemVersionString();
/// "hw.model": the machine's product name (DMI); "hw.machine": the machine's hardware class
/// (uname). Unknown names give "".
std::string systemString(const std::string& key);

}  // namespace tovrin::detail
