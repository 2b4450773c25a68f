#pragma once
// Dispatch queues and counting semaphores.
//
// - DispatchQueue::main() runs its blocks on the thread that runs the main run loop
//   (RunLoop::main(), see run_loop.h), in the order they were posted. While no thread
//   runs the loop, the program's main thread counts as the main queue's thread.
// - DispatchQueue::global() is a shared concurrent pool; it adds threads when all are
//   busy (up to 64), so blocks that wait on each other do not starve.
// - DispatchQueue::makeSerial(label) makes a private serial queue with its own thread.
//   Blocks still queued when it is destroyed run first; asyncAfter blocks not yet due
//   are dropped.
#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace platform {

using Block = std::function<void()>;

class DispatchQueue {
 public:
  virtual ~DispatchQueue() = default;

  virtual void async(Block block) = 0;
  virtual void asyncAfter(std::chrono::steady_clock::duration delay, Block block) = 0;
  // Runs the block and waits for it. Calling sync on the queue one is already on
  // runs the block at once (no deadlock).
  virtual void sync(Block block) = 0;
  // True when the calling thread is currently running a block of this queue
  // (for the main queue: the thread that runs the main run loop).
  virtual bool isCurrent() const = 0;
  virtual const std::string& label() const = 0;

  static DispatchQueue& main();
  static DispatchQueue& global();
  static std::shared_ptr<DispatchQueue> makeSerial(std::string label);
};

class DispatchSemaphore {
 public:
  explicit DispatchSemaphore(long value);
  ~DispatchSemaphore();
  DispatchSemaphore(const DispatchSemaphore&) = delete;
  DispatchSemaphore& operator=(const DispatchSemaphore&) = delete;

  void signal();
  void wait();
  // False when the time ran out before a signal.
  bool waitFor(std::chrono::steady_clock::duration timeout);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

namespace detail {
// Marks the calling thread as running a block of the queue with this identity.
struct QueueScope {
  explicit QueueScope(const void* identity);
  ~QueueScope();
  QueueScope(const QueueScope&) = delete;
  QueueScope& operator=(const QueueScope&) = delete;
};
bool isRunning(const void* identity);
// Calls `post` on a shared timer thread once `delay` has passed.
void scheduleAfter(std::chrono::steady_clock::duration delay, Block post);
}  // namespace detail

}  // namespace platform
