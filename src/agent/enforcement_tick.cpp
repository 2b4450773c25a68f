// The enforcement tick, the one place that puts the jobs together in order: app rules
// and the termination of blocked applications (ApplicationBlocker), the web rules and
// the rebuilt hosts file (HostsFilter), one safe-search pass, and root's move and DNS
// flush (PrivilegedRunner).

#include <algorithm>
#include <chrono>

#include "agent/app_delegate.h"
#include "channel/safe_search_manager.h"
#include "platform/settings.h"

namespace agent {
namespace {

using std::chrono::milliseconds;

// What the privileged runner may take after a sudo's deadline to end it (the polite
// signal's grace): root's deadline in a tick leaves it inside the main thread's budget.
constexpr milliseconds kSudoEndAllowance{1000};
// The least deadline root's command gets in a tick, even when the replies took the
// budget: a sudo that checks a password needs a moment on any machine.
constexpr milliseconds kLeastSudoDeadline{1000};

}  // namespace

std::chrono::milliseconds AppDelegate::rootDeadlineWithinTick() const {
  // A child who stops every sudo must not hold the tick past the period's budget: the
  // deadline is what is left of it, less the time to end a held sudo.
  const milliseconds left = mainThreadBudget_->left() - kSudoEndAllowance;
  return std::min(platform_.settings.privilegedCommandDeadline, std::max(kLeastSudoDeadline, left));
}

void AppDelegate::fireTimer() {
  // A new period of the main thread's budget begins with every tick. Every wait of the
  // tick for a reply draws on one budget besides (the settings' reply-wait budget); once
  // either is spent the tick goes on without the replies, which are handled when they
  // come and count from the next tick on.
  mainThreadBudget_->beginPeriod();
  const auto waitsEnd = std::chrono::steady_clock::now() + platform_.settings.replyWaitBudget;
  auto budgetLeft = [&] {
    const auto replies = std::chrono::duration_cast<milliseconds>(waitsEnd - std::chrono::steady_clock::now());
    return std::clamp(replies, milliseconds(0), mainThreadBudget_->left());
  };

  connectChannelIfTokenStored();

  // Marks the applications as synced.
  if (!childUser.isSyncedApps()) childUser.setSyncApps(true);
  // App rules: send, and terminate what earlier replies blocked.
  getAppRule();
  // Web rules: a rule set that arrives replaces the blocked domains of g_input,
  // whenever it lands; a failed reply leaves them in force.
  getWebfilterRule();
  // The staging file of the previous tick goes.
  const std::string staging = stagingPath();
  removeFile(staging);
  // The host list is not reset: it holds the defaults and the blocked domains of the
  // last rule set that arrived, so the hosts file never loses them to a slow or failed
  // reply. The safe-search pass holds this thread while its reply (and normally the
  // web-rule reply) arrives, at most for what is left of the budget.
  SafeSearchManager->setReplyWaitLimit(budgetLeft());
  SafeSearchManager->startSafeSearchProcedure();
  // Write what the list holds now; only a written file is moved into place.
  auto written = createHostsFile(g_input.get(), staging);
  if (!written) return;
  // The staging folder is the child's: root gets the text on its standard input and
  // reads nothing there; a target of the user's own is replaced without root.
  const auto replacement =
      hostsFilter_.replaceHostsFile(*written, platform_.settings.hostsFile, platform_.settings.systemHostsFile,
                                    privilegedRunner_, rootDeadlineWithinTick());
  // A replacement that had to be ended changed nothing to flush, and a second command
  // would most likely be held the same way.
  if (replacement == HostsReplacement::sudoEnded) return;
  (void)privilegedRunner_.run(kFlushDnsCacheCommand, rootDeadlineWithinTick());
}

}  // namespace agent
