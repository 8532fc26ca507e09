#pragma once
// A small per-thread run loop for delayed calls (the timed-event merge interval uses it).
//
// Every thread has its own loop, reached through RunLoop::current(). Tasks scheduled on a
// thread's loop run only on that thread, and only while that thread runs its loop: through
// run(), runFor() or runUntil(), or through runDueTasks() called from a host event loop.
//
// Driving it from a host event loop: ask secondsUntilNextTask() when to wake up, call
// runDueTasks() then, and re-arm the timer from the wake-up handler, which is called whenever
// a task earlier than the current earliest is scheduled (see the README for Qt and GLib).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace tovrin {

class RunLoop {
 public:
  using Task = std::function<void()>;
  using Clock = std::function<double()>;

  /// The calling thread's loop, created on first use and destroyed when the thread ends.
  static RunLoop& current();

  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;
  ~RunLoop();

  /// Runs `task` on this loop after `delaySeconds`. A delay that is zero, negative or NaN makes
  /// the task due at once, but it still runs only when the loop next runs, never inside this
  /// call; +infinity never becomes due. The task (and what it captured) is kept until it has
  /// run or been cancelled. `target` and `name` only serve cancel(). Owner thread only.
  void schedule(const void* target, std::string name, double delaySeconds, Task task);

  /// Cancels every scheduled task of `target` whose name equals `name`; returns how many.
  std::size_t cancel(const void* target, std::string_view name);

  /// Cancels every scheduled task; returns how many.
  std::size_t cancelAll();

  /// Runs the tasks that are due now, in order of due time then scheduling; tasks they schedule
  /// wait for the next call. Returns how many ran. Does nothing off the owner thread.
  std::size_t runDueTasks();

  /// Runs tasks as they become due until stop() is called (from any thread).
  void run();

  /// Runs tasks as they become due for `seconds` of real time, or until stop().
  void runFor(double seconds);

  /// Runs tasks until `done()` is true (checked after each batch) or `timeoutSeconds` of real
  /// time have passed. Returns whether `done()` became true.
  bool runUntil(const std::function<bool()>& done, double timeoutSeconds);

  /// Makes run(), runFor() or runUntil() return soon. Safe from any thread.
  void stop();

  /// Seconds until the earliest task is due (0 if one is due now), or none when nothing is
  /// scheduled. Safe from any thread.
  std::optional<double> secondsUntilNextTask() const;

  /// Number of scheduled tasks. Safe from any thread.
  std::size_t pendingTaskCount() const;

  /// Called (on the scheduling thread) when a task is scheduled that is due earlier than every
  /// task already scheduled, so that a host timer can be re-armed.
  void setWakeUpHandler(std::function<void()> handler);

  /// Replaces the clock used for due times (seconds as a double); an empty function restores
  /// the monotonic clock. Meant for hosts with their own time base and for tests.
  void setClock(Clock clock);

  /// The loop's current time in seconds.
  double now() const;

 private:
  RunLoop();
  struct State;
  std::unique_ptr<State> state_;
  std::thread::id owner_;
  bool onOwnerThread(const char* operation) const;
  bool runBatch(double realDeadline, const std::function<bool()>* done);
};

}  // namespace tovrin
