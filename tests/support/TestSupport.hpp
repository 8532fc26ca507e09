#pragma once
// Helpers shared by the test suites.

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "TovrinTracker/Log.hpp"

namespace tovrin::test {

/// Captures every log line while alive and restores the previous sink afterwards.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const;
  /// Number of captured lines that contain `text`.
  std::size_t count(const std::string& text) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  LogSink previous_;
};

/// A fresh temporary folder, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

struct ProcessResult {
  bool ended = false;  // ended by itself (exit or signal) within the time-out
  int exitCode = -1;   // when it exited normally
  int signal = 0;      // the signal that ended it, if one did
  std::string output;  // standard output and standard error, interleaved
};

/// Runs `argv` (argv[0] a path) as a child process with the current environment, capturing its
/// output; kills it when it has not ended within `timeout`.
ProcessResult runProcess(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

}  // namespace tovrin::test
