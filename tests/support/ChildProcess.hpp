#pragma once
// Runs a real child process with its standard output on a pipe.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tovrin::test {

class ChildProcess {
 public:
  /// Starts `argv[0]` (a path) with the arguments, default signal handling and no blocked
  /// signals. Standard error is inherited, or joins standard output with `captureStderr`.
  explicit ChildProcess(const std::vector<std::string>& argv, bool captureStderr = false);
  /// Kills the child if it still runs and reaps it.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  /// The next line of the child's output (without the line feed), or none at end or time-out.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);
  /// Sends a signal.
  void kill(int signal);
  /// Waits for the child to end; its exit status as from waitpid, or none at time-out.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  /// Everything the child printed that has not been read as a line yet (after wait()).
  std::string remainingOutput();
  /// Reads output until the child closes it or `deadline` passes; returns what was not read yet.
  std::string readToEnd(std::chrono::steady_clock::time_point deadline);

 private:
  /// Appends what the child prints next; false at the end of its output or at `deadline`.
  bool readMore(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
  bool reaped_ = false;
};

struct ProcessResult {
  bool ended = false;  // ended by itself (exit or signal) within the time-out
  int exitCode = -1;   // when it exited normally
  int signal = 0;      // the signal that ended it, if one did
  std::string output;  // standard output and standard error, interleaved
};

/// Runs `argv` to its end, capturing its output; kills it when it has not ended in `timeout`.
ProcessResult runProcess(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

/// The path of a test program built from tests/programs/<name>.cpp.
std::string testProgram(const std::string& name);

}  // namespace tovrin::test
