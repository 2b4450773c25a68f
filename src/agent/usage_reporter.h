#pragma once
// The usage reporter: every tick the counter "device_usage" grows by 5 and one report is
// posted, the caller waiting a bounded time for its reply; and the Safari window check,
// which nothing calls. The reporter keeps the counter in memory, as the truth, from the
// value the shared defaults held at its first tick on; every tick writes it there, and
// a write that fails (a full disk, a lock not had) is made good by the next one that
// succeeds, so no second is lost and the file is what the next run starts from.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "networks/child_user_default_manager.h"
#include "networks/network_manager.h"
#include "platform/settings.h"
#include "platform/user_defaults.h"
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

  // One tick: raises the counter and writes it, then sends one report.
  void tick();
  // Sends one report of today's counter (the one in memory; before the first tick, the
  // file's) and returns once its reply was handled, or once
  // replyWaitLimit() has passed (at once when no child token is stored). A reply that
  // comes later is printed when it comes. While a report is still unanswered no other
  // is sent: the next one goes out after its reply or its deadline, and carries the
  // counter as it is then.
  void sendReport();
  // How long one report waits for its reply on the caller's thread; by default half the
  // settings' reply-wait budget. On the main thread the wait also ends with the main
  // thread's budget of the period (platform::MainThreadBudget).
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
  // Adds one step to the counter in memory (5 when the agent's own defaults hold the
  // key) and writes it to the shared defaults when they can be opened.
  void raiseCounter();
  void writeCounter(platform::UserDefaults& shared);

  platform::Workspace& workspace_;
  platform::WindowList& windows_;
  networks::ChildUser& childUser_;
  networks::NetworkManager& requests_;
  Clock now_;
  std::int64_t safariTime_ = 0;
  // The counter, once read from the shared defaults; the seconds counted while they
  // could not be opened before that.
  std::optional<std::int64_t> counter_;
  std::int64_t unplaced_ = 0;
  std::chrono::milliseconds replyWaitLimit_ = platform::Settings::current().replyWaitBudget / 2;
  // Set while a report is out; its completion clears it, whenever that runs.
  std::shared_ptr<std::atomic<bool>> reportOut_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace agent
