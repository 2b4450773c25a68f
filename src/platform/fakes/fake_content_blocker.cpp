#include "platform/fakes/fake_content_blocker.h"

#include "platform/dispatch.h"

namespace platform {

void FakeContentBlockerManager::reloadContentBlocker(const std::string& identifier, Completion completion) {
  std::optional<Error> outcome;
  bool synchronous = false;
  {
    std::lock_guard lock(mutex_);
    reloads_.push_back(identifier);
    if (!errors_.empty()) {
      outcome = errors_.front();
      errors_.pop_front();
    }
    if (hold_) {
      pending_.emplace_back(std::move(completion), std::move(outcome));
      return;
    }
    synchronous = synchronous_;
  }
  if (!completion) return;
  if (synchronous) {
    completion(outcome);
  } else {
    DispatchQueue::global().async([completion = std::move(completion), outcome] { completion(outcome); });
  }
}

std::vector<std::string> FakeContentBlockerManager::reloads() const {
  std::lock_guard lock(mutex_);
  return reloads_;
}

void FakeContentBlockerManager::failNextReload(Error error) {
  std::lock_guard lock(mutex_);
  errors_.push_back(std::move(error));
}

void FakeContentBlockerManager::setAnswersSynchronously(bool value) {
  std::lock_guard lock(mutex_);
  synchronous_ = value;
}

void FakeContentBlockerManager::setHoldsCompletions(bool value) {
  std::lock_guard lock(mutex_);
  hold_ = value;
}

std::size_t FakeContentBlockerManager::releasePending() {
  std::vector<std::pair<Completion, std::optional<Error>>> pending;
  {
    std::lock_guard lock(mutex_);
    pending.swap(pending_);
  }
  for (auto& [completion, outcome] : pending) {
    if (completion) completion(outcome);
  }
  return pending.size();
}

}  // namespace platform
