#pragma once
// Where the server's listener callbacks run.
//
// The bridge stands alone, so it brings its own: CallbackQueue::makeSerial() gives a
// serial queue on the bridge's shared thread pool. An owner with its own event loop
// (a main run loop) implements CallbackQueue with a small adapter that posts to it.
#include <functional>
#include <memory>

namespace bridge {

class CallbackQueue {
 public:
  virtual ~CallbackQueue() = default;
  // Runs the block later, never inside the call. Blocks of one queue may run on any
  // thread; a serial queue runs them one at a time in the order given.
  virtual void async(std::function<void()> block) = 0;

  static std::shared_ptr<CallbackQueue> makeSerial();
};

}  // namespace bridge
