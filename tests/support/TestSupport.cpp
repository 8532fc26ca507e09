#include "support/TestSupport.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tovrin::test {

LogCapture::LogCapture() {
  previous_ = setLogSink([this](std::string_view line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(line);
  });
}

LogCapture::~LogCapture() {
  setLogSink(std::move(previous_));
}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::size_t LogCapture::count(const std::string& text) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t n = 0;
  for (const auto& line : lines_) {
    if (line.find(text) != std::string::npos)
      ++n;
  }
  return n;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tovrin-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ProcessResult runProcess(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeEnds[1]);
  if (spawned != 0) {
    close(pipeEnds[0]);
    throw std::runtime_error("cannot start " + argv.at(0));
  }

  ProcessResult result;
  const auto msLeft = [&] {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
  };
  // Output until the child closes it (normally by ending) or time runs out.
  char buffer[4096];
  for (;;) {
    pollfd ready{pipeEnds[0], POLLIN, 0};
    if (poll(&ready, 1, msLeft()) <= 0)
      break;
    const ssize_t got = read(pipeEnds[0], buffer, sizeof buffer);
    if (got <= 0)
      break;
    result.output.append(buffer, static_cast<std::size_t>(got));
  }
  close(pipeEnds[0]);
  int status = 0;
  pid_t ended = waitpid(pid, &status, WNOHANG);
  while (ended == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ended = waitpid(pid, &status, WNOHANG);
  }
  if (ended == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return result;
  }
  result.ended = true;
  if (WIFEXITED(status))
    result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status))
    result.signal = WTERMSIG(status);
  return result;
}

}  // namespace tovrin::test
