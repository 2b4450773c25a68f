#pragma once
// The unified log: entries with a subsystem, a category, a type and a text, delivered to
// one process-wide sink. The default sink is syslog(3); tests install a capturing sink
// (see fakes/capturing_log_sink.h).
// Standard output: the lines the agent prints, one entry per line, delivered to a second
// process-wide sink. The default sink writes them to std::cout; tests install a
// capturing sink there too and read the list of lines.
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace platform {

enum class LogType { Default, Info, Debug, Error, Fault };

// "default", "info", "debug", "error", "fault".
std::string_view logTypeName(LogType type);

struct LogEntry {
  std::string subsystem;
  std::string category;
  LogType type = LogType::Default;
  std::string text;
  bool operator==(const LogEntry&) const = default;
};

class LogSink {
 public:
  virtual ~LogSink() = default;
  // May be called from any thread, several at once.
  virtual void write(const LogEntry& entry) = 0;
};

// One syslog(3) message per entry, facility user, the text passed as the argument of a
// "%s" format (percent signs in it are never a format). The message reads
// "[<subsystem>:<category>] <text>"; a NUL in the text is written as "\0".
// Priorities: default notice, info info, debug debug, error err, fault crit.
class SyslogSink final : public LogSink {
 public:
  struct Options {
    // Also print each message on standard error (syslog's LOG_PERROR); changes the
    // process's syslog options while this sink lives.
    bool alsoToStandardError = false;
  };
  SyslogSink();
  explicit SyslogSink(Options options);
  ~SyslogSink() override;
  SyslogSink(const SyslogSink&) = delete;
  SyslogSink& operator=(const SyslogSink&) = delete;

  void write(const LogEntry& entry) override;

  static int priority(LogType type);
  static std::string message(const LogEntry& entry);

 private:
  Options options_;
};

class UnifiedLog {
 public:
  // Hands the entry to the current sink.
  static void write(const LogEntry& entry);
  // The current sink (a SyslogSink until replaced).
  static std::shared_ptr<LogSink> sink();
  // Replaces the sink and returns the one before; nullptr restores a SyslogSink.
  static std::shared_ptr<LogSink> setSink(std::shared_ptr<LogSink> sink);
};

// Writes each entry's text and a newline to std::cout and flushes, one entry at a time
// (lines from several threads never interleave). A reader that went away (EPIPE) or a
// full disk loses that line, not the next ones.
class StandardOutputSink final : public LogSink {
 public:
  void write(const LogEntry& entry) override;
};

class StandardOutput {
 public:
  // Hands the line (without its newline) to the current sink as an entry of type
  // Default with an empty subsystem and category.
  static void writeLine(std::string_view line);
  // The current sink (a StandardOutputSink until replaced).
  static std::shared_ptr<LogSink> sink();
  // Replaces the sink and returns the one before; nullptr restores a StandardOutputSink.
  static std::shared_ptr<LogSink> setSink(std::shared_ptr<LogSink> sink);
};

// Installs a sink through Replace (UnifiedLog::setSink or StandardOutput::setSink) for
// its lifetime and then puts the previous one back.
template <std::shared_ptr<LogSink> (*Replace)(std::shared_ptr<LogSink>)>
class ScopedSink {
 public:
  explicit ScopedSink(std::shared_ptr<LogSink> sink) : previous_(Replace(std::move(sink))) {}
  ~ScopedSink() { Replace(std::move(previous_)); }
  ScopedSink(const ScopedSink&) = delete;
  ScopedSink& operator=(const ScopedSink&) = delete;

 private:
  std::shared_ptr<LogSink> previous_;
};

using ScopedLogSink = ScopedSink<&UnifiedLog::setSink>;
using ScopedStandardOutputSink = ScopedSink<&StandardOutput::setSink>;

// A log handle for one subsystem and category, writing through UnifiedLog.
class LogHandle {
 public:
  LogHandle(std::string subsystem, std::string category);
  void write(LogType type, std::string_view text) const;
  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

 private:
  std::string subsystem_;
  std::string category_;
};

}  // namespace platform
