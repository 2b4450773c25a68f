#include "platform/main_thread_budget.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "platform/dispatch.h"

namespace platform {

namespace {

std::mutex installedMutex;
std::shared_ptr<MainThreadBudget> installedBudget;

}  // namespace

MainThreadBudget::MainThreadBudget(Clock::duration period, Clock::duration window)
    : period_(std::max(period, Clock::duration(1))),
      window_(std::clamp(window, Clock::duration::zero(), period_)),
      periodStart_(Clock::now().time_since_epoch().count()) {}

void MainThreadBudget::beginPeriod(Clock::time_point now) { periodStart_.store(now.time_since_epoch().count()); }

std::chrono::milliseconds MainThreadBudget::left(Clock::time_point now) const {
  auto start = Clock::time_point(Clock::duration(periodStart_.load()));
  if (now < start) return std::chrono::duration_cast<std::chrono::milliseconds>(window_);
  // Periods that nothing began follow each other one period apart.
  const auto late = now - start;
  if (late >= 2 * period_) start += (late / period_) * period_;
  const auto end = start + window_;
  if (now >= end) return std::chrono::milliseconds(0);
  return std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
}

std::shared_ptr<MainThreadBudget> MainThreadBudget::install(std::shared_ptr<MainThreadBudget> budget) {
  std::lock_guard lock(installedMutex);
  return std::exchange(installedBudget, std::move(budget));
}

std::shared_ptr<MainThreadBudget> MainThreadBudget::installed() {
  std::lock_guard lock(installedMutex);
  return installedBudget;
}

std::chrono::milliseconds MainThreadBudget::bound(std::chrono::milliseconds limit) {
  if (!DispatchQueue::main().isCurrent()) return limit;
  const auto budget = installed();
  return budget ? std::min(limit, budget->left()) : limit;
}

}  // namespace platform
