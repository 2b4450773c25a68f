// The usage reporter: the counter in the shared defaults, one report per tick, the
// Safari window check.
#include "agent/usage_reporter.h"

#include <ctime>
#include <limits>
#include <memory>
#include <utility>

#include "agent/text.h"
#include "networks/network_manager.h"
#include "networks/print_line.h"
#include "networks/shared_settings.h"
#include "platform/dispatch.h"
#include "platform/user_defaults.h"

namespace agent {
namespace {

constexpr const char* kSafariBundleIdentifier = "com.apple.Safari";

}  // namespace

std::string usageReportBody(const std::string& day, std::int64_t usageCount) {
  return "[\n"
         "  {\n"
         "    \"time\": " +
         day +
         ",\n"
         "    \"report_type\": \"APP_USAGE\",\n"
         "    \"info\": {\n"
         "      \"pk\": \"com.apple.Safari\",\n"
         "      \"last_start\": \"10:00:00\",\n"
         "      \"last_end\": \"11:00:00\",\n"
         "      \"duration\": \"" +
         std::to_string(usageCount) +
         "\"\n"
         "    }\n"
         "  }\n"
         "]";
}

UsageReporter::UsageReporter(platform::Workspace& workspace, platform::WindowList& windows,
                             networks::ChildUser& childUser, networks::NetworkManager& requests, Clock now)
    : workspace_(workspace), windows_(windows), childUser_(childUser), requests_(requests), now_(std::move(now)) {}

void UsageReporter::tick() {
  const std::string key(networks::kDeviceUsage);
  if (auto shared = networks::openSharedSuite()) {
    std::int64_t usage = shared->integer(key);
    if (!childUser_.userDefault.object(key)) {
      // The counter has no bound of its own; it stops at the largest value rather than
      // wrapping round.
      usage = usage > std::numeric_limits<std::int64_t>::max() - kUsageStep ? std::numeric_limits<std::int64_t>::max()
                                                                            : usage + kUsageStep;
      shared->set(key, usage);
    } else {
      shared->set(key, kUsageStep);
    }
    shared->synchronize();
  }
  sendReport();
}

void UsageReporter::sendReport() {
  std::time_t now = std::chrono::system_clock::to_time_t(now_());
  std::tm local{};
  localtime_r(&now, &local);
  char day[16];
  std::strftime(day, sizeof day, "%Y%m%d", &local);

  auto shared = networks::openSharedSuite();
  if (!shared) return;
  const std::int64_t usage = shared->integer(std::string(networks::kDeviceUsage));
  const auto token = networks::storedChildToken(*shared);
  if (!token) return;

  // One report at a time: one that a slow service has not answered yet is not joined by
  // another (the counter it would carry goes with the next one).
  if (reportOut_->exchange(true)) return;
  // The completion owns everything it touches: it may run after this call returned.
  auto semaphore = std::make_shared<platform::DispatchSemaphore>(0);
  const bool sent = requests_.send(networks::ChildEndPoint::usageReport(usageReportBody(day, usage)), *token,
                                   [semaphore, out = reportOut_](std::optional<platform::Data> data,
                                                                 const std::shared_ptr<const platform::URLResponse>&,
                                                                 std::optional<platform::Error> error) {
                                     if (!data) networks::printLine(error ? error->description() : "no error");
                                     else networks::printLine(printableText(*data));
                                     out->store(false);
                                     semaphore->signal();
                                   });
  if (!sent) {
    reportOut_->store(false);
    return;
  }
  (void)semaphore->waitFor(replyWaitLimit_);
}

bool UsageReporter::safariIsInUse() {
  auto front = workspace_.frontmostApplication();
  if (!front || !front->bundleIdentifier() || *front->bundleIdentifier() != kSafariBundleIdentifier) return false;
  const auto pid = static_cast<std::uint32_t>(front->processIdentifier());
  auto windows =
      windows_.windows(platform::WindowListOption::onScreenOnly | platform::WindowListOption::excludeDesktopElements,
                       platform::kNullWindowID);
  if (!windows) return false;
  for (const auto& window : *windows) {
    if (window.ownerPID && *window.ownerPID == pid) {
      ++safariTime_;
      return true;
    }
  }
  return false;
}

}  // namespace agent
