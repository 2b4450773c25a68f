#include "bridge/io_pool.h"

#include <exception>
#include <memory>
#include <thread>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include "bridge/queue.h"

namespace bridge::detail {

namespace {

constexpr std::size_t kMaxThreads = 256;

thread_local bool t_onPoolThread = false;

}  // namespace

IoPool& IoPool::global() {
  static IoPool* pool = new IoPool();
  return *pool;
}

IoPool::IoPool() : work_(boost::asio::make_work_guard(context_)) {
  // Few threads: the pool serves only connections that have to wait, and asks for
  // more while its threads are held up in blocking calls.
  const std::size_t count = 2;
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < count; ++i) addThread();
}

bool IoPool::onPoolThread() { return t_onPoolThread; }

void IoPool::addThread() {
  // The pool lives for the whole process; its threads end with it.
  try {
    std::thread([this] {
      t_onPoolThread = true;
      // A callback that throws must not take a pool thread down with it.
      for (;;) {
        try {
          context_.run();
          return;
        } catch (...) {
        }
      }
    }).detach();
    ++threadCount_;
  } catch (const std::exception&) {
    // No thread to be had now: the pool goes on with the threads it has.
  }
}

void IoPool::enterBlocking() {
  std::lock_guard lock(mutex_);
  ++blocked_;
  if (blocked_ >= threadCount_ && threadCount_ < kMaxThreads) addThread();
}

void IoPool::leaveBlocking() {
  std::lock_guard lock(mutex_);
  --blocked_;
}

IoPool::BlockingScope::BlockingScope() {
  if (!t_onPoolThread) return;
  counted_ = true;
  global().enterBlocking();
}

IoPool::BlockingScope::~BlockingScope() {
  if (counted_) global().leaveBlocking();
}

}  // namespace bridge::detail

namespace bridge {

namespace {

class StrandQueue final : public CallbackQueue {
 public:
  StrandQueue() : strand_(boost::asio::make_strand(detail::IoPool::global().context())) {}
  void async(std::function<void()> block) override { boost::asio::post(strand_, std::move(block)); }

 private:
  boost::asio::strand<boost::asio::io_context::executor_type> strand_;
};

}  // namespace

std::shared_ptr<CallbackQueue> CallbackQueue::makeSerial() { return std::make_shared<StrandQueue>(); }

}  // namespace bridge
