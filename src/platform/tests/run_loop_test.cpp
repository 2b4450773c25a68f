#include "platform/run_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch.h"

namespace platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Each test leaves the main loop as it found it: its timers invalidated, default mode.
class RunLoopTest : public ::testing::Test {
 protected:
  RunLoop& loop = RunLoop::main();

  std::shared_ptr<Timer> schedule(Clock::duration interval, bool repeats, Timer::Action action,
                                  RunLoopMode mode = RunLoopMode::defaultMode) {
    auto timer = loop.scheduledTimer(interval, repeats, std::move(action), mode);
    timers_.push_back(timer);
    return timer;
  }

  void TearDown() override {
    for (auto& timer : timers_) timer->invalidate();
    loop.setCurrentMode(RunLoopMode::defaultMode);
  }

 private:
  std::vector<std::shared_ptr<Timer>> timers_;
};

TEST_F(RunLoopTest, RepeatingTimerFiresEveryIntervalUntilItInvalidatesItself) {
  std::vector<Clock::time_point> fires;
  const auto start = Clock::now();
  auto timer = schedule(20ms, true, [&](Timer& self) {
    fires.push_back(Clock::now());
    if (fires.size() == 3) self.invalidate();
  });
  EXPECT_EQ(timer->interval(), 20ms);
  ASSERT_TRUE(loop.runUntil([&] { return fires.size() == 3; }, 5s));
  loop.runUntil(Clock::now() + 80ms);
  EXPECT_EQ(fires.size(), 3u);
  EXPECT_FALSE(timer->isValid());
  EXPECT_GE(fires[0] - start, 20ms);  // the first firing comes after one interval
  EXPECT_GE(fires[2] - start, 60ms);
}

TEST_F(RunLoopTest, OneShotTimerFiresOnceAndIsThenInvalid) {
  int fires = 0;
  auto timer = schedule(10ms, false, [&](Timer&) { ++fires; });
  EXPECT_EQ(timer->interval(), Clock::duration::zero());
  ASSERT_TRUE(loop.runUntil([&] { return fires == 1; }, 5s));
  loop.runUntil(Clock::now() + 50ms);
  EXPECT_EQ(fires, 1);
  EXPECT_FALSE(timer->isValid());
}

TEST_F(RunLoopTest, FireRunsTheActionNowOnTheCallingThread) {
  int repeatingFires = 0;
  int oneShotFires = 0;
  auto repeating = schedule(1h, true, [&](Timer&) { ++repeatingFires; });
  auto oneShot = schedule(1h, false, [&](Timer&) { ++oneShotFires; });

  repeating->fire();
  repeating->fire();
  EXPECT_EQ(repeatingFires, 2);
  EXPECT_TRUE(repeating->isValid()) << "firing a repeating timer by hand keeps its schedule";

  oneShot->fire();
  EXPECT_EQ(oneShotFires, 1);
  EXPECT_FALSE(oneShot->isValid()) << "firing a one-shot timer by hand ends it";

  repeating->invalidate();
  repeating->invalidate();  // idempotent
  repeating->fire();
  oneShot->fire();
  EXPECT_EQ(repeatingFires, 2);
  EXPECT_EQ(oneShotFires, 1);
}

TEST_F(RunLoopTest, InvalidatingReleasesWhatTheActionHolds) {
  auto payload = std::make_shared<int>(7);
  std::weak_ptr<int> watch = payload;
  auto timer = schedule(1h, true, [payload = std::move(payload)](Timer&) {});
  EXPECT_FALSE(watch.expired());
  timer->invalidate();
  EXPECT_TRUE(watch.expired());
}

TEST_F(RunLoopTest, TimersFireOnlyInTheirModes) {
  struct Case {
    const char* name;
    RunLoopMode scheduledIn;
    std::optional<RunLoopMode> alsoAddedTo;
    RunLoopMode loopMode;
    bool fires;
  };
  const Case cases[] = {
      {"default timer, default loop", RunLoopMode::defaultMode, std::nullopt, RunLoopMode::defaultMode, true},
      {"default timer while tracking", RunLoopMode::defaultMode, std::nullopt, RunLoopMode::eventTracking, false},
      {"common timer while tracking", RunLoopMode::common, std::nullopt, RunLoopMode::eventTracking, true},
      {"common timer, default loop", RunLoopMode::common, std::nullopt, RunLoopMode::defaultMode, true},
      {"tracking timer, default loop", RunLoopMode::eventTracking, std::nullopt, RunLoopMode::defaultMode, false},
      {"default timer added to common", RunLoopMode::defaultMode, RunLoopMode::common, RunLoopMode::eventTracking,
       true},
      {"default timer added to tracking", RunLoopMode::defaultMode, RunLoopMode::eventTracking,
       RunLoopMode::eventTracking, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    loop.setCurrentMode(c.loopMode);
    EXPECT_EQ(loop.currentMode(), c.loopMode);
    int fires = 0;
    auto timer = schedule(
        5ms, true, [&](Timer&) { ++fires; }, c.scheduledIn);
    if (c.alsoAddedTo) loop.add(timer, *c.alsoAddedTo);
    // A marker timer in the loop's own mode shows that the loop ran long enough.
    int markerFires = 0;
    auto marker = schedule(
        40ms, false, [&](Timer&) { ++markerFires; }, c.loopMode);
    ASSERT_TRUE(loop.runUntil([&] { return markerFires == 1; }, 5s));
    EXPECT_EQ(fires > 0, c.fires) << fires << " firings";
    timer->invalidate();
  }
}

// A repeating timer that is late fires once, then keeps its interval: no burst.
// Made-up firings would all come in one pass of the loop, microseconds apart. Three
// firings on the timer's own schedule span two intervals; the check allows one of them
// for a busy machine that delays a firing's record (so it does not flake under load).
void expectNoBurst(const std::vector<Clock::time_point>& fires, Clock::duration interval) {
  ASSERT_GE(fires.size(), 3u);
  EXPECT_GE(fires.back() - fires.front(), interval) << "the firings came in a burst";
}

TEST_F(RunLoopTest, ABlockedLoopFiresALateTimerOnceNotInABurst) {
  std::vector<Clock::time_point> fires;
  schedule(30ms, true, [&](Timer&) { fires.push_back(Clock::now()); });
  DispatchQueue::main().async([] { std::this_thread::sleep_for(250ms); });  // holds the main thread
  ASSERT_TRUE(loop.runUntil([&] { return fires.size() == 3; }, 5s));
  expectNoBurst(fires, 30ms);
}

TEST_F(RunLoopTest, ADefaultTimerHeldWhileTrackingFiresOnceWhenTrackingEnds) {
  std::vector<Clock::time_point> fires;
  schedule(30ms, true, [&](Timer&) { fires.push_back(Clock::now()); });
  loop.setCurrentMode(RunLoopMode::eventTracking);
  loop.runUntil(Clock::now() + 200ms);
  EXPECT_TRUE(fires.empty());
  loop.setCurrentMode(RunLoopMode::defaultMode);
  ASSERT_TRUE(loop.runUntil([&] { return fires.size() == 3; }, 5s));
  expectNoBurst(fires, 30ms);
}

TEST_F(RunLoopTest, BlocksPostedByATimerRunBeforeItsNextFiring) {
  std::vector<std::string> events;
  int fires = 0;
  schedule(10ms, true, [&](Timer& self) {
    ++fires;
    events.push_back("fire " + std::to_string(fires));
    DispatchQueue::main().async([&, n = fires] { events.push_back("block " + std::to_string(n)); });
    if (fires == 3) self.invalidate();
  });
  ASSERT_TRUE(loop.runUntil([&] { return events.size() == 6; }, 5s));
  EXPECT_EQ(events, (std::vector<std::string>{"fire 1", "block 1", "fire 2", "block 2", "fire 3", "block 3"}));
}

TEST_F(RunLoopTest, ABlockThatRepostsItselfDoesNotStarveTimers) {
  std::atomic<bool> keepGoing{true};
  int blocks = 0;
  std::function<void()> repost = [&] {
    ++blocks;
    if (keepGoing) DispatchQueue::main().async(repost);
  };
  DispatchQueue::main().async(repost);
  int fires = 0;
  schedule(20ms, true, [&](Timer&) { ++fires; });
  EXPECT_TRUE(loop.runUntil([&] { return fires >= 2; }, 5s));
  keepGoing = false;
  loop.runUntil(Clock::now() + 20ms);
  EXPECT_GT(blocks, 2);
}

TEST_F(RunLoopTest, AnActionCanInvalidateAnotherTimerThatIsAlsoDue) {
  int secondFires = 0;
  std::shared_ptr<Timer> second;
  bool firstFired = false;
  schedule(10ms, false, [&](Timer&) {
    firstFired = true;
    second->invalidate();
  });
  second = schedule(10ms, false, [&](Timer&) { ++secondFires; });
  // Both fall due together; hold the loop so that the two are due in one pass.
  DispatchQueue::main().async([] { std::this_thread::sleep_for(30ms); });
  ASSERT_TRUE(loop.runUntil([&] { return firstFired; }, 5s));
  loop.runUntil(Clock::now() + 30ms);
  EXPECT_EQ(secondFires, 0);
}

TEST_F(RunLoopTest, StopFromAnotherThreadEndsRun) {
  bool blockRan = false;
  std::thread stopper([&] {
    DispatchQueue::main().async([&] { blockRan = true; });
    std::this_thread::sleep_for(30ms);
    RunLoop::main().stop();
  });
  const auto start = Clock::now();
  loop.run();
  stopper.join();
  EXPECT_TRUE(blockRan);
  EXPECT_LT(Clock::now() - start, 5s);
}

TEST_F(RunLoopTest, AStopBeforeRunEndsTheNextRunAtOnce) {
  loop.stop();
  const auto start = Clock::now();
  loop.runUntil(Clock::now() + 5s);
  EXPECT_LT(Clock::now() - start, 1s);
  // ... and only that one.
  const auto again = Clock::now();
  loop.runUntil(Clock::now() + 50ms);
  EXPECT_GE(Clock::now() - again, 50ms);
}

TEST_F(RunLoopTest, RunUntilSeesAPredicateChangedByAnotherThreadAndTimesOut) {
  std::atomic<bool> flag{false};
  std::thread setter([&] {
    std::this_thread::sleep_for(30ms);
    flag = true;  // no block, no timer: the loop has to look by itself
  });
  EXPECT_TRUE(loop.runUntil([&] { return flag.load(); }, 5s));
  setter.join();

  const auto start = Clock::now();
  EXPECT_FALSE(loop.runUntil([] { return false; }, 60ms));
  EXPECT_GE(Clock::now() - start, 60ms);
}

TEST_F(RunLoopTest, RunUntilADeadlineReturnsAtTheDeadline) {
  const auto start = Clock::now();
  loop.runUntil(start + 50ms);
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, 50ms);
  EXPECT_LT(elapsed, 2s);
}

}  // namespace
}  // namespace platform
