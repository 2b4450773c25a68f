#include "platform/dispatch.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

namespace detail {

namespace {
// The queues whose blocks the calling thread is running, innermost last.
thread_local std::vector<const void*> t_runningQueues;
}  // namespace

QueueScope::QueueScope(const void* identity) { t_runningQueues.push_back(identity); }
QueueScope::~QueueScope() { t_runningQueues.pop_back(); }

bool isRunning(const void* identity) {
  return std::find(t_runningQueues.begin(), t_runningQueues.end(), identity) != t_runningQueues.end();
}

// One thread that hands delayed blocks to their queues when they fall due.
class DelayScheduler {
 public:
  static DelayScheduler& instance() {
    // Never destroyed: blocks may be scheduled until the process ends.
    static DelayScheduler* scheduler = new DelayScheduler;
    return *scheduler;
  }

  void schedule(std::chrono::steady_clock::time_point when, Block post) {
    {
      std::lock_guard lock(mutex_);
      items_.emplace(when, std::move(post));
    }
    changed_.notify_one();
  }

 private:
  DelayScheduler() {
    std::thread([this] { loop(); }).detach();
  }

  void loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (items_.empty()) {
        changed_.wait(lock);
        continue;
      }
      auto first = items_.begin();
      if (std::chrono::steady_clock::now() < first->first) {
        changed_.wait_until(lock, first->first);
        continue;
      }
      Block post = std::move(first->second);
      items_.erase(first);
      lock.unlock();
      post();
      post = nullptr;  // release the captures outside the lock
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::multimap<std::chrono::steady_clock::time_point, Block> items_;
};

void scheduleAfter(std::chrono::steady_clock::duration delay, Block post) {
  DelayScheduler::instance().schedule(std::chrono::steady_clock::now() + std::max(delay, delay.zero()),
                                      std::move(post));
}

}  // namespace detail

namespace {

// Runs `block` on `queue` and waits until it has run.
void asyncAndWait(DispatchQueue& queue, Block block) {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  queue.async([&] {
    block();
    std::lock_guard lock(mutex);
    finished = true;
    done.notify_one();
  });
  std::unique_lock lock(mutex);
  done.wait(lock, [&] { return finished; });
}

// A concurrent pool that grows when every worker is busy (a block that blocks must not
// starve the others), up to a limit.
class GlobalQueue final : public DispatchQueue {
 public:
  void async(Block block) override {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(block));
    if (pending_.size() > idle_ && threads_ < kMaxThreads) {
      ++threads_;
      std::thread([this] { work(); }).detach();
    } else {
      ready_.notify_one();
    }
  }

  void asyncAfter(std::chrono::steady_clock::duration delay, Block block) override {
    detail::scheduleAfter(delay, [this, block = std::move(block)]() mutable { async(std::move(block)); });
  }

  void sync(Block block) override {
    detail::QueueScope scope(this);
    block();
  }

  bool isCurrent() const override { return detail::isRunning(this); }
  const std::string& label() const override { return label_; }

 private:
  static constexpr std::size_t kMaxThreads = 64;

  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      ++idle_;
      ready_.wait(lock, [&] { return !pending_.empty(); });
      --idle_;
      Block block = std::move(pending_.front());
      pending_.pop_front();
      lock.unlock();
      {
        detail::QueueScope scope(this);
        block();
        block = nullptr;
      }
      lock.lock();
    }
  }

  const std::string label_ = "global";
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Block> pending_;
  std::size_t idle_ = 0;
  std::size_t threads_ = 0;
};

// A serial queue with a worker thread of its own. Blocks still queued when the queue
// is destroyed run before its worker ends; delayed blocks not yet due are dropped.
class SerialQueue final : public DispatchQueue {
 public:
  explicit SerialQueue(std::string label) : state_(std::make_shared<State>()), label_(std::move(label)) {
    worker_ = std::thread([state = state_] { work(*state); });
  }

  ~SerialQueue() override {
    {
      std::lock_guard lock(state_->mutex);
      state_->closing = true;
    }
    state_->ready.notify_one();
    if (std::this_thread::get_id() == worker_.get_id()) {
      worker_.detach();  // destroyed by one of its own blocks: the worker ends by itself
    } else {
      worker_.join();
    }
  }

  void async(Block block) override {
    // A block may release the last reference to this queue while async is still
    // returning: only the local copy of the state is touched after the push.
    std::shared_ptr<State> state = state_;
    State::push(*state, std::move(block));
  }

  void asyncAfter(std::chrono::steady_clock::duration delay, Block block) override {
    std::weak_ptr<State> weak = state_;
    detail::scheduleAfter(delay, [weak, block = std::move(block)]() mutable {
      if (auto state = weak.lock()) State::push(*state, std::move(block));
    });
  }

  void sync(Block block) override {
    if (isCurrent()) {
      block();
      return;
    }
    asyncAndWait(*this, std::move(block));
  }

  bool isCurrent() const override { return detail::isRunning(state_.get()); }
  const std::string& label() const override { return label_; }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Block> pending;
    bool closing = false;

    static void push(State& state, Block block) {
      {
        std::lock_guard lock(state.mutex);
        if (state.closing) return;
        state.pending.push_back(std::move(block));
      }
      state.ready.notify_one();
    }
  };

  static void work(State& state) {
    std::unique_lock lock(state.mutex);
    for (;;) {
      state.ready.wait(lock, [&] { return !state.pending.empty() || state.closing; });
      if (state.pending.empty()) return;
      Block block = std::move(state.pending.front());
      state.pending.pop_front();
      lock.unlock();
      {
        detail::QueueScope scope(&state);
        block();
        block = nullptr;
      }
      lock.lock();
    }
  }

  std::shared_ptr<State> state_;
  std::string label_;
  std::thread worker_;
};

}  // namespace

DispatchQueue& DispatchQueue::global() {
  static GlobalQueue* queue = new GlobalQueue;  // never destroyed; its workers run until exit
  return *queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::makeSerial(std::string label) {
  return std::make_shared<SerialQueue>(std::move(label));
}

// ---- semaphore -------------------------------------------------------------------

struct DispatchSemaphore::State {
  std::mutex mutex;
  std::condition_variable signalled;
  long value;
};

DispatchSemaphore::DispatchSemaphore(long value) : state_(std::make_unique<State>()) { state_->value = value; }
DispatchSemaphore::~DispatchSemaphore() = default;

void DispatchSemaphore::signal() {
  // Notifies under the lock: a waiter that owns the semaphore on its stack may destroy it
  // as soon as it can take the lock, so nothing here may touch it after unlocking.
  std::lock_guard lock(state_->mutex);
  ++state_->value;
  state_->signalled.notify_one();
}

void DispatchSemaphore::wait() {
  std::unique_lock lock(state_->mutex);
  state_->signalled.wait(lock, [&] { return state_->value > 0; });
  --state_->value;
}

bool DispatchSemaphore::waitFor(std::chrono::steady_clock::duration timeout) {
  std::unique_lock lock(state_->mutex);
  if (!state_->signalled.wait_for(lock, timeout, [&] { return state_->value > 0; })) return false;
  --state_->value;
  return true;
}

}  // namespace platform
