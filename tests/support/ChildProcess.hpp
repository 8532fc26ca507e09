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
  /// Starts `argv[0]` with the arguments (standard error is inherited).
  explicit ChildProcess(const std::vector<std::string>& argv);
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

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
  bool reaped_ = false;
};

/// The path of a test program built from tests/programs/<name>.cpp.
std::string testProgram(const std::string& name);

}  // namespace tovrin::test
