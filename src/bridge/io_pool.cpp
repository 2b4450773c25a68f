#include "bridge/io_pool.h"

#include <exception>
#include <functional>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include "bridge/pool_threads.h"
#include "bridge/queue.h"

namespace bridge::detail {

namespace {

// Few threads at first: a pool serves only connections that have to wait, and asks
// for more while its threads are held up in blocking calls.
constexpr std::size_t kFirstThreads = 2;
constexpr std::size_t kMaxThreads = 256;

// The pool whose thread this is, if any.
thread_local const PoolThreads* t_currentPool = nullptr;

}  // namespace

std::shared_ptr<PoolThreads> PoolThreads::start() {
  std::shared_ptr<PoolThreads> pool(new PoolThreads());
  std::lock_guard lock(pool->mutex_);
  for (std::size_t i = 0; i < kFirstThreads; ++i) pool->addThreadLocked();
  return pool;
}

PoolThreads::PoolThreads() : work_(boost::asio::make_work_guard(context_)) {}

// Every thread has been joined or detached by finish() by now: each holds the pool.
PoolThreads::~PoolThreads() = default;

bool PoolThreads::isCurrent() const { return t_currentPool == this; }

void PoolThreads::addThreadLocked() {
  if (finishing_ || threads_.size() >= kMaxThreads) return;
  try {
    threads_.emplace_back([self = shared_from_this()] { self->run(); });
  } catch (const std::exception&) {
    // No thread to be had now: the pool goes on with the threads it has.
  }
}

void PoolThreads::run() {
  t_currentPool = this;
  // A callback that throws must not take a pool thread down with it.
  for (;;) {
    try {
      context_.run();
      return;
    } catch (...) {
    }
  }
}

void PoolThreads::finish() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    finishing_ = true;
    work_.reset();
    threads.swap(threads_);
  }
  context_.stop();
  for (auto& thread : threads) {
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else {
      thread.join();
    }
  }
}

void PoolThreads::enterBlocking() {
  std::lock_guard lock(mutex_);
  ++blocked_;
  if (blocked_ >= threads_.size()) addThreadLocked();
}

void PoolThreads::leaveBlocking() {
  std::lock_guard lock(mutex_);
  --blocked_;
}

PoolThreads::BlockingScope::BlockingScope(PoolThreads& pool) {
  if (!pool.isCurrent()) return;
  counted_ = &pool;
  pool.enterBlocking();
}

PoolThreads::BlockingScope::~BlockingScope() {
  if (counted_) counted_->leaveBlocking();
}

}  // namespace bridge::detail

namespace bridge {

IoPool::IoPool() : threads_(detail::PoolThreads::start()) {}

// A join throws only when the system fails it; ending the program then is right.
IoPool::~IoPool() { threads_->finish(); }  // NOLINT(bugprone-exception-escape)

bool IoPool::ownsCallingThread() const { return threads_->isCurrent(); }

namespace {

// Holds its pool, so that the pool runs while the queue is in use.
class StrandQueue final : public CallbackQueue {
 public:
  explicit StrandQueue(std::shared_ptr<IoPool> pool)
      : pool_(std::move(pool)), strand_(boost::asio::make_strand(pool_->threads().context())) {}
  void async(std::function<void()> block) override { boost::asio::post(strand_, std::move(block)); }

 private:
  std::shared_ptr<IoPool> pool_;
  boost::asio::strand<boost::asio::io_context::executor_type> strand_;
};

}  // namespace

std::shared_ptr<CallbackQueue> CallbackQueue::makeSerial(std::shared_ptr<IoPool> pool) {
  return std::make_shared<StrandQueue>(std::move(pool));
}

}  // namespace bridge
