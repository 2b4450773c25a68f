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
    signalledNames_.clear();
    return;
  }
  // One look at the running applications serves every identifier. An application
  // answers to each of its names.
  const auto running = workspace_.runningApplications();
  followUp(true);
  // The blocked names among theirs: each running name is looked up in the set, under
  // its lock and without copying the set (the running names are few, the set may be
  // large). Each match is the name and the application's place in the list.
  std::vector<std::pair<std::string_view, std::size_t>> matched;
  blocked_->modify([&](const std::set<std::string>& set) {
    std::string key;
    for (std::size_t i = 0; i < running.size(); ++i) {
      for (const auto& name : running[i]->names()) {
        key.assign(name);
        if (set.contains(key)) matched.emplace_back(name, i);
      }
    }
  });
  // In the set's order, and for each name its applications in the list's order; each
  // process once, with every blocked name it bears.
  std::stable_sort(matched.begin(), matched.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::vector<std::string_view>> namesOf(running.size());
  std::vector<std::size_t> order;
  for (const auto& [name, i] : matched) {
    if (namesOf[i].empty()) order.push_back(i);
    namesOf[i].push_back(name);
  }
  for (const std::size_t i : order) stop(running[i], namesOf[i]);
  // A name that no running process bears any more starts afresh when it comes back.
  std::erase_if(signalledNames_, [&](const auto& entry) {
    return std::none_of(matched.begin(), matched.end(), [&](const auto& m) { return m.first == entry.first; });
  });
}

void ApplicationBlocker::blockOne(const std::string& bundleId) {
  const auto running = workspace_.runningApplications();
  followUp(false);
  const std::vector<std::string_view> names = {bundleId};
  for (const auto& application : running) {
    if (application->isNamed(bundleId)) stop(application, names);
  }
}

void ApplicationBlocker::stop(const std::shared_ptr<platform::RunningApplication>& application,
                              const std::vector<std::string_view>& names) {
  const pid_t pid = application->processIdentifier();
  // Sent SIGTERM already: the follow-up ends it.
  if (signalled_.contains(pid)) return;
  if (const auto refusal = application->signalRefusal()) {
    if (*refusal != platform::SignalRefusal::gone) {
      networks::printLine("Skipping blocked application that is never stopped (" +
                          std::string(platform::describe(*refusal)) + "): " + std::string(names.front()) + " (pid " +
                          std::to_string(pid) + ")");
    }
    return;
  }
  if (isRelayed(names)) {
    application->forceTerminate();
    // Counted as sent SIGTERM two passes ago: the follow-up sends SIGKILL again while
    // it is still there.
    if (!application->isTerminated())
      signalled_.insert_or_assign(pid, Signalled{application, passes_ - kPassesBeforeKill});
    return;
  }
  terminate(application);
  for (const auto name : names) signalledNames_.try_emplace(std::string(name), passes_);
}

bool ApplicationBlocker::isRelayed(const std::vector<std::string_view>& names) const {
  return std::any_of(names.begin(), names.end(), [&](std::string_view name) {
    const auto it = signalledNames_.find(name);
    return it != signalledNames_.end() && passes_ - it->second >= kPassesBeforeKill;
  });
}

void ApplicationBlocker::terminate(const std::shared_ptr<platform::RunningApplication>& application) {
  if (application->processIdentifier() == ::getpid()) return;  // never the agent itself
  if (application->signalRefusal()) return;
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
