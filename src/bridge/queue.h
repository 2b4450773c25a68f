#pragma once
// Where the server's listener callbacks run.
//
// The bridge stands alone, so it brings its own: CallbackQueue::makeSerial(pool) gives
// a serial queue on the threads of an IoPool that the caller built. An owner with its
// own event loop (a main run loop) implements CallbackQueue with a small adapter that
// posts to it.
#include <functional>
#include <memory>

namespace bridge {

class IoPool;

class CallbackQueue {
 public:
  virtual ~CallbackQueue() = default;
  // Runs the block later, never inside the call. Blocks of one queue may run on any
  // thread; a serial queue runs them one at a time in the order given.
  virtual void async(std::function<void()> block) = 0;

  // A serial queue on the pool's threads (pool not null); the queue keeps the pool
  // running while it lives.
  static std::shared_ptr<CallbackQueue> makeSerial(std::shared_ptr<IoPool> pool);
};

}  // namespace bridge
