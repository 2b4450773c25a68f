#pragma once
// Internal: the shared pool of threads that runs the callbacks of server connections
// that have to wait for their peer, and the serial queues of CallbackQueue.
// Included by the bridge's .cpp files only (it brings in Asio).
#include <atomic>
#include <cstddef>
#include <mutex>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

namespace bridge::detail {

class IoPool {
 public:
  // Created on first use and never destroyed: callbacks may still be pending when
  // the process exits, and they must find the pool alive.
  static IoPool& global();

  boost::asio::io_context& context() { return context_; }

  // Whether the calling thread is one of the pool's.
  static bool onPoolThread();

  // Marks the calling pool thread as blocked (a handler or a waiting request) for the
  // scope's life. When no pool thread would be left to run callbacks, the pool grows
  // by one, so nested waits cannot starve the connections they wait for.
  class BlockingScope {
   public:
    BlockingScope();
    ~BlockingScope();
    BlockingScope(const BlockingScope&) = delete;
    BlockingScope& operator=(const BlockingScope&) = delete;

   private:
    bool counted_ = false;
  };

 private:
  IoPool();
  void addThread();
  void enterBlocking();
  void leaveBlocking();

  boost::asio::io_context context_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  std::mutex mutex_;
  std::size_t threadCount_ = 0;
  std::size_t blocked_ = 0;
};

}  // namespace bridge::detail
