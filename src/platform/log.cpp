#include "platform/log.h"

#include <syslog.h>

#include <iostream>
#include <mutex>
#include <utility>

namespace platform {

std::string_view logTypeName(LogType type) {
  switch (type) {
    case LogType::Default:
      return "default";
    case LogType::Info:
      return "info";
    case LogType::Debug:
      return "debug";
    case LogType::Error:
      return "error";
    case LogType::Fault:
      return "fault";
  }
  return "default";
}

SyslogSink::SyslogSink() : SyslogSink(Options{}) {}

SyslogSink::SyslogSink(Options options) : options_(options) {
  if (options_.alsoToStandardError) ::openlog(nullptr, LOG_PERROR, LOG_USER);
}

SyslogSink::~SyslogSink() {
  if (options_.alsoToStandardError) {
    ::closelog();
    ::openlog(nullptr, 0, LOG_USER);
  }
}

int SyslogSink::priority(LogType type) {
  switch (type) {
    case LogType::Default:
      return LOG_NOTICE;
    case LogType::Info:
      return LOG_INFO;
    case LogType::Debug:
      return LOG_DEBUG;
    case LogType::Error:
      return LOG_ERR;
    case LogType::Fault:
      return LOG_CRIT;
  }
  return LOG_NOTICE;
}

std::string SyslogSink::message(const LogEntry& entry) {
  std::string text = "[" + entry.subsystem + ":" + entry.category + "] ";
  text.reserve(text.size() + entry.text.size());
  for (const char c : entry.text) {
    if (c == '\0') {
      text += "\\0";
    } else {
      text.push_back(c);
    }
  }
  return text;
}

void SyslogSink::write(const LogEntry& entry) {
  const std::string text = message(entry);
  ::syslog(LOG_USER | priority(entry.type), "%s", text.c_str());
}

namespace {

std::mutex sinkMutex;

std::shared_ptr<LogSink>& currentSink() {
  static auto* sink = new std::shared_ptr<LogSink>(std::make_shared<SyslogSink>());  // lives to the end
  return *sink;
}

}  // namespace

void UnifiedLog::write(const LogEntry& entry) {
  if (const auto target = sink()) target->write(entry);
}

std::shared_ptr<LogSink> UnifiedLog::sink() {
  std::lock_guard lock(sinkMutex);
  return currentSink();
}

std::shared_ptr<LogSink> UnifiedLog::setSink(std::shared_ptr<LogSink> sink) {
  if (!sink) sink = std::make_shared<SyslogSink>();
  std::lock_guard lock(sinkMutex);
  return std::exchange(currentSink(), std::move(sink));
}

ScopedLogSink::ScopedLogSink(std::shared_ptr<LogSink> sink) : previous_(UnifiedLog::setSink(std::move(sink))) {}

ScopedLogSink::~ScopedLogSink() { UnifiedLog::setSink(std::move(previous_)); }

void StandardOutputSink::write(const LogEntry& entry) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  std::cout << entry.text << '\n' << std::flush;
  if (!std::cout) std::cout.clear();
}

namespace {

std::mutex outputSinkMutex;

std::shared_ptr<LogSink>& currentOutputSink() {
  static auto* sink = new std::shared_ptr<LogSink>(std::make_shared<StandardOutputSink>());  // lives to the end
  return *sink;
}

}  // namespace

void StandardOutput::writeLine(std::string_view line) {
  if (const auto target = sink()) target->write(LogEntry{{}, {}, LogType::Default, std::string(line)});
}

std::shared_ptr<LogSink> StandardOutput::sink() {
  std::lock_guard lock(outputSinkMutex);
  return currentOutputSink();
}

std::shared_ptr<LogSink> StandardOutput::setSink(std::shared_ptr<LogSink> sink) {
  if (!sink) sink = std::make_shared<StandardOutputSink>();
  std::lock_guard lock(outputSinkMutex);
  return std::exchange(currentOutputSink(), std::move(sink));
}

ScopedStandardOutputSink::ScopedStandardOutputSink(std::shared_ptr<LogSink> sink)
    : previous_(StandardOutput::setSink(std::move(sink))) {}

ScopedStandardOutputSink::~ScopedStandardOutputSink() { StandardOutput::setSink(std::move(previous_)); }

LogHandle::LogHandle(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void LogHandle::write(LogType type, std::string_view text) const {
  UnifiedLog::write(LogEntry{subsystem_, category_, type, std::string(text)});
}

}  // namespace platform
