// The application blocker: the app-rule request and its reply, the blocked set, and
// the termination of blocked applications.
#include "agent/application_blocker.h"

#include <unistd.h>

#include <csignal>
#include <ctime>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "agent/describe.h"
#include "networks/shared_settings.h"
#include "rules/app_blocker_rules.h"

namespace agent {

ApplicationBlocker::ApplicationBlocker(platform::Workspace& workspace, networks::NetworkManager& requests, Clock now)
    : workspace_(workspace),
      requests_(requests),
      now_(std::move(now)),
      blocked_(std::make_shared<Locked<std::set<std::string>>>()) {}

void ApplicationBlocker::requestRules() {
  storeWeekDay();

  const auto token = networks::storedChildToken();
  if (!token) return;
  if (networks::ChildEndPoint::schoolChosen()) networks::printLine("USE SCHOOL FOR APP RULES");

  requests_.send(
      networks::ChildEndPoint::smartAppRules(), *token,
      [blocked = blocked_](std::optional<platform::Data> data, const std::shared_ptr<const platform::URLResponse>&,
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
        if (!decoded->rules) return;
        for (const auto& rule : *decoded->rules) {
          if (!rule.isBlackList() || !rule.applications) continue;
          for (const auto& application : *rule.applications) {
            networks::printLine("ddd: " + application.pk.value_or("nil"));
            // An entry without an identifier names no application.
            if (!application.pk) continue;
            blocked->modify([&](std::set<std::string>& set) { set.insert(*application.pk); });
          }
        }
      });

  blockByRule();
}

void ApplicationBlocker::blockByRule() {
  const auto blocked = blocked_->get();
  if (blocked.empty()) return;
  // One look at the running applications serves every identifier. An application
  // answers to each of its names; the agent's own process is never a candidate.
  const auto running = workspace_.runningApplications();
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

void ApplicationBlocker::blockOne(const std::string& bundleId) {
  const pid_t self = ::getpid();
  for (const auto& application : workspace_.runningApplications()) {
    if (application->processIdentifier() != self && application->isNamed(bundleId)) {
      terminate(*application);
      return;
    }
  }
}

void ApplicationBlocker::terminate(platform::RunningApplication& application) {
  if (application.processIdentifier() == ::getpid()) return;  // never the agent itself
  application.terminate();
  // The kill follows at once; a process that is already gone is not signalled, so a
  // recycled process identifier is never hit.
  if (!application.isTerminated()) workspace_.sendSignal(application.processIdentifier(), SIGTERM);
}

void ApplicationBlocker::storeWeekDay() {
  std::time_t now = std::chrono::system_clock::to_time_t(now_());
  std::tm local{};
  localtime_r(&now, &local);
  weekDay_ = local.tm_wday + 1;  // 1 Sunday ... 7 Saturday
}

}  // namespace agent
