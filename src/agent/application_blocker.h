#pragma once
// The application blocker: the app-rule request, the set of blocked identifiers that
// its replies fill, and the termination of running applications that carry one.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "agent/locked.h"
#include "networks/network_manager.h"
#include "platform/workspace.h"

namespace agent {

// Built with the workspace (running applications, signals), the request runner (the app
// rules) and the clock (the weekday). The blocked set is shared with the app-rule reply
// handler, which may run after the blocker is gone, so the set lives as long as the last
// of them.
class ApplicationBlocker {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;
  ApplicationBlocker(platform::Workspace& workspace, networks::NetworkManager& requests, Clock now);

  // The identifiers of the applications to terminate; only ever added to.
  Locked<std::set<std::string>>& blocked() { return *blocked_; }
  // The weekday (1 Sunday ... 7 Saturday) that storeWeekDay() stored last; nothing reads
  // it.
  std::int64_t& weekDay() { return weekDay_; }

  // Stores the weekday, sends the app-rule request (when a child token is stored) and,
  // without waiting for its reply, terminates what earlier replies blocked.
  void requestRules();
  // Terminates, for every identifier of (a copy of) the blocked set, the first running
  // application with it, over one list of the running applications.
  void blockByRule();
  // Terminates the first running application with exactly this identifier.
  void blockOne(const std::string& bundleId);
  // Stores the current weekday.
  void storeWeekDay();

 protected:
  // Asks the application to quit, then sends its process SIGTERM; never the agent itself.
  void terminate(platform::RunningApplication& application);

 private:
  platform::Workspace& workspace_;
  networks::NetworkManager& requests_;
  Clock now_;
  const std::shared_ptr<Locked<std::set<std::string>>> blocked_;
  std::int64_t weekDay_ = 0;
};

}  // namespace agent
