#pragma once
// Waiting for a counter that other threads raise in bursts to settle.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>

namespace testsupport {

// True once `counter` has stayed the same for `quiet`; false when `timeout` ran out first.
inline bool waitUntilSteady(const std::atomic<std::size_t>& counter,
                            std::chrono::milliseconds quiet = std::chrono::milliseconds(300),
                            std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t last = counter.load();
  auto since = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::size_t now = counter.load();
    if (now != last) {
      last = now;
      since = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - since >= quiet) {
      return true;
    }
  }
  return false;
}

}  // namespace testsupport
