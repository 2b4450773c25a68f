#include "networks/log.h"

#include <ctime>

#include "platform/bundle.h"
#include "platform/log.h"

namespace networks {

Log& Log::logger() {
  static auto* instance = new Log;  // never destroyed: code running at exit may still log
  return *instance;
}

std::string Log::dateFormatter() const {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char date[32];
  char time[32];
  const std::size_t d = std::strftime(date, sizeof date, "%b %d, %Y", &local);
  const std::size_t t = std::strftime(time, sizeof time, "%I:%M:%S %p", &local);
  std::string dateText(date, d);
  std::string timeText(time, t);
  if (dateText.size() > 4 && dateText[4] == '0') dateText.erase(4, 1);  // "Dec 09" -> "Dec 9"
  if (!timeText.empty() && timeText[0] == '0') timeText.erase(0, 1);    // "09:41" -> "9:41"
  return dateText + " at " + timeText;
}

void Log::write(std::string_view message) const {
  // A new handle for every entry; the subsystem is read from the bundle each time.
  const platform::LogHandle handle(platform::Bundle::main().bundleIdentifier(), std::string(kCategory));
  std::string text(kPrefix);
  text += message;
  handle.write(platform::LogType::Default, text);
}

void logw(std::string_view message) { Log::logger().write(message); }

}  // namespace networks
