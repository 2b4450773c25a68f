#pragma once
// The main run loop: timers and the main queue's blocks run on the thread that
// calls run(). Timers are scheduled in a mode; a timer in the default mode does not
// fire while the loop runs in the event-tracking mode (a menu is open), one in the
// common modes fires in both. A timer that could not fire on time (the loop was busy,
// or in another mode) fires once when it can, then again one interval later: missed
// firings are not made up. Main-queue blocks run in every mode, between timers.
#include <chrono>
#include <functional>
#include <memory>

namespace platform {

enum class RunLoopMode { defaultMode, eventTracking, common };

class Timer : public std::enable_shared_from_this<Timer> {
 public:
  using Action = std::function<void(Timer&)>;
  virtual ~Timer() = default;
  virtual void fire() = 0;        // runs the action now, on the calling thread
  virtual void invalidate() = 0;  // never fires again; idempotent
  virtual bool isValid() const = 0;
  virtual std::chrono::steady_clock::duration interval() const = 0;
};

class RunLoop {
 public:
  virtual ~RunLoop() = default;

  static RunLoop& main();

  // A timer that fires every `interval` (once if !repeats), first after one interval.
  // May be called from any thread. The loop keeps the timer until it is invalidated;
  // invalidating releases the action (and what it captured).
  virtual std::shared_ptr<Timer> scheduledTimer(std::chrono::steady_clock::duration interval, bool repeats,
                                                Timer::Action action, RunLoopMode mode = RunLoopMode::defaultMode) = 0;
  // Adds an existing timer in one more mode.
  virtual void add(const std::shared_ptr<Timer>& timer, RunLoopMode mode) = 0;

  // Runs timers and main-queue blocks until stop() (from any thread). One thread at a
  // time runs the loop (nested runs on that thread are fine); it is the main queue's
  // thread while it runs. A stop() while no run is active ends the next run at once.
  virtual void run() = 0;
  // Runs until `deadline` or stop(), whichever first. For tests.
  virtual void runUntil(std::chrono::steady_clock::time_point deadline) = 0;
  // Runs until the predicate holds (checked after every block/timer) or the timeout passes.
  // Returns the predicate's last value. For tests.
  virtual bool runUntil(const std::function<bool()>& predicate, std::chrono::steady_clock::duration timeout) = 0;
  virtual void stop() = 0;

  // The mode the loop is currently running in (eventTracking while a menu is tracked).
  // Set to `common`, every timer may fire.
  virtual RunLoopMode currentMode() const = 0;
  virtual void setCurrentMode(RunLoopMode mode) = 0;
};

}  // namespace platform
