#include "platform/log.h"

#include <syslog.h>

#include <iostream>
#include <mutex>
#include <utility>

#include "platform/shared_slot.h"

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

// The process-wide sink of each kind, starting as (and falling back to) a Default.
template <class Default>
detail::SharedSlot<LogSink>& sinkSlot() {
  static auto* slot = new detail::SharedSlot<LogSink>(std::make_shared<Default>());  // lives to the end
  return *slot;
}

template <class Default>
std::shared_ptr<LogSink> replaceSink(std::shared_ptr<LogSink> sink) {
  if (!sink) sink = std::make_shared<Default>();
  return sinkSlot<Default>().exchange(std::move(sink));
}

}  // namespace

void UnifiedLog::write(const LogEntry& entry) {
  if (const auto target = sink()) target->write(entry);
}

std::shared_ptr<LogSink> UnifiedLog::sink() { return sinkSlot<SyslogSink>().get(); }

std::shared_ptr<LogSink> UnifiedLog::setSink(std::shared_ptr<LogSink> sink) {
  return replaceSink<SyslogSink>(std::move(sink));
}

void StandardOutputSink::write(const LogEntry& entry) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  std::cout << entry.text << '\n' << std::flush;
  if (!std::cout) std::cout.clear();
}

void StandardOutput::writeLine(std::string_view line) {
  if (const auto target = sink()) target->write(LogEntry{{}, {}, LogType::Default, std::string(line)});
}

std::shared_ptr<LogSink> StandardOutput::sink() { return sinkSlot<StandardOutputSink>().get(); }

std::shared_ptr<LogSink> StandardOutput::setSink(std::shared_ptr<LogSink> sink) {
  return replaceSink<StandardOutputSink>(std::move(sink));
}

LogHandle::LogHandle(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void LogHandle::write(LogType type, std::string_view text) const {
  UnifiedLog::write(LogEntry{subsystem_, category_, type, std::string(text)});
}

}  // namespace platform
