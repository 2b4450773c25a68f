#pragma once
// A content-blocker manager that records every reload request and answers with the
// scripted outcome, on the global queue as the real one does (or at once, on the
// caller's thread, when told to).
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/content_blocker.h"

namespace platform {

class FakeContentBlockerManager final : public ContentBlockerManager {
 public:
  void reloadContentBlocker(const std::string& identifier, Completion completion) override;

  // The identifiers asked for so far, in order.
  std::vector<std::string> reloads() const;
  // The next reload reports `error` (absent: success); later ones succeed again.
  void failNextReload(Error error);
  // Answer on the caller's thread instead of the global queue.
  void setAnswersSynchronously(bool value);
  // Keep completions until releasePending() instead of answering.
  void setHoldsCompletions(bool value);
  // Runs the held completions on the calling thread; returns how many ran.
  std::size_t releasePending();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> reloads_;
  std::deque<Error> errors_;
  bool synchronous_ = false;
  bool hold_ = false;
  std::vector<std::pair<Completion, std::optional<Error>>> pending_;
};

}  // namespace platform
