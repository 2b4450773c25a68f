#pragma once
// The threads that serve the bridge server's connections that have to wait for their
// peer, and run the serial queues of CallbackQueue::makeSerial().
//
//   auto pool = std::make_shared<bridge::IoPool>();
//   bridge::PBServer server(port, delegate, "127.0.0.1", {}, pool);
//   server.start(bridge::CallbackQueue::makeSerial(pool));
//
// Build one where the program builds its servers and hand it to each of them and to
// its queues; there is no process-wide pool. A server given none builds one of its
// own, used by that server alone. A pool runs while anything holds it (its owner, a
// server built with it, a serial queue on it); once the last of them lets go, its
// threads end (joined, unless the last holder lets go on one of them).
#include <memory>

namespace bridge {

namespace detail {
class PoolThreads;
}

class IoPool {
 public:
  // Starts the pool with a few threads; it asks for more while its threads are held
  // up in blocking calls (a handler, a nested request).
  IoPool();
  ~IoPool();
  IoPool(const IoPool&) = delete;
  IoPool& operator=(const IoPool&) = delete;

  // Whether the calling thread is one of this pool's.
  bool ownsCallingThread() const;

  // Internal: the threads and their event loop, for the bridge's own sources.
  detail::PoolThreads& threads() const { return *threads_; }

 private:
  std::shared_ptr<detail::PoolThreads> threads_;
};

}  // namespace bridge
