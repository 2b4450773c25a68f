#include "platform/fakes/capturing_log_sink.h"

namespace platform {

void CapturingLogSink::write(const LogEntry& entry) {
  {
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
  }
  changed_.notify_all();
}

std::vector<LogEntry> CapturingLogSink::entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

void CapturingLogSink::clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

bool CapturingLogSink::waitForEntries(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return entries_.size() >= count; });
}

}  // namespace platform
