// The enforcement tick: app rules and the termination of blocked applications, the
// web rules, one safe-search pass and the rebuilt hosts file.
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "agent/app_delegate.h"
#include "agent/describe.h"
#include "agent/text.h"
#include "channel/safe_search_manager.h"
#include "networks/network_manager.h"
#include "networks/shared_settings.h"
#include "platform/settings.h"
#include "platform/user_defaults.h"
#include "rules/app_blocker_rules.h"

namespace agent {
namespace {

constexpr const char* kAppRulesPath = "/api/v1/children/device-apps/smart-app-rules";

}  // namespace

void AppDelegate::fireTimer() {
  connectChannelIfTokenStored();

  // 1. App-sync flag.
  if (!childUser.isSyncedApps()) childUser.setSyncApps(true);
  // 2. App rules: send, and terminate what earlier replies blocked.
  getAppRule();
  // 3. Web rules: a rule set that arrives replaces the blocked domains of g_input,
  // whenever it lands; a failed reply leaves them in force.
  getWebfilterRule();
  // 4, 5. The staging file of the previous tick goes.
  const std::string staging = stagingPath();
  removeFile(staging);
  // 6. The host list is not reset: it holds the defaults and the blocked domains of
  // the last rule set that arrived, so the hosts file never loses them to a slow or
  // failed reply. 7. The safe-search pass holds this thread while its reply (and
  // normally the web-rule reply) arrives.
  SafeSearchManager->startSafeSearchProcedure();
  // 8, 9. Write what the list holds now; only a written file is moved into place.
  auto written = createHostsFile(g_input.get(), staging);
  if (!written) return;
  // The staging folder is the child's: root takes the file out of its reach and checks
  // it is still what was just written before anything of it reaches the target.
  runScriptThatNeedsSudo(hostsReplacementCommand(staging, platform_.settings.hostsFile, *written, ::getuid()));
  runScriptThatNeedsSudo(kFlushDnsCacheCommand);
}

std::string AppDelegate::getAppRule() {
  setCurrentDeviceDay();

  auto shared = platform::UserDefaults::suite(std::string(networks::kAppGroup));
  if (!shared) return "";
  auto token = shared->string(std::string(networks::kSharedChildToken));
  if (!token) return "";
  auto backend = shared->string(std::string(networks::kSchoolFamilyApiAgent));

  platform::URLRequest request;
  request.url = serviceBaseURL(std::nullopt) + kAppRulesPath;
  request.timeoutInterval = std::numeric_limits<double>::infinity();
  if (backend && *backend == "school") {
    networks::printLine("USE SCHOOL FOR APP RULES");
    request.url = serviceBaseURL(backend) + kAppRulesPath;
  }
  request.setValue("Bearer " + *token, "Authorization");
  request.httpMethod = "GET";

  std::weak_ptr<AppDelegate> weak = weak_from_this();
  auto task = platform_.urlSession.dataTask(
      std::move(request), [weak](std::optional<platform::Data> data, std::shared_ptr<const platform::URLResponse>,
                                 std::optional<platform::Error> error) {
        if (!data) {
          networks::printLine(std::string("ERRORRRRR: ") + " " +
                              (error ? "Optional(" + error->description() + ")" : "nil"));
          return;
        }
        auto decoded = rules::decodeAppBlockerRules(*data);
        if (!decoded) {
          networks::printLine("errrrrrrrr®");
          return;
        }
        networks::printLine("responseModel: " + describe(*decoded));
        auto self = weak.lock();
        if (!decoded->rules) return;
        for (const auto& rule : *decoded->rules) {
          if (!rule.isBlackList() || !rule.applications) continue;
          for (const auto& application : *rule.applications) {
            networks::printLine("ddd: " + application.pk.value_or("nil"));
            // An entry without an identifier names no application.
            if (!application.pk || !self) continue;
            self->blockingAppsArrayString.modify([&](std::set<std::string>& set) { set.insert(*application.pk); });
          }
        }
      });
  task->resume();

  blockAppsByRule();
  return "";
}

void AppDelegate::blockAppsByRule() {
  const auto blocked = blockingAppsArrayString.get();
  if (blocked.empty()) return;
  // One look at the running applications serves every identifier. An application
  // answers to each of its names; the agent's own process is never a candidate.
  const auto running = platform_.workspace.runningApplications();
  const pid_t self = ::getpid();
  std::unordered_map<std::string_view, platform::RunningApplication*> firstWithName;
  firstWithName.reserve(running.size());
  for (const auto& application : running) {
    if (application->processIdentifier() == self) continue;
    for (const auto& name : application->names()) firstWithName.try_emplace(name, application.get());
  }
  for (const auto& bundleId : blocked) {
    auto found = firstWithName.find(bundleId);
    if (found != firstWithName.end()) terminate(*found->second);
  }
}

void AppDelegate::blockAnApp(const std::string& bundleId) {
  const pid_t self = ::getpid();
  for (const auto& application : platform_.workspace.runningApplications()) {
    if (application->processIdentifier() != self && application->isNamed(bundleId)) {
      terminate(*application);
      return;
    }
  }
}

void AppDelegate::terminate(platform::RunningApplication& application) {
  if (application.processIdentifier() == ::getpid()) return;  // never the agent itself
  application.terminate();
  // The kill follows at once; a process that is already gone is not signalled, so a
  // recycled process identifier is never hit.
  if (!application.isTerminated()) platform_.workspace.sendSignal(application.processIdentifier(), SIGTERM);
}

void AppDelegate::setCurrentDeviceDay() {
  std::time_t now = std::chrono::system_clock::to_time_t(platform_.now());
  std::tm local{};
  localtime_r(&now, &local);
  currentDeviceWeekDay = local.tm_wday + 1;  // 1 Sunday ... 7 Saturday
}

}  // namespace agent
