#pragma once
// A log sink that keeps every entry, for tests:
//   auto sink = std::make_shared<platform::CapturingLogSink>();
//   platform::ScopedLogSink scoped(sink);
// and one that keeps the printed lines (platform::StandardOutput) for its lifetime:
//   platform::CapturedOutput printed;
//   ...
//   EXPECT_THAT(printed.take(), ElementsAre("first line", "second line"));
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/log.h"

namespace platform {

class CapturingLogSink final : public LogSink {
 public:
  void write(const LogEntry& entry) override;
  // A copy of the entries so far, in the order they came.
  std::vector<LogEntry> entries() const;
  void clear();
  // The entries so far, and forgets them.
  std::vector<LogEntry> take();
  // Waits until at least `count` entries came; false when the time ran out.
  bool waitForEntries(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<LogEntry> entries_;
};

class CapturedOutput {
 public:
  CapturedOutput();
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  // The lines printed so far, in order, each without its newline.
  std::vector<std::string> lines() const;
  // The same, and forgets them: the next call returns only what came after.
  std::vector<std::string> take();
  // Forgets the lines so far.
  void clear();
  // Waits until at least `count` lines came; false when the time ran out.
  bool waitForLines(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  std::shared_ptr<CapturingLogSink> sink_;
  ScopedStandardOutputSink scoped_;
};

}  // namespace platform
