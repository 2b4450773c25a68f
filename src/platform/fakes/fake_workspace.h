#pragma once
// A scripted workspace for tests: the running applications are what the test says,
// and every terminate(), signal, launch and open is recorded. An application that
// accepts a termination (terminate(), or SIGTERM/SIGINT/SIGHUP/SIGKILL) leaves the
// list, as a process that exits would; so does forceTerminate(), recorded among the
// signals as SIGKILL. As the real one, it refuses to terminate or signal the test's
// own process (an application scripted with its pid).
#include <sys/types.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/workspace.h"

namespace platform {

class FakeWorkspace final : public Workspace {
 public:
  struct Application {
    std::optional<std::string> bundleIdentifier;
    std::string localizedName;
    pid_t processIdentifier = 0;
    ActivationPolicy activationPolicy = ActivationPolicy::regular;
    std::optional<std::string> executablePath;
    bool refusesTerminate = false;  // terminate() returns false; it keeps running
    bool ignoresSIGTERM = false;    // SIGTERM, SIGINT and SIGHUP are recorded only
    // The names it is known by besides its bundle identifier (names() lists both).
    std::vector<std::string> otherNames = {};
    // Why it is never signalled (as SignalGuard would say); terminate(), forceTerminate()
    // and sendSignal() then refuse it, as they refuse the test's own process.
    std::optional<SignalRefusal> neverSignalled = std::nullopt;
  };
  struct Signal {
    pid_t pid;
    int signal;
    bool operator==(const Signal&) const = default;
  };

  FakeWorkspace();
  ~FakeWorkspace() override;

  // Scripting.
  void setRunningApplications(std::vector<Application> applications);  // any order; listed by pid
  void addRunningApplication(Application application);
  void setFrontmostApplication(std::optional<pid_t> pid);  // nullopt: none
  void setLaunchResult(bool result);                        // default true
  void setOpenResult(bool result);                          // default true

  // What happened, in call order.
  std::vector<pid_t> terminateCalls() const;
  std::vector<Signal> signals() const;
  std::vector<std::string> launchCalls() const;
  std::vector<std::string> openCalls() const;
  int runningApplicationsCalls() const;
  bool isRunning(pid_t pid) const;

  RunningApplications runningApplications() override;
  std::shared_ptr<RunningApplication> frontmostApplication() override;
  bool launchApplication(const std::string& nameOrPath) override;
  bool open(const std::string& url) override;
  bool sendSignal(pid_t pid, int signal) override;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace platform
