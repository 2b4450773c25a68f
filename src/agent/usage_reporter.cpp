// The usage reporter: the counter (kept in memory, written to the shared defaults), one
// report per tick, the Safari window check.
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
#include "platform/main_thread_budget.h"
#include "platform/user_defaults.h"

namespace agent {
namespace {

constexpr const char* kSafariBundleIdentifier = "com.apple.Safari";

// The sum of two non-negative counts; the counter has no bound of its own, so it stops
// at the largest value rather than wrapping round.
std::int64_t saturatedSum(std::int64_t count, std::int64_t step) {
  return count > std::numeric_limits<std::int64_t>::max() - step ? std::numeric_limits<std::int64_t>::max()
                                                                 : count + step;
}

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
  raiseCounter();
  sendReport();
}

void UsageReporter::raiseCounter() {
  const std::string key(networks::kDeviceUsage);
  auto shared = networks::openSharedSuite();
  if (childUser_.userDefault.object(key)) {
    counter_ = kUsageStep;
    unplaced_ = 0;
  } else if (counter_) {
    counter_ = saturatedSum(*counter_, kUsageStep);
  } else if (shared) {
    // The first tick that sees the suite starts from what the file holds (what the last
    // run left), with the seconds counted before it could be read.
    counter_ = saturatedSum(shared->integer(key), saturatedSum(unplaced_, kUsageStep));
    unplaced_ = 0;
  } else {
    unplaced_ = saturatedSum(unplaced_, kUsageStep);
  }
  if (shared) writeCounter(*shared);
}

void UsageReporter::writeCounter(platform::UserDefaults& shared) {
  if (!counter_) return;
  // The counter in memory is the truth; a write that fails (a full disk, a lock not
  // had) loses nothing: the next write carries every second counted since.
  const std::int64_t value = *counter_;
  (void)shared.update(std::string(networks::kDeviceUsage), [value](std::optional<platform::PlistValue>& stored) {
    stored = platform::PlistValue(value);
    return true;
  });
  shared.synchronize();
}

void UsageReporter::sendReport() {
  std::time_t now = std::chrono::system_clock::to_time_t(now_());
  std::tm local{};
  localtime_r(&now, &local);
  char day[16];
  std::strftime(day, sizeof day, "%Y%m%d", &local);

  auto shared = networks::openSharedSuite();
  if (!shared) return;
  // The count the agent keeps, which a failed write may not have put in the file yet;
  // before the first tick, the file's.
  const std::int64_t usage = counter_ ? *counter_ : shared->integer(std::string(networks::kDeviceUsage));
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
  // On the main thread the wait also draws on the main thread's budget of the period.
  (void)semaphore->waitFor(platform::MainThreadBudget::bound(replyWaitLimit_));
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
