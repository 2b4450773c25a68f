// The unified log: entries reach the installed sink unchanged; the syslog sink never
// takes a message for a format.
#include "platform/log.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <thread>

#include "platform/fakes/capturing_log_sink.h"

namespace platform {
namespace {

TEST(UnifiedLogTest, AHandlesEntriesReachTheInstalledSinkUnchanged) {
  auto sink = std::make_shared<CapturingLogSink>();
  ScopedLogSink scoped(sink);
  const LogHandle handle("so.velmorhome.mopet.agent", "ContentBlockerQRV");
  const std::string texts[] = {"QRVNSFilterLog: ", "100% %s %n %d %@ %{public}@", std::string("nul\0inside", 10),
                               "line one\nline two"};
  const LogType types[] = {LogType::Default, LogType::Info, LogType::Debug, LogType::Error, LogType::Fault};
  std::vector<LogEntry> expected;
  for (const auto& text : texts) {
    for (const auto type : types) {
      handle.write(type, text);
      expected.push_back({"so.velmorhome.mopet.agent", "ContentBlockerQRV", type, text});
    }
  }
  EXPECT_EQ(sink->entries(), expected);
}

TEST(UnifiedLogTest, SinksAreReplacedAndRestored) {
  auto outer = std::make_shared<CapturingLogSink>();
  auto inner = std::make_shared<CapturingLogSink>();
  {
    ScopedLogSink first(outer);
    {
      ScopedLogSink second(inner);
      UnifiedLog::write({"s", "c", LogType::Default, "to inner"});
    }
    UnifiedLog::write({"s", "c", LogType::Default, "to outer"});
  }
  ASSERT_EQ(inner->entries().size(), 1u);
  EXPECT_EQ(inner->entries()[0].text, "to inner");
  ASSERT_EQ(outer->entries().size(), 1u);
  EXPECT_EQ(outer->entries()[0].text, "to outer");
  EXPECT_NE(dynamic_cast<SyslogSink*>(UnifiedLog::sink().get()), nullptr);

  UnifiedLog::setSink(outer);
  EXPECT_EQ(UnifiedLog::setSink(nullptr), outer);
  EXPECT_NE(dynamic_cast<SyslogSink*>(UnifiedLog::sink().get()), nullptr);
}

TEST(UnifiedLogTest, WritesFromManyThreadsAreAllKept) {
  auto sink = std::make_shared<CapturingLogSink>();
  ScopedLogSink scoped(sink);
  std::vector<std::thread> threads;
  threads.reserve(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      const LogHandle handle("sub", "cat");
      for (int i = 0; i < 100; ++i) handle.write(LogType::Info, std::to_string(t));
    });
  }
  // Swapping the sink meanwhile must not break writers.
  for (int i = 0; i < 50; ++i) UnifiedLog::setSink(sink);
  EXPECT_TRUE(sink->waitForEntries(400, std::chrono::seconds(10)));
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(sink->entries().size(), 400u);
  sink->clear();
  EXPECT_TRUE(sink->entries().empty());
}

TEST(SyslogSinkTest, MessageAndPriority) {
  EXPECT_EQ(
      SyslogSink::message({"so.velmorhome.mopet.agent", "ContentBlockerQRV", LogType::Default, "QRVNSFilterLog: hi"}),
      "[so.velmorhome.mopet.agent:ContentBlockerQRV] QRVNSFilterLog: hi");
  EXPECT_EQ(SyslogSink::message({"s", "c", LogType::Default, std::string("a\0b", 3)}), "[s:c] a\\0b");
  const std::pair<LogType, int> priorities[] = {{LogType::Default, LOG_NOTICE},
                                                {LogType::Info, LOG_INFO},
                                                {LogType::Debug, LOG_DEBUG},
                                                {LogType::Error, LOG_ERR},
                                                {LogType::Fault, LOG_CRIT}};
  for (const auto& [type, priority] : priorities) EXPECT_EQ(SyslogSink::priority(type), priority) << logTypeName(type);
  EXPECT_EQ(logTypeName(LogType::Fault), "fault");
}

TEST(SyslogSinkTest, PercentSignsInAMessageAreWrittenAsThemselves) {
  // syslog's own copy on standard error shows exactly what it formatted.
  const std::string text = "QRVNSFilterLog: 100% done %s %d %n %x %%";
  ::testing::internal::CaptureStderr();
  {
    SyslogSink sink(SyslogSink::Options{.alsoToStandardError = true});
    sink.write({"so.velmorhome.mopet.agent", "ContentBlockerQRV", LogType::Error, text});
  }
  const std::string written = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(written.find("[so.velmorhome.mopet.agent:ContentBlockerQRV] " + text), std::string::npos) << written;
}

TEST(StandardOutputTest, TheDefaultSinkPrintsEachLineAsItIs) {
  // The one place that reads the process's standard output: the real sink's bytes.
  ::testing::internal::CaptureStdout();
  StandardOutput::writeLine("first 100% %s");
  StandardOutput::writeLine("");
  StandardOutput::writeLine("two\nparts");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "first 100% %s\n\ntwo\nparts\n");
}

TEST(StandardOutputTest, ACapturedOutputTakesTheLinesInOrderAndPutsTheSinkBack) {
  const auto before = StandardOutput::sink();
  {
    CapturedOutput printed;
    EXPECT_NE(StandardOutput::sink(), before);
    std::vector<std::thread> writers;
    writers.reserve(4);
    for (int t = 0; t < 4; ++t) {
      writers.emplace_back([t] {
        for (int i = 0; i < 50; ++i) StandardOutput::writeLine(std::to_string(t));
      });
    }
    for (auto& writer : writers) writer.join();
    ASSERT_TRUE(printed.waitForLines(200, std::chrono::seconds(10)));
    EXPECT_EQ(printed.take().size(), 200u);
    StandardOutput::writeLine("after");
    EXPECT_EQ(printed.lines(), std::vector<std::string>{"after"});
  }
  EXPECT_EQ(StandardOutput::sink(), before);
}

}  // namespace
}  // namespace platform
