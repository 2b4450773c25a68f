#pragma once
// One process-wide, replaceable shared object (the log sinks, the shared keychain
// store): readers take a reference under a lock, a replacement hands back the one before.
#include <memory>
#include <mutex>
#include <utility>

namespace platform::detail {

template <class T>
class SharedSlot {
 public:
  explicit SharedSlot(std::shared_ptr<T> initial) : value_(std::move(initial)) {}

  std::shared_ptr<T> get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }

  std::shared_ptr<T> exchange(std::shared_ptr<T> value) {
    std::lock_guard lock(mutex_);
    return std::exchange(value_, std::move(value));
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<T> value_;
};

}  // namespace platform::detail
