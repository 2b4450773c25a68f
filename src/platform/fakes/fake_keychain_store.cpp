#include "platform/fakes/fake_keychain_store.h"

namespace platform {

std::optional<OSStatus> FakeKeychainStore::scripted(Operation operation) {
  for (auto it = failures_.begin(); it != failures_.end(); ++it) {
    if (it->first == operation) {
      const OSStatus status = it->second;
      failures_.erase(it);
      return status;
    }
  }
  return std::nullopt;
}

OSStatus FakeKeychainStore::deleteItem(const std::string& account) {
  {
    std::lock_guard lock(mutex_);
    calls_.push_back({Operation::Delete, account, {}});
    if (auto status = scripted(Operation::Delete)) return *status;
  }
  return items_.deleteItem(account);
}

OSStatus FakeKeychainStore::add(const std::string& account, const Data& value) {
  {
    std::lock_guard lock(mutex_);
    calls_.push_back({Operation::Add, account, value});
    if (auto status = scripted(Operation::Add)) return *status;
  }
  return items_.add(account, value);
}

OSStatus FakeKeychainStore::copyMatching(const std::string& account, Data& value) {
  {
    std::lock_guard lock(mutex_);
    calls_.push_back({Operation::CopyMatching, account, {}});
    if (auto status = scripted(Operation::CopyMatching)) return *status;
  }
  return items_.copyMatching(account, value);
}

std::vector<FakeKeychainStore::Call> FakeKeychainStore::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

void FakeKeychainStore::failNext(Operation operation, OSStatus status) {
  std::lock_guard lock(mutex_);
  failures_.emplace_back(operation, status);
}

}  // namespace platform
