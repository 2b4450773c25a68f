#include "platform/dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/run_loop.h"

namespace platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// ---- serial queues -----------------------------------------------------------------

TEST(SerialQueue, RunsBlocksOneAtATimeInPostedOrderOnItsOwnThread) {
  auto queue = DispatchQueue::makeSerial("test.serial");
  EXPECT_EQ(queue->label(), "test.serial");
  std::vector<int> order;  // touched only by the queue's blocks
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<bool> allCurrent{true};
  std::atomic<bool> onCaller{false};
  const auto caller = std::this_thread::get_id();
  for (int i = 0; i < 200; ++i) {
    queue->async([&, i] {
      if (inside.fetch_add(1) != 0) ++overlaps;
      order.push_back(i);
      if (!queue->isCurrent()) allCurrent = false;
      if (std::this_thread::get_id() == caller) onCaller = true;
      inside.fetch_sub(1);
    });
  }
  queue->sync([] {});
  ASSERT_EQ(order.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_TRUE(allCurrent);
  EXPECT_FALSE(onCaller);
  EXPECT_FALSE(queue->isCurrent());
}

TEST(SerialQueue, SyncWaitsFromOutsideAndRunsAtOnceFromInside) {
  auto queue = DispatchQueue::makeSerial("test.sync");
  auto other = DispatchQueue::makeSerial("test.other");
  DispatchSemaphore release(0);
  std::atomic<bool> firstDone{false};
  queue->async([&] {
    release.wait();
    firstDone = true;
  });
  std::thread releaser([&] {
    std::this_thread::sleep_for(30ms);
    release.signal();
  });
  bool sawFirstDone = false;
  bool nestedRan = false;
  bool otherCurrentInside = true;
  queue->sync([&] {
    sawFirstDone = firstDone;
    queue->sync([&] { nestedRan = true; });  // on its own queue: no deadlock
    otherCurrentInside = other->isCurrent();
  });
  releaser.join();
  EXPECT_TRUE(sawFirstDone) << "sync must wait behind the blocks queued before it";
  EXPECT_TRUE(nestedRan);
  EXPECT_FALSE(otherCurrentInside);
}

TEST(SerialQueue, DestroyingTheQueueRunsTheBlocksStillQueued) {
  auto queue = DispatchQueue::makeSerial("test.drain");
  DispatchSemaphore gate(0);
  std::atomic<int> ran{0};
  queue->async([&] { gate.wait(); });
  for (int i = 0; i < 50; ++i) queue->async([&] { ++ran; });
  gate.signal();
  queue.reset();
  EXPECT_EQ(ran.load(), 50);
}

TEST(SerialQueue, CanBeReleasedByItsOwnBlock) {
  auto holder = std::make_shared<std::shared_ptr<DispatchQueue>>(DispatchQueue::makeSerial("test.self"));
  DispatchSemaphore done(0);
  (*holder)->async([holder, &done] {
    holder->reset();  // the last reference goes from inside the queue
    done.signal();
  });
  holder.reset();
  EXPECT_TRUE(done.waitFor(5s));
}

TEST(SerialQueue, AsyncAfterRunsNoEarlierThanItsDelayInDeadlineOrder) {
  auto queue = DispatchQueue::makeSerial("test.after");
  std::mutex mutex;
  std::vector<std::pair<std::string, Clock::duration>> seen;
  DispatchSemaphore done(0);
  const auto start = Clock::now();
  auto record = [&](std::string name) {
    std::lock_guard lock(mutex);
    seen.emplace_back(std::move(name), Clock::now() - start);
  };
  queue->asyncAfter(120ms, [&] {
    record("late");
    done.signal();
  });
  queue->asyncAfter(40ms, [&] { record("early"); });
  queue->async([&] { record("now"); });
  ASSERT_TRUE(done.waitFor(5s));
  queue->sync([] {});
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].first, "now");
  EXPECT_EQ(seen[1].first, "early");
  EXPECT_GE(seen[1].second, 40ms);
  EXPECT_EQ(seen[2].first, "late");
  EXPECT_GE(seen[2].second, 120ms);
}

// ---- the global pool -----------------------------------------------------------------

TEST(GlobalQueue, BlocksThatWaitForEachOtherAllRun) {
  // More blocks than cores, each waiting until all have started: the pool has to grow.
  const int count = static_cast<int>(std::max(16u, 2 * std::thread::hardware_concurrency()));
  std::mutex mutex;
  std::condition_variable changed;
  int started = 0;
  int finished = 0;
  bool allCurrent = true;
  for (int i = 0; i < count; ++i) {
    DispatchQueue::global().async([&] {
      std::unique_lock lock(mutex);
      ++started;
      allCurrent = allCurrent && DispatchQueue::global().isCurrent();
      changed.notify_all();
      changed.wait_for(lock, 10s, [&] { return started == count; });
      ++finished;
      changed.notify_all();
    });
  }
  std::unique_lock lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return finished == count; }));
  EXPECT_TRUE(allCurrent);
  EXPECT_FALSE(DispatchQueue::global().isCurrent());
}

TEST(GlobalQueue, SyncRunsTheBlockBeforeReturningAndAsyncAfterWaits) {
  bool current = false;
  DispatchQueue::global().sync([&] { current = DispatchQueue::global().isCurrent(); });
  EXPECT_TRUE(current);

  DispatchSemaphore done(0);
  const auto start = Clock::now();
  Clock::duration elapsed{};
  DispatchQueue::global().asyncAfter(50ms, [&] {
    elapsed = Clock::now() - start;
    done.signal();
  });
  ASSERT_TRUE(done.waitFor(5s));
  EXPECT_GE(elapsed, 50ms);
}

// ---- the main queue ----------------------------------------------------------------

TEST(MainQueue, BlocksFromManyThreadsRunOnTheLoopThreadInEachSendersOrder) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 100;
  std::vector<std::vector<int>> seen(kThreads);  // touched only on the loop thread
  std::atomic<bool> offLoop{false};
  std::atomic<bool> notCurrent{false};
  const auto loopThread = std::this_thread::get_id();
  std::vector<std::thread> senders;
  senders.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        DispatchQueue::main().async([&, t, i] {
          if (std::this_thread::get_id() != loopThread) offLoop = true;
          if (!DispatchQueue::main().isCurrent()) notCurrent = true;
          seen[static_cast<size_t>(t)].push_back(i);
        });
      }
    });
  }
  for (auto& sender : senders) sender.join();
  auto total = [&] {
    size_t n = 0;
    for (auto& list : seen) n += list.size();
    return n;
  };
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return total() == std::size_t{kThreads} * kPerThread; }, 10s));
  for (auto& list : seen) {
    for (int i = 0; i < kPerThread; ++i) EXPECT_EQ(list[static_cast<size_t>(i)], i);
  }
  EXPECT_FALSE(offLoop);
  EXPECT_FALSE(notCurrent);
}

TEST(MainQueue, IsCurrentOnlyOnTheLoopThreadAndSyncFromElsewhereRunsThere) {
  EXPECT_TRUE(DispatchQueue::main().isCurrent());  // the test thread is the program's main thread
  std::atomic<bool> currentElsewhere{true};
  std::atomic<bool> syncRanOnLoop{false};
  std::atomic<bool> done{false};
  const auto loopThread = std::this_thread::get_id();
  DispatchQueue::global().async([&] {
    currentElsewhere = DispatchQueue::main().isCurrent();
    DispatchQueue::main().sync([&] { syncRanOnLoop = std::this_thread::get_id() == loopThread; });
    done = true;
  });
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return done.load(); }, 10s));
  EXPECT_FALSE(currentElsewhere);
  EXPECT_TRUE(syncRanOnLoop);

  bool inline_ = false;
  DispatchQueue::main().sync([&] { inline_ = true; });  // on the main thread: runs at once
  EXPECT_TRUE(inline_);
}

TEST(MainQueue, AsyncAfterRunsThroughTheLoopAfterItsDelay) {
  const auto start = Clock::now();
  Clock::duration elapsed{};
  bool ran = false;
  DispatchQueue::main().asyncAfter(60ms, [&] {
    elapsed = Clock::now() - start;
    ran = true;
  });
  RunLoop::main().runUntil(Clock::now() + 20ms);
  EXPECT_FALSE(ran);
  ASSERT_TRUE(RunLoop::main().runUntil([&] { return ran; }, 5s));
  EXPECT_GE(elapsed, 60ms);
}

// ---- semaphores --------------------------------------------------------------------

TEST(DispatchSemaphore, CountsSignalsAndTimesOut) {
  struct Case {
    const char* name;
    long initial;
    int signals;
    int successfulWaits;  // waits that return at once; the next one times out
  };
  const Case cases[] = {
      {"signal before wait", 0, 1, 1},
      {"counts several signals", 0, 3, 3},
      {"initial value allows waits", 2, 0, 2},
      {"negative value needs extra signals", -1, 2, 1},
      {"nothing to take", 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DispatchSemaphore semaphore(c.initial);
    for (int i = 0; i < c.signals; ++i) semaphore.signal();
    for (int i = 0; i < c.successfulWaits; ++i) EXPECT_TRUE(semaphore.waitFor(0ms));
    const auto start = Clock::now();
    EXPECT_FALSE(semaphore.waitFor(30ms));
    EXPECT_GE(Clock::now() - start, 30ms);
  }
}

TEST(DispatchSemaphore, WaitEndsWhenAnotherThreadSignals) {
  DispatchSemaphore semaphore(0);
  std::atomic<bool> signalled{false};
  std::thread signaller([&] {
    std::this_thread::sleep_for(30ms);
    signalled = true;
    semaphore.signal();
  });
  semaphore.wait();
  EXPECT_TRUE(signalled);
  signaller.join();
}

}  // namespace
}  // namespace platform
