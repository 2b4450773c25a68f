#include "platform/fakes/capturing_log_sink.h"

#include <utility>

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

std::vector<LogEntry> CapturingLogSink::take() {
  std::lock_guard lock(mutex_);
  return std::exchange(entries_, {});
}

CapturedOutput::CapturedOutput() : sink_(std::make_shared<CapturingLogSink>()), scoped_(sink_) {}

namespace {
std::vector<std::string> texts(const std::vector<LogEntry>& entries) {
  std::vector<std::string> lines;
  lines.reserve(entries.size());
  for (const auto& entry : entries) lines.push_back(entry.text);
  return lines;
}
}  // namespace

std::vector<std::string> CapturedOutput::lines() const { return texts(sink_->entries()); }

std::vector<std::string> CapturedOutput::take() { return texts(sink_->take()); }

void CapturedOutput::clear() { sink_->clear(); }

bool CapturedOutput::waitForLines(std::size_t count, std::chrono::milliseconds timeout) const {
  return sink_->waitForEntries(count, timeout);
}

}  // namespace platform
