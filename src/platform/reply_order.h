#pragma once
// Numbers requests in the order they are sent, so that a reply is applied only when no
// reply to a later request has been applied before it: a slow reply that lands after a
// newer one is dropped instead of bringing older state back. Safe from any thread; a
// caller that applies under a lock of its own calls accept() under that lock too, so
// that the order of the checks is the order of the changes.
#include <atomic>
#include <cstdint>

namespace platform {

class ReplyOrder {
 public:
  using Number = std::uint64_t;

  // The number of a request about to be sent: one more than the one before (from 1).
  Number next() { return sent_.fetch_add(1) + 1; }
  // Whether the reply to request `number` may be applied: true when it is newer than
  // every reply accepted so far, and then it is the newest; false for an older one.
  bool accept(Number number) {
    Number applied = applied_.load();
    while (number > applied) {
      if (applied_.compare_exchange_weak(applied, number)) return true;
    }
    return false;
  }
  // The number of the newest reply accepted; 0 before any.
  Number applied() const { return applied_.load(); }

 private:
  std::atomic<Number> sent_{0};
  std::atomic<Number> applied_{0};
};

}  // namespace platform
