#pragma once
// Internal: the threads of an IoPool and the Asio event loop they run. Included by the
// bridge's .cpp files only (it brings in Asio).
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

namespace bridge::detail {

class PoolThreads : public std::enable_shared_from_this<PoolThreads> {
 public:
  // A pool with its first threads running.
  static std::shared_ptr<PoolThreads> start();
  PoolThreads(const PoolThreads&) = delete;
  PoolThreads& operator=(const PoolThreads&) = delete;
  ~PoolThreads();

  boost::asio::io_context& context() { return context_; }

  // Whether the calling thread is one of this pool's.
  bool isCurrent() const;

  // Stops the event loop and lets the threads end: joined, but for the calling thread
  // when it is one of them. Callbacks not yet run are dropped with the pool.
  void finish();

  // Marks the calling thread, when it is one of the pool's, as blocked (a handler or a
  // waiting request) for the scope's life. When no pool thread would be left to run
  // callbacks, the pool grows by one, so nested waits cannot starve the connections
  // they wait for.
  class BlockingScope {
   public:
    explicit BlockingScope(PoolThreads& pool);
    ~BlockingScope();
    BlockingScope(const BlockingScope&) = delete;
    BlockingScope& operator=(const BlockingScope&) = delete;

   private:
    PoolThreads* counted_ = nullptr;
  };

 private:
  PoolThreads();
  void addThreadLocked();
  void run();
  void enterBlocking();
  void leaveBlocking();

  boost::asio::io_context context_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
  std::mutex mutex_;
  std::vector<std::thread> threads_;
  std::size_t blocked_ = 0;
  bool finishing_ = false;
};

}  // namespace bridge::detail
