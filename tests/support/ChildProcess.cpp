#include "support/ChildProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace tovrin::test {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, bool captureStderr) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  if (captureStderr)
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  // The child must not inherit a blocked or ignored signal from the test's threads.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const int rc = ::posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(pipeFds[1]);
  out_ = pipeFds[0];
  if (rc != 0) {
    ::close(out_);
    out_ = -1;
    throw std::runtime_error("cannot start " + argv[0]);
  }
}

ChildProcess::~ChildProcess() {
  if (!reaped_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (out_ >= 0)
    ::close(out_);
}

bool ChildProcess::readMore(std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || out_ < 0)
      return false;
    pollfd fd{out_, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0)
      continue;
    char chunk[4096];
    const ssize_t n = ::read(out_, chunk, sizeof(chunk));
    if (n <= 0)
      return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (auto end = buffer_.find('\n'); end != std::string::npos) {
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      return line;
    }
    if (!readMore(deadline))
      return std::nullopt;
  }
}

void ChildProcess::kill(int signal) {
  if (!reaped_)
    ::kill(pid_, signal);
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      return status;
    }
    if (std::chrono::steady_clock::now() >= deadline)
      return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string ChildProcess::remainingOutput() {
  if (out_ >= 0) {
    char chunk[4096];
    ::fcntl(out_, F_SETFL, O_NONBLOCK);
    for (;;) {
      const ssize_t n = ::read(out_, chunk, sizeof(chunk));
      if (n <= 0)
        break;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }
  return std::exchange(buffer_, {});
}

std::string ChildProcess::readToEnd(std::chrono::steady_clock::time_point deadline) {
  while (readMore(deadline)) {
  }
  return std::exchange(buffer_, {});
}

ProcessResult runProcess(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  ChildProcess child(argv, /*captureStderr=*/true);
  ProcessResult result;
  result.output = child.readToEnd(deadline);
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  const auto status = child.wait(std::max(left, std::chrono::milliseconds(0)));
  if (!status)
    return result;  // the destructor kills it
  result.ended = true;
  if (WIFEXITED(*status))
    result.exitCode = WEXITSTATUS(*status);
  if (WIFSIGNALED(*status))
    result.signal = WTERMSIG(*status);
  return result;
}

std::string testProgram(const std::string& name) {
  return std::string(TOVRIN_TEST_PROGRAM_DIR) + "/tovrin-test-" + name;
}

}  // namespace tovrin::test
