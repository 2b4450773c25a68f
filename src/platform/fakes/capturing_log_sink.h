#pragma once
// A log sink that keeps every entry, for tests:
//   auto sink = std::make_shared<platform::CapturingLogSink>();
//   platform::ScopedLogSink scoped(sink);
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/log.h"

namespace platform {

class CapturingLogSink final : public LogSink {
 public:
  void write(const LogEntry& entry) override;
  // A copy of the entries so far, in the order they came.
  std::vector<LogEntry> entries() const;
  void clear();
  // Waits until at least `count` entries came; false when the time ran out.
  bool waitForEntries(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<LogEntry> entries_;
};

}  // namespace platform
