#pragma once
// The usage reporter: every tick the counter "device_usage" in the shared defaults grows
// by 5 and one report is posted, the caller waiting a bounded time for its reply; and the Safari window
// check, which nothing calls.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "networks/child_user_default_manager.h"
#include "networks/network_manager.h"
#include "platform/settings.h"
#include "platform/window_list.h"
#include "platform/workspace.h"

namespace agent {

// The body of one usage report.
std::string usageReportBody(const std::string& day, std::int64_t usageCount);

// Built with the workspace and the window list (the Safari check), the child state (its
// own defaults decide how the counter grows), the request runner and the clock (the
// report's day).
class UsageReporter {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;
  UsageReporter(platform::Workspace& workspace, platform::WindowList& windows, networks::ChildUser& childUser,
                networks::NetworkManager& requests, Clock now);

  // One tick: raises the counter, then sends one report.
  void tick();
  // Sends one report of today's counter and returns once its reply was handled, or once
  // replyWaitLimit() has passed (at once when no child token is stored). A reply that
  // comes later is printed when it comes. While a report is still unanswered no other
  // is sent: the next one goes out after its reply or its deadline, and carries the
  // counter as it is then.
  void sendReport();
  // How long one report waits for its reply on the caller's thread; by default half the
  // settings' reply-wait budget, so that the tick's waits and the report's together stay
  // within one 5-second period of the main thread.
  void setReplyWaitLimit(std::chrono::milliseconds limit) { replyWaitLimit_ = limit; }
  // Whether Safari is frontmost with a window on screen; each such answer raises
  // safariTime().
  bool safariIsInUse();
  // How often safariIsInUse() said yes.
  std::int64_t& safariTime() { return safariTime_; }

 protected:
  // How much one tick adds to the counter.
  static constexpr std::int64_t kUsageStep = 5;

 private:
  platform::Workspace& workspace_;
  platform::WindowList& windows_;
  networks::ChildUser& childUser_;
  networks::NetworkManager& requests_;
  Clock now_;
  std::int64_t safariTime_ = 0;
  std::chrono::milliseconds replyWaitLimit_ = platform::Settings::current().replyWaitBudget / 2;
  // Set while a report is out; its completion clears it, whenever that runs.
  std::shared_ptr<std::atomic<bool>> reportOut_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace agent
