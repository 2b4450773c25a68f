#include "platform/fakes/fake_workspace.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace platform {

struct FakeWorkspace::State {
  mutable std::mutex mutex;
  std::vector<Application> running;  // kept in pid order
  std::optional<pid_t> frontmost;
  bool launchResult = true;
  bool openResult = true;
  std::vector<pid_t> terminateCalls;
  std::vector<Signal> signals;
  std::vector<std::string> launchCalls;
  std::vector<std::string> openCalls;
  int listCalls = 0;

  // With the lock held.
  std::vector<Application>::iterator find(pid_t pid) {
    return std::find_if(running.begin(), running.end(),
                        [&](const Application& app) { return app.processIdentifier == pid; });
  }
  void sortRunning() {
    std::stable_sort(running.begin(), running.end(), [](const Application& a, const Application& b) {
      return a.processIdentifier < b.processIdentifier;
    });
  }
};

namespace {

std::vector<std::string> namesOf(const FakeWorkspace::Application& app) {
  std::vector<std::string> names;
  if (app.bundleIdentifier) names.push_back(*app.bundleIdentifier);
  for (const auto& name : app.otherNames) {
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  return names;
}

class FakeRunningApplication final : public RunningApplication {
 public:
  FakeRunningApplication(const FakeWorkspace::Application& app, std::shared_ptr<FakeWorkspace::State> state)
      : RunningApplication(Info{app.bundleIdentifier, app.localizedName, app.processIdentifier, app.activationPolicy,
                                app.executablePath, namesOf(app)}),
        refusal_(app.neverSignalled),
        state_(std::move(state)) {}

  std::optional<SignalRefusal> signalRefusal() const override {
    return refusal_ ? refusal_ : RunningApplication::signalRefusal();
  }

  bool terminate() override {
    std::lock_guard lock(state_->mutex);
    state_->terminateCalls.push_back(processIdentifier());
    if (processIdentifier() == ::getpid() || refusal_) return false;
    auto it = state_->find(processIdentifier());
    if (it == state_->running.end() || it->refusesTerminate) return false;
    state_->running.erase(it);
    return true;
  }

  bool isTerminated() const override {
    std::lock_guard lock(state_->mutex);
    return state_->find(processIdentifier()) == state_->running.end();
  }

  // Recorded among the signals as SIGKILL; it ends any scripted application.
  bool forceTerminate() override {
    std::lock_guard lock(state_->mutex);
    state_->signals.push_back({processIdentifier(), SIGKILL});
    if (processIdentifier() == ::getpid() || refusal_) return false;
    auto it = state_->find(processIdentifier());
    if (it == state_->running.end()) return false;
    state_->running.erase(it);
    return true;
  }

 private:
  std::optional<SignalRefusal> refusal_;
  std::shared_ptr<FakeWorkspace::State> state_;
};

}  // namespace

FakeWorkspace::FakeWorkspace() : state_(std::make_shared<State>()) {}
FakeWorkspace::~FakeWorkspace() = default;

void FakeWorkspace::setRunningApplications(std::vector<Application> applications) {
  std::lock_guard lock(state_->mutex);
  state_->running = std::move(applications);
  state_->sortRunning();
}

void FakeWorkspace::addRunningApplication(Application application) {
  std::lock_guard lock(state_->mutex);
  state_->running.push_back(std::move(application));
  state_->sortRunning();
}

void FakeWorkspace::setFrontmostApplication(std::optional<pid_t> pid) {
  std::lock_guard lock(state_->mutex);
  state_->frontmost = pid;
}

void FakeWorkspace::setLaunchResult(bool result) {
  std::lock_guard lock(state_->mutex);
  state_->launchResult = result;
}

void FakeWorkspace::setOpenResult(bool result) {
  std::lock_guard lock(state_->mutex);
  state_->openResult = result;
}

std::vector<pid_t> FakeWorkspace::terminateCalls() const {
  std::lock_guard lock(state_->mutex);
  return state_->terminateCalls;
}

std::vector<FakeWorkspace::Signal> FakeWorkspace::signals() const {
  std::lock_guard lock(state_->mutex);
  return state_->signals;
}

std::vector<std::string> FakeWorkspace::launchCalls() const {
  std::lock_guard lock(state_->mutex);
  return state_->launchCalls;
}

std::vector<std::string> FakeWorkspace::openCalls() const {
  std::lock_guard lock(state_->mutex);
  return state_->openCalls;
}

int FakeWorkspace::runningApplicationsCalls() const {
  std::lock_guard lock(state_->mutex);
  return state_->listCalls;
}

bool FakeWorkspace::isRunning(pid_t pid) const {
  std::lock_guard lock(state_->mutex);
  return state_->find(pid) != state_->running.end();
}

RunningApplications FakeWorkspace::runningApplications() {
  std::lock_guard lock(state_->mutex);
  ++state_->listCalls;
  RunningApplications list;
  for (const auto& app : state_->running) list.push_back(std::make_shared<FakeRunningApplication>(app, state_));
  return list;
}

std::shared_ptr<RunningApplication> FakeWorkspace::frontmostApplication() {
  std::lock_guard lock(state_->mutex);
  if (!state_->frontmost) return nullptr;
  auto it = state_->find(*state_->frontmost);
  if (it == state_->running.end()) return nullptr;
  return std::make_shared<FakeRunningApplication>(*it, state_);
}

bool FakeWorkspace::launchApplication(const std::string& nameOrPath) {
  std::lock_guard lock(state_->mutex);
  state_->launchCalls.push_back(nameOrPath);
  return state_->launchResult;
}

bool FakeWorkspace::open(const std::string& url) {
  std::lock_guard lock(state_->mutex);
  state_->openCalls.push_back(url);
  return state_->openResult;
}

bool FakeWorkspace::sendSignal(pid_t pid, int signal) {
  std::lock_guard lock(state_->mutex);
  state_->signals.push_back({pid, signal});
  if (pid <= 0 || pid == ::getpid()) return false;
  auto it = state_->find(pid);
  if (it == state_->running.end() || it->neverSignalled) return false;
  const bool ends =
      signal == SIGKILL || ((signal == SIGTERM || signal == SIGINT || signal == SIGHUP) && !it->ignoresSIGTERM);
  if (ends) state_->running.erase(it);
  return true;
}

}  // namespace platform
