#pragma once
// Test doubles for the content filter: a filter manager whose "system preferences"
// live in memory, with scripted failures and a record of calls; and a driver that
// plays the system-extension manager's part for a request.
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/content_filter.h"

namespace platform {

class FakeFilterManager final : public ContentFilterManager {
 public:
  enum class Operation { load, save, remove };

  FakeFilterManager();
  ~FakeFilterManager() override;

  // Like the real manager: load, save and remove act on the stored state and call
  // back on the manager's own serial queue. A scripted failure leaves both states
  // alone.
  void loadFromPreferences(Completion completion) override;
  void saveToPreferences(Completion completion) override;
  void removeFromPreferences(Completion completion) override;

  // The "system preferences": absent when nothing is stored.
  std::optional<State> stored() const;
  void setStored(std::optional<State> state);
  // The next call of `operation` fails with `error`.
  void failNext(Operation operation, Error error);
  // The operations asked for, in order.
  std::vector<Operation> calls() const;
  // Blocks until every operation asked for so far has called back.
  void drain();

 private:
  std::optional<Error> takeFailure(Operation operation);

  mutable std::mutex fakeMutex_;
  std::optional<State> stored_;
  std::deque<std::pair<Operation, Error>> failures_;
  std::vector<Operation> calls_;
  std::shared_ptr<DispatchQueue> queue_;
};

// Plays the system-extension manager for one request: each call reaches the request's
// delegate at once, on the calling thread (call it where the delegate expects it,
// normally the main thread).
class SystemExtensionRequestDriver {
 public:
  explicit SystemExtensionRequestDriver(std::shared_ptr<SystemExtensionRequest> request)
      : request_(std::move(request)) {}

  // Absent when the request has no delegate.
  std::optional<ExtensionReplacementAction> askToReplace(const ExtensionProperties& existing,
                                                         const ExtensionProperties& extension);
  // Each returns false when the request has no delegate.
  bool needsUserApproval();
  bool finish(SystemExtensionRequestResult result);
  bool fail(const Error& error);

  SystemExtensionRequest& request() { return *request_; }

 private:
  std::shared_ptr<SystemExtensionRequest> request_;
};

}  // namespace platform
