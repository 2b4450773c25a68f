#pragma once
// The one place where the agent's own code writes to the unified log. Every entry has
// the main bundle's identifier as subsystem, the category "ContentBlockerQRV" and the
// text "QRVNSFilterLog: " followed by the message (the message is data, never a format).
#include <string>
#include <string_view>

namespace networks {

class Log {
 public:
  static constexpr std::string_view kCategory = "ContentBlockerQRV";
  static constexpr std::string_view kPrefix = "QRVNSFilterLog: ";

  // The one shared instance.
  static Log& logger();
  // Date and time, both in the medium style ("Dec 10, 2026 at 9:41:00 AM"), for the
  // current time. Nothing in the agent reads it.
  std::string dateFormatter() const;
  void write(std::string_view message) const;
};

// Log::logger().write(message).
void logw(std::string_view message);

}  // namespace networks
