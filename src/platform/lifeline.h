#pragma once
// The one guard against a callback outliving its owner. The owner holds a Lifeline
// made with itself; callbacks hold a Lifeline::Weak taken from it, which reads as
// absent once the owner ended its life (end(), or the Lifeline's destructor).
//
//   - withOwner(use) runs `use(owner)` only while the owner lives, and holds the
//     owner's life while it runs: end() on another thread waits for it. The lock is
//     recursive, so a callback may end its owner's life (drop its last owner) itself.
//   - get() is the owner or null, without holding anything: for callers on the thread
//     that also ends the owner's life (a delegate and the object that calls it).
//
// A copy of an owner makes a Lifeline of its own; a Lifeline is never copied.
#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

namespace platform {

template <class Owner>
class Lifeline {
  struct State {
    explicit State(Owner* o) : owner(o) {}
    std::recursive_mutex mutex;
    std::atomic<Owner*> owner;
  };

 public:
  explicit Lifeline(Owner* owner) : state_(std::make_shared<State>(owner)) {}
  ~Lifeline() { end(); }
  Lifeline(const Lifeline&) = delete;
  Lifeline& operator=(const Lifeline&) = delete;

  // From here on no Weak finds the owner; waits for a withOwner() running elsewhere.
  void end() {
    std::lock_guard lock(state_->mutex);
    state_->owner.store(nullptr);
  }

  class Weak {
   public:
    Weak() = default;

    // Runs `use(owner)` while the owner lives, holding its life; false when it is gone.
    template <class Use>
    bool withOwner(Use&& use) const {
      const auto state = state_.lock();
      if (!state) return false;
      std::lock_guard lock(state->mutex);
      Owner* owner = state->owner.load();
      if (owner == nullptr) return false;
      std::forward<Use>(use)(*owner);
      return true;
    }
    // The owner, or null once its life ended. Holds nothing.
    Owner* get() const {
      const auto state = state_.lock();
      return state ? state->owner.load() : nullptr;
    }
    bool expired() const { return get() == nullptr; }

   private:
    friend class Lifeline;
    explicit Weak(std::weak_ptr<State> state) : state_(std::move(state)) {}
    std::weak_ptr<State> state_;
  };

  Weak weak() const { return Weak(state_); }

 private:
  std::shared_ptr<State> state_;
};

}  // namespace platform
