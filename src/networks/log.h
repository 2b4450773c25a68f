#pragma once
// The one place where the agent's own code writes to the unified log. Every entry has
// the main bundle's identifier as subsystem, the category "ContentBlockerQRV" and the
// text "QRVNSFilterLog: " followed by the message (the message is data, never a format).
#include <string>
#include <string_view>

namespace networks {

// A subclass may override dateFormatter() and write(); the agent's callers reach the
// shared instance, which is always a plain Log.
class Log {
 public:
  static constexpr std::string_view kCategory = "ContentBlockerQRV";
  static constexpr std::string_view kPrefix = "QRVNSFilterLog: ";

  Log() = default;
  virtual ~Log() = default;

  // The one shared instance, made on first use (safely from several threads).
  static Log& logger();
  // Date and time, both in the medium style ("Dec 10, 2026 at 9:41:00 AM"), for the
  // current time. Nothing in the agent reads it.
  virtual std::string dateFormatter() const;
  virtual void write(std::string_view message) const;
};

// Log::logger().write(message).
void logw(std::string_view message);

}  // namespace networks
