#include "TovrinTracker/RunLoop.hpp"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <limits>
#include <mutex>
#include <utility>
#include <vector>

#include "TovrinTracker/Clock.hpp"
#include "TovrinTracker/Log.hpp"

namespace tovrin {

namespace {

struct Entry {
  const void* target;
  std::string name;
  RunLoop::Task task;
};

// Key: due time, then a sequence number so that equal due times keep scheduling order.
using Key = std::pair<double, std::uint64_t>;

double realSeconds() {
  return currentMediaTime();
}

}  // namespace

struct RunLoop::State {
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::map<Key, Entry> tasks;
  std::uint64_t nextSequence = 0;
  bool stopRequested = false;
  Clock clock;
  std::function<void()> wakeUpHandler;
};

RunLoop& RunLoop::current() {
  thread_local RunLoop loop;
  return loop;
}

RunLoop::RunLoop() : state_(std::make_unique<State>()), owner_(std::this_thread::get_id()) {}

RunLoop::~RunLoop() = default;

bool RunLoop::onOwnerThread(const char* operation) const {
  if (std::this_thread::get_id() == owner_)
    return true;
  log(std::string("RunLoop: ") + operation + " ignored: called off the loop's own thread");
  return false;
}

double RunLoop::now() const {
  Clock clock;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    clock = state_->clock;
  }
  return clock ? clock() : realSeconds();
}

void RunLoop::schedule(const void* target, std::string name, double delaySeconds, Task task) {
  if (!onOwnerThread("schedule") || !task)
    return;
  if (std::isnan(delaySeconds) || delaySeconds < 0)
    delaySeconds = 0;
  const double due = now() + delaySeconds;  // +inf stays +inf: never due
  std::function<void()> wake;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    const bool earliest = state_->tasks.empty() || due < state_->tasks.begin()->first.first;
    state_->tasks.emplace(Key{due, state_->nextSequence++},
                          Entry{target, std::move(name), std::move(task)});
    if (earliest)
      wake = state_->wakeUpHandler;
  }
  state_->changed.notify_all();
  if (wake)
    wake();
}

std::size_t RunLoop::cancel(const void* target, std::string_view name) {
  if (!onOwnerThread("cancel"))
    return 0;
  std::vector<Task> cancelled;  // destroyed outside the lock: captures may run destructors
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    for (auto it = state_->tasks.begin(); it != state_->tasks.end();) {
      if (it->second.target == target && it->second.name == name) {
        cancelled.push_back(std::move(it->second.task));
        it = state_->tasks.erase(it);
      } else {
        ++it;
      }
    }
  }
  return cancelled.size();
}

std::size_t RunLoop::cancelAll() {
  if (!onOwnerThread("cancelAll"))
    return 0;
  std::map<Key, Entry> cancelled;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    cancelled.swap(state_->tasks);
  }
  return cancelled.size();
}

std::size_t RunLoop::runDueTasks() {
  if (!onOwnerThread("runDueTasks"))
    return 0;
  std::uint64_t limit;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    limit = state_->nextSequence;  // tasks scheduled from here on wait for the next call
  }
  std::size_t ran = 0;
  for (;;) {
    const double time = now();
    Task task;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      auto it = state_->tasks.begin();
      while (it != state_->tasks.end() && it->first.first <= time && it->first.second >= limit) {
        ++it;
      }
      if (it == state_->tasks.end() || it->first.first > time)
        break;
      task = std::move(it->second.task);
      state_->tasks.erase(it);
    }
    // A task that throws must not take the host's event loop down with it.
    try {
      task();
    } catch (const std::exception& error) {
      log(std::string("RunLoop: a scheduled task threw: ") + error.what());
    } catch (...) {
      log("RunLoop: a scheduled task threw an unknown exception");
    }
    ++ran;
  }
  return ran;
}

bool RunLoop::runBatch(double realDeadline, const std::function<bool()>* done) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopRequested = false;
  }
  for (;;) {
    runDueTasks();
    if (done && (*done)())
      return true;
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (state_->stopRequested) {
      state_->stopRequested = false;
      return false;
    }
    const double real = realSeconds();
    if (real >= realDeadline)
      return false;
    double wait = realDeadline - real;
    if (!state_->tasks.empty()) {
      const Clock& clock = state_->clock;
      const double untilDue = state_->tasks.begin()->first.first - (clock ? clock() : real);
      if (untilDue < wait)
        wait = untilDue;
    }
    if (done && wait > 0.01)
      wait = 0.01;  // `done` may depend on other threads: poll it
    if (wait > 0) {
      state_->changed.wait_for(lock, std::chrono::duration<double>(wait));
    }
  }
}

void RunLoop::run() {
  if (!onOwnerThread("run"))
    return;
  runBatch(std::numeric_limits<double>::infinity(), nullptr);
}

void RunLoop::runFor(double seconds) {
  if (!onOwnerThread("runFor"))
    return;
  if (!(seconds > 0)) {
    runDueTasks();
    return;
  }
  runBatch(realSeconds() + seconds, nullptr);
}

bool RunLoop::runUntil(const std::function<bool()>& done, double timeoutSeconds) {
  if (!onOwnerThread("runUntil"))
    return false;
  if (!done)
    return false;
  if (!(timeoutSeconds > 0))
    timeoutSeconds = 0;
  return runBatch(realSeconds() + timeoutSeconds, &done) || done();
}

void RunLoop::stop() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopRequested = true;
  }
  state_->changed.notify_all();
}

std::optional<double> RunLoop::secondsUntilNextTask() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->tasks.empty())
    return std::nullopt;
  const double time = state_->clock ? state_->clock() : realSeconds();
  const double until = state_->tasks.begin()->first.first - time;
  return until > 0 ? until : 0.0;
}

std::size_t RunLoop::pendingTaskCount() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->tasks.size();
}

void RunLoop::setWakeUpHandler(std::function<void()> handler) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->wakeUpHandler = std::move(handler);
}

void RunLoop::setClock(Clock clock) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->clock = std::move(clock);
  }
  state_->changed.notify_all();
}

}  // namespace tovrin
