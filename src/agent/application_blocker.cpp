// The application blocker: the app-rule request and its reply, the blocked set, and
// the termination of blocked applications.
#include "agent/application_blocker.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <ctime>
#include <string_view>
#include <utility>
#include <vector>

#include "agent/describe.h"
#include "networks/print_line.h"
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

namespace {

// How many passes after its SIGTERM a process that is still alive gets SIGKILL.
constexpr std::uint64_t kPassesBeforeKill = 2;

}  // namespace

void ApplicationBlocker::blockByRule() {
  ++passes_;
  const bool nothingBlocked = blocked_->modify([](const std::set<std::string>& set) { return set.empty(); });
  if (nothingBlocked) {
    followUp(true);
    return;
  }
  // One look at the running applications serves every identifier. An application
  // answers to each of its names; the agent's own process is never a candidate.
  const auto running = workspace_.runningApplications();
  followUp(true);
  const pid_t self = ::getpid();
  // The blocked names among theirs: each running name is looked up in the set, under
  // its lock and without copying the set (the running names are few, the set may be
  // large). Each match is the name and the application's place in the list.
  std::vector<std::pair<std::string_view, std::size_t>> matched;
  blocked_->modify([&](const std::set<std::string>& set) {
    std::string key;
    for (std::size_t i = 0; i < running.size(); ++i) {
      if (running[i]->processIdentifier() == self) continue;
      for (const auto& name : running[i]->names()) {
        key.assign(name);
        if (set.contains(key)) matched.emplace_back(name, i);
      }
    }
  });
  // In the set's order, and for each name its applications in the list's order.
  std::stable_sort(matched.begin(), matched.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t first = 0; first < matched.size();) {
    std::size_t next = first;
    while (next < matched.size() && matched[next].first == matched[first].first) ++next;
    // A process that was sent SIGTERM and is still there does not shield the next one.
    for (std::size_t i = first; i < next; ++i) {
      const auto& candidate = running[matched[i].second];
      if (signalled_.contains(candidate->processIdentifier())) continue;
      terminate(candidate);
      break;
    }
    first = next;
  }
}

void ApplicationBlocker::blockOne(const std::string& bundleId) {
  const pid_t self = ::getpid();
  const auto running = workspace_.runningApplications();
  followUp(false);
  for (const auto& application : running) {
    if (application->processIdentifier() != self && application->isNamed(bundleId) &&
        !signalled_.contains(application->processIdentifier())) {
      terminate(application);
      return;
    }
  }
}

void ApplicationBlocker::terminate(const std::shared_ptr<platform::RunningApplication>& application) {
  if (application->processIdentifier() == ::getpid()) return;  // never the agent itself
  application->terminate();
  // The kill follows at once; a process that is already gone is not signalled, so a
  // recycled process identifier is never hit.
  if (application->isTerminated()) return;
  workspace_.sendSignal(application->processIdentifier(), SIGTERM);
  signalled_.insert_or_assign(application->processIdentifier(), Signalled{application, passes_});
}

void ApplicationBlocker::followUp(bool kill) {
  std::erase_if(signalled_, [&](auto& entry) {
    auto& [application, pass] = entry.second;
    if (application->isTerminated()) return true;
    // The snapshot signals only the process it was taken of, never a pid's next owner.
    if (kill && passes_ - pass >= kPassesBeforeKill) application->forceTerminate();
    return false;
  });
}

void ApplicationBlocker::storeWeekDay() {
  std::time_t now = std::chrono::system_clock::to_time_t(now_());
  std::tm local{};
  localtime_r(&now, &local);
  weekDay_ = local.tm_wday + 1;  // 1 Sunday ... 7 Saturday
}

}  // namespace agent
