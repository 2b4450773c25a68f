#pragma once
// Waiting, with a bound, for something another thread or process brings about.
#include <chrono>
#include <thread>

namespace testsupport {

// True once `predicate()` holds, polled every 5 ms; false when `timeout` ran out first.
template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace testsupport
