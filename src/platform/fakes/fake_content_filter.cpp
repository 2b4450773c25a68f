#include "platform/fakes/fake_content_filter.h"

#include "platform/dispatch.h"

namespace platform {

FakeFilterManager::FakeFilterManager() : queue_(DispatchQueue::makeSerial("fake-filter-manager")) {}

FakeFilterManager::~FakeFilterManager() { queue_.reset(); }

std::optional<Error> FakeFilterManager::takeFailure(Operation operation) {
  std::lock_guard lock(fakeMutex_);
  calls_.push_back(operation);
  for (auto it = failures_.begin(); it != failures_.end(); ++it) {
    if (it->first == operation) {
      Error error = it->second;
      failures_.erase(it);
      return error;
    }
  }
  return std::nullopt;
}

void FakeFilterManager::loadFromPreferences(Completion completion) {
  auto failure = takeFailure(Operation::load);
  queue_->async([this, failure, completion = std::move(completion)] {
    if (!failure) setState(stored().value_or(State{}));
    if (completion) completion(failure);
  });
}

void FakeFilterManager::saveToPreferences(Completion completion) {
  auto failure = takeFailure(Operation::save);
  queue_->async([this, failure, completion = std::move(completion)] {
    std::optional<Error> error = failure;
    if (!error) error = validate(state());
    if (!error) setStored(state());
    if (completion) completion(error);
  });
}

void FakeFilterManager::removeFromPreferences(Completion completion) {
  auto failure = takeFailure(Operation::remove);
  queue_->async([this, failure, completion = std::move(completion)] {
    if (!failure) {
      setStored(std::nullopt);
      setState(State{});
    }
    if (completion) completion(failure);
  });
}

std::optional<ContentFilterManager::State> FakeFilterManager::stored() const {
  std::lock_guard lock(fakeMutex_);
  return stored_;
}

void FakeFilterManager::setStored(std::optional<State> state) {
  std::lock_guard lock(fakeMutex_);
  stored_ = std::move(state);
}

void FakeFilterManager::failNext(Operation operation, Error error) {
  std::lock_guard lock(fakeMutex_);
  failures_.emplace_back(operation, std::move(error));
}

std::vector<FakeFilterManager::Operation> FakeFilterManager::calls() const {
  std::lock_guard lock(fakeMutex_);
  return calls_;
}

void FakeFilterManager::drain() {
  queue_->sync([] {});
}

std::optional<ExtensionReplacementAction> SystemExtensionRequestDriver::askToReplace(
    const ExtensionProperties& existing, const ExtensionProperties& extension) {
  auto* delegate = request_->delegate();
  if (delegate == nullptr) return std::nullopt;
  return delegate->actionForReplacingExtension(*request_, existing, extension);
}

bool SystemExtensionRequestDriver::needsUserApproval() {
  auto* delegate = request_->delegate();
  if (delegate == nullptr) return false;
  delegate->requestNeedsUserApproval(*request_);
  return true;
}

bool SystemExtensionRequestDriver::finish(SystemExtensionRequestResult result) {
  auto* delegate = request_->delegate();
  if (delegate == nullptr) return false;
  delegate->didFinishWithResult(*request_, result);
  return true;
}

bool SystemExtensionRequestDriver::fail(const Error& error) {
  auto* delegate = request_->delegate();
  if (delegate == nullptr) return false;
  delegate->didFailWithError(*request_, error);
  return true;
}

}  // namespace platform
