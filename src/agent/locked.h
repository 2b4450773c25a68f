#pragma once
// A value behind a lock, for the state that the agent's reply handlers (on the URL
// session's queue) share with the main thread.
#include <mutex>
#include <utility>

namespace agent {

// A value behind a lock that is held only for one read (a copy), one replacement or
// one change, never across a network wait, a file write or a child process.
template <class T>
class Locked {
 public:
  Locked() = default;
  explicit Locked(T value) : value_(std::move(value)) {}
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

  T get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }
  void set(T value) {
    std::lock_guard lock(mutex_);
    value_ = std::move(value);
  }
  // Runs `change` on the value under the lock.
  template <class F>
  decltype(auto) modify(F&& change) {
    std::lock_guard lock(mutex_);
    return std::forward<F>(change)(value_);
  }

 private:
  mutable std::mutex mutex_;
  T value_;
};

}  // namespace agent
