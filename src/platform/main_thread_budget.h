#pragma once
// The main thread's budget for waits. A periodic job (the agent's enforcement tick)
// begins a period each time it runs; every wait of the main thread in that period (for
// a reply, for a child process) ends no later than `window` into the period. So however
// many waits share a period, and however slow what they wait for, together they hold
// the main thread at most `window` of it, and the next period's job starts on time.
//
// One budget may be installed for the process (the agent's delegate installs its own);
// waits ask bound() for their limit, which leaves a limit as it is while none is
// installed or off the main thread.
#include <atomic>
#include <chrono>
#include <memory>

namespace platform {

class MainThreadBudget {
 public:
  using Clock = std::chrono::steady_clock;

  // A period begins at once.
  MainThreadBudget(Clock::duration period, Clock::duration window);

  // A new period begins now.
  void beginPeriod(Clock::time_point now = Clock::now());
  // How long a wait that starts now may last: until `window` into the current period,
  // zero once that has passed. A period that nothing began follows the last one a
  // period after it began (the job is late or stopped: waits are not starved for ever).
  std::chrono::milliseconds left(Clock::time_point now = Clock::now()) const;

  Clock::duration period() const { return period_; }
  Clock::duration window() const { return window_; }

  // Makes `budget` the process's (nullptr: none) and returns the one before.
  static std::shared_ptr<MainThreadBudget> install(std::shared_ptr<MainThreadBudget> budget);
  static std::shared_ptr<MainThreadBudget> installed();
  // `limit`, cut to what is left of the installed budget when called on the main
  // thread; as it is otherwise.
  static std::chrono::milliseconds bound(std::chrono::milliseconds limit);

 private:
  const Clock::duration period_;
  const Clock::duration window_;
  std::atomic<Clock::rep> periodStart_;  // Clock ticks since its epoch
};

}  // namespace platform
