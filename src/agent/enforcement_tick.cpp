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

void AppDelegate::fireTimer() {
  // Every wait of the tick for a reply draws on one budget; once it is spent the tick
  // goes on without the replies, which are handled when they come and count from the
  // next tick on.
  const auto waitsEnd = std::chrono::steady_clock::now() + platform_.settings.replyWaitBudget;
  auto budgetLeft = [&] {
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(waitsEnd - std::chrono::steady_clock::now()));
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
                                    privilegedRunner_, platform_.settings.privilegedCommandDeadline);
  // A replacement that had to be ended changed nothing to flush, and a second command
  // would most likely be held the same way.
  if (replacement == HostsReplacement::sudoEnded) return;
  runScriptThatNeedsSudo(kFlushDnsCacheCommand);
}

}  // namespace agent
