#pragma once
// The application blocker: the app-rule request, the set of blocked identifiers that
// its replies fill, and the termination of running applications that carry one.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

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
  // One pass, run once by each tick, over one list of the running applications: for
  // every identifier of the blocked set (in the set's order), signals every process
  // that bears it and has not been sent SIGTERM yet (one application is often several
  // processes: a wrapper and its game, the processes of one unit). Each gets SIGTERM,
  // or SIGKILL at once when a process bearing one of its blocked names was sent SIGTERM
  // two passes ago or more and the name has been running ever since (a program that
  // ignores SIGTERM and hands over to a fresh copy of itself). A process that must never
  // be signalled (RunningApplication::signalRefusal) is left alone, with a printed line.
  // Ends with SIGKILL each process that is still alive two passes after its SIGTERM.
  void blockByRule();
  // Signals, as a pass does, every running process with exactly this identifier that
  // has not been sent SIGTERM yet; the passes of blockByRule() follow it up.
  void blockOne(const std::string& bundleId);
  // Stores the current weekday.
  void storeWeekDay();

 protected:
  // Asks the application to quit, then sends its process SIGTERM, and keeps it for the
  // follow-up; never the agent itself, nor a process that must never be signalled.
  void terminate(const std::shared_ptr<platform::RunningApplication>& application);

 private:
  // A process that was sent SIGTERM: its snapshot (which knows the process by pid and
  // start time, so a recycled pid is never taken for it) and the pass that sent it.
  struct Signalled {
    std::shared_ptr<platform::RunningApplication> application;
    std::uint64_t pass = 0;
  };
  // Forgets the signalled processes that are gone; with `kill`, sends SIGKILL to those
  // whose SIGTERM is two passes old. Run after the running applications were listed, so
  // a pid still held by a signalled process is that process in the list too.
  void followUp(bool kill);
  // Signals one process that bears these blocked names (the first one in the set's
  // order), as a pass does.
  void stop(const std::shared_ptr<platform::RunningApplication>& application,
            const std::vector<std::string_view>& names);
  // True when one of the names was sent SIGTERM two passes ago or more.
  bool isRelayed(const std::vector<std::string_view>& names) const;

  platform::Workspace& workspace_;
  networks::NetworkManager& requests_;
  Clock now_;
  const std::shared_ptr<Locked<std::set<std::string>>> blocked_;
  std::int64_t weekDay_ = 0;
  // Main thread only. By pid, so that a pass's SIGKILLs go out in pid order.
  std::map<pid_t, Signalled> signalled_;
  // Each blocked name that was sent SIGTERM, with the pass of the first; a name is
  // forgotten on the first pass that finds no process bearing it.
  std::map<std::string, std::uint64_t, std::less<>> signalledNames_;
  std::uint64_t passes_ = 0;
};

}  // namespace agent
