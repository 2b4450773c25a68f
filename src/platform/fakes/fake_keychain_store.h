#pragma once
// An in-memory keychain store that records every call and can be told what status the
// next calls of an operation return, for tests of code that uses the keychain.
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/keychain.h"

namespace platform {

class FakeKeychainStore final : public KeychainStore {
 public:
  enum class Operation { Delete, Add, CopyMatching };
  struct Call {
    Operation operation;
    std::string account;
    Data value;  // for Add
    bool operator==(const Call&) const = default;
  };

  OSStatus deleteItem(const std::string& account) override;
  OSStatus add(const std::string& account, const Data& value) override;
  OSStatus copyMatching(const std::string& account, Data& value) override;

  // The calls so far, in order.
  std::vector<Call> calls() const;
  // The next call of `operation` returns `status` without touching the items.
  void failNext(Operation operation, OSStatus status);

 private:
  std::optional<OSStatus> scripted(Operation operation);

  mutable std::mutex mutex_;
  std::vector<Call> calls_;
  std::deque<std::pair<Operation, OSStatus>> failures_;
  MemoryKeychainStore items_;
};

}  // namespace platform
