#include "platform/run_loop.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/dispatch.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// The thread that ran the program's static initialisers: the main thread, which counts
// as the main queue's thread while no one runs the main loop.
const std::thread::id g_initialThread = std::this_thread::get_id();

constexpr unsigned modeMask(RunLoopMode mode) {
  switch (mode) {
    case RunLoopMode::defaultMode:
      return 1u;
    case RunLoopMode::eventTracking:
      return 2u;
    case RunLoopMode::common:
      return 3u;
  }
  return 0u;
}

class MainLoop;

class LoopTimer final : public Timer {
 public:
  LoopTimer(MainLoop& loop, Clock::duration interval, bool repeats, Action action)
      : loop_(loop),
        interval_(std::max<Clock::duration>(interval, std::chrono::microseconds(100))),
        repeats_(repeats),
        action_(std::make_shared<Action>(std::move(action))) {}

  void fire() override {
    std::shared_ptr<Action> action;
    {
      std::lock_guard lock(mutex_);
      if (!valid_) return;
      action = action_;  // keeps the action alive if it invalidates its own timer
    }
    (*action)(*this);
    if (!repeats_) invalidate();
  }

  void invalidate() override;

  bool isValid() const override {
    std::lock_guard lock(mutex_);
    return valid_;
  }

  Clock::duration interval() const override { return repeats_ ? interval_ : Clock::duration::zero(); }

  bool repeats() const { return repeats_; }
  Clock::duration period() const { return interval_; }

  // Guarded by the loop's mutex.
  Clock::time_point nextFire;
  unsigned modes = 0;

 private:
  MainLoop& loop_;
  const Clock::duration interval_;
  const bool repeats_;
  mutable std::mutex mutex_;
  bool valid_ = true;
  std::shared_ptr<Action> action_;
};

class MainLoop final : public RunLoop {
 public:
  std::shared_ptr<Timer> scheduledTimer(Clock::duration interval, bool repeats, Timer::Action action,
                                        RunLoopMode mode) override {
    auto timer = std::make_shared<LoopTimer>(*this, interval, repeats, std::move(action));
    {
      std::lock_guard lock(mutex_);
      timer->nextFire = Clock::now() + timer->period();
      timer->modes = modeMask(mode);
      timers_.push_back(timer);
      ++generation_;
    }
    changed_.notify_all();
    return timer;
  }

  void add(const std::shared_ptr<Timer>& timer, RunLoopMode mode) override {
    {
      std::lock_guard lock(mutex_);
      auto found = std::find(timers_.begin(), timers_.end(), timer);
      if (found == timers_.end()) return;  // invalidated, or not one of ours
      (*found)->modes |= modeMask(mode);
      ++generation_;
    }
    changed_.notify_all();
  }

  void run() override { runLoop(std::nullopt, nullptr); }
  void runUntil(Clock::time_point deadline) override { runLoop(deadline, nullptr); }
  bool runUntil(const std::function<bool()>& predicate, Clock::duration timeout) override {
    return runLoop(Clock::now() + timeout, &predicate);
  }

  void stop() override {
    {
      std::lock_guard lock(mutex_);
      stopRequested_ = true;
      ++generation_;
    }
    changed_.notify_all();
  }

  RunLoopMode currentMode() const override {
    std::lock_guard lock(mutex_);
    return mode_;
  }

  void setCurrentMode(RunLoopMode mode) override {
    {
      std::lock_guard lock(mutex_);
      mode_ = mode;
      ++generation_;
    }
    changed_.notify_all();
  }

  // ---- the main queue's side ----

  void post(Block block) {
    {
      std::lock_guard lock(mutex_);
      blocks_.push_back(std::move(block));
      ++generation_;
    }
    changed_.notify_all();
  }

  void postAfter(Clock::duration delay, Block block) {
    {
      std::lock_guard lock(mutex_);
      delayed_.emplace(Clock::now() + std::max(delay, Clock::duration::zero()), std::move(block));
      ++generation_;
    }
    changed_.notify_all();
  }

  bool onMainThread() const {
    std::lock_guard lock(mutex_);
    auto me = std::this_thread::get_id();
    return depth_ > 0 ? runner_ == me : me == g_initialThread;
  }

  void timerInvalidated() {
    {
      std::lock_guard lock(mutex_);
      ++generation_;
    }
    changed_.notify_all();
  }

 private:
  // How a part of a pass ended: on to the next part, at a stop(), or with the
  // predicate holding.
  enum class Pass { goOn, stopped, satisfied };

  static bool holds(const std::function<bool()>* predicate) { return predicate != nullptr && (*predicate)(); }

  // One pass: the blocks queued when it starts, then the timers that are due in the
  // current mode, then a wait for the next event. A timer that is late fires once and
  // next fires one interval later, so a blocked loop causes no burst.
  bool runLoop(std::optional<Clock::time_point> deadline, const std::function<bool()>* predicate) {
    if (!enter()) return false;
    struct Exit {
      MainLoop& loop;
      ~Exit() {
        std::lock_guard lock(loop.mutex_);
        --loop.depth_;
      }
    } exit{*this};

    for (;;) {
      if (holds(predicate)) return true;
      const auto batch = blocksOfThisPass(deadline);
      if (!batch) return holds(predicate);
      auto pass = runBlocks(*batch, predicate);
      if (pass == Pass::goOn) pass = fireDueTimers(predicate);
      if (pass == Pass::stopped) return holds(predicate);
      if (pass == Pass::satisfied) return true;
      waitForNextEvent(deadline, predicate != nullptr);
    }
  }

  // Makes the calling thread the loop's runner; false (and said so) while another
  // thread runs it.
  bool enter() {
    const auto me = std::this_thread::get_id();
    std::lock_guard lock(mutex_);
    if (depth_ > 0 && runner_ != me) {
      std::fputs("RunLoop: the main run loop is already running on another thread\n", stderr);
      return false;
    }
    ++depth_;
    runner_ = me;
    return true;
  }

  // The number of blocks this pass runs, once the delayed blocks now due are queued;
  // none at a stop() or past the deadline.
  std::optional<std::size_t> blocksOfThisPass(const std::optional<Clock::time_point>& deadline) {
    std::lock_guard lock(mutex_);
    if (consumeStop() || expired(deadline)) return std::nullopt;
    auto now = Clock::now();
    while (!delayed_.empty() && delayed_.begin()->first <= now) {
      blocks_.push_back(std::move(delayed_.begin()->second));
      delayed_.erase(delayed_.begin());
    }
    return blocks_.size();
  }

  // Runs up to `batch` queued blocks, in order, as the main queue.
  Pass runBlocks(std::size_t batch, const std::function<bool()>* predicate) {
    for (std::size_t i = 0; i < batch; ++i) {
      Block block;
      {
        std::lock_guard lock(mutex_);
        if (consumeStop()) return Pass::stopped;
        if (blocks_.empty()) break;
        block = std::move(blocks_.front());
        blocks_.pop_front();
      }
      {
        detail::QueueScope scope(&DispatchQueue::main());
        block();
        block = nullptr;
      }
      if (holds(predicate)) return Pass::satisfied;
    }
    return Pass::goOn;
  }

  // Fires the timers due in the current mode, earliest first, and schedules their next
  // firing.
  Pass fireDueTimers(const std::function<bool()>* predicate) {
    for (const auto& timer : dueTimers()) {
      Clock::time_point scheduled;
      {
        std::lock_guard lock(mutex_);
        if (consumeStop()) return Pass::stopped;
        // An earlier action may have changed the mode or invalidated this timer.
        if ((timer->modes & modeMask(mode_)) == 0 || !timer->isValid()) continue;
        scheduled = timer->nextFire;
      }
      timer->fire();
      if (timer->repeats() && timer->isValid()) {
        std::lock_guard lock(mutex_);
        auto now = Clock::now();
        auto next = scheduled + timer->period();
        if (next <= now) next = now + timer->period();  // late: missed firings are not made up
        timer->nextFire = next;
      }
      if (holds(predicate)) return Pass::satisfied;
    }
    return Pass::goOn;
  }

  // Waits until something changes or the next event (or the deadline) falls due; not
  // at all when a stop() or a block is waiting. With a predicate, at most 5 ms.
  void waitForNextEvent(const std::optional<Clock::time_point>& deadline, bool polling) {
    std::unique_lock lock(mutex_);
    if (stopRequested_ || !blocks_.empty()) return;
    auto wakeAt = nextEvent();
    if (deadline && (!wakeAt || *deadline < *wakeAt)) wakeAt = deadline;
    if (polling) {
      // The predicate may depend on other threads: look at it again soon.
      auto poll = Clock::now() + std::chrono::milliseconds(5);
      if (!wakeAt || poll < *wakeAt) wakeAt = poll;
    }
    const auto seen = generation_;
    auto changed = [&] { return generation_ != seen; };
    if (wakeAt) {
      changed_.wait_until(lock, *wakeAt, changed);
    } else {
      changed_.wait(lock, changed);
    }
  }

  // Under the mutex.
  bool consumeStop() {
    if (!stopRequested_) return false;
    stopRequested_ = false;
    return true;
  }

  static bool expired(const std::optional<Clock::time_point>& deadline) {
    return deadline && Clock::now() >= *deadline;
  }

  // The valid timers due now in the current mode, earliest first; drops invalid ones.
  std::vector<std::shared_ptr<LoopTimer>> dueTimers() {
    std::lock_guard lock(mutex_);
    std::erase_if(timers_, [](const auto& timer) { return !timer->isValid(); });
    auto now = Clock::now();
    std::vector<std::shared_ptr<LoopTimer>> due;
    for (const auto& timer : timers_) {
      if ((timer->modes & modeMask(mode_)) != 0 && timer->nextFire <= now) due.push_back(timer);
    }
    std::stable_sort(due.begin(), due.end(), [](const auto& a, const auto& b) { return a->nextFire < b->nextFire; });
    return due;
  }

  // Under the mutex: when the next delayed block or timer of the current mode falls due.
  std::optional<Clock::time_point> nextEvent() const {
    std::optional<Clock::time_point> next;
    if (!delayed_.empty()) next = delayed_.begin()->first;
    for (const auto& timer : timers_) {
      if ((timer->modes & modeMask(mode_)) == 0 || !timer->isValid()) continue;
      if (!next || timer->nextFire < *next) next = timer->nextFire;
    }
    return next;
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t generation_ = 0;
  std::deque<Block> blocks_;
  std::multimap<Clock::time_point, Block> delayed_;
  std::vector<std::shared_ptr<LoopTimer>> timers_;
  bool stopRequested_ = false;
  int depth_ = 0;
  std::thread::id runner_;
  RunLoopMode mode_ = RunLoopMode::defaultMode;
};

void LoopTimer::invalidate() {
  std::shared_ptr<Action> released;
  {
    std::lock_guard lock(mutex_);
    if (!valid_) return;
    valid_ = false;
    released = std::move(action_);  // drops what the action holds (outside the lock)
  }
  released.reset();
  loop_.timerInvalidated();
}

MainLoop& mainLoop() {
  static MainLoop* loop = new MainLoop;  // never destroyed: other threads may post until exit
  return *loop;
}

class MainQueue final : public DispatchQueue {
 public:
  void async(Block block) override { mainLoop().post(std::move(block)); }
  void asyncAfter(Clock::duration delay, Block block) override { mainLoop().postAfter(delay, std::move(block)); }
  void sync(Block block) override {
    if (isCurrent()) {
      block();
      return;
    }
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    async([&] {
      block();
      std::lock_guard lock(mutex);
      finished = true;
      done.notify_one();
    });
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finished; });
  }
  bool isCurrent() const override { return detail::isRunning(this) || mainLoop().onMainThread(); }
  const std::string& label() const override { return label_; }

 private:
  const std::string label_ = "main";
};

}  // namespace

RunLoop& RunLoop::main() { return mainLoop(); }

DispatchQueue& DispatchQueue::main() {
  static MainQueue* queue = new MainQueue;
  return *queue;
}

}  // namespace platform
