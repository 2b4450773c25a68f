#pragma once
// Test support for the application delegate:
//   CannedService  answers the delegate's requests by path, records them, and can hold
//                  a path's replies until released (to place a reply inside or after
//                  the tick's window);
//   StubTools      a folder for the children's PATH (childPath()) with a stub `sudo` that
//                  records its arguments and standard input, runs the script set with
//                  beforeNextSudo() if any (once), and then runs the command as the
//                  test user; and recording stubs of `resolvectl`, `nscd` and `chown`;
//   RecordingQueue a dispatch queue that keeps its blocks until asked to run them;
//   AgentFixture   a file manager over a temporary home, user defaults of the test's
//                  own, the hosts target inside the home, the stubs, fakes, a canned
//                  session and the settings (hosts target, stub folder) wired into a
//                  Platform.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/app_delegate.h"
#include "networks/shared_settings.h"
#include "platform/dispatch.h"
#include "platform/fakes/fake_content_blocker.h"
#include "platform/fakes/fake_content_filter.h"
#include "platform/fakes/fake_window_list.h"
#include "platform/fakes/fake_workspace.h"
#include "platform/file_manager.h"
#include "platform/run_loop.h"
#include "platform/settings.h"
#include "platform/ui_menu.h"
#include "platform/url_session.h"
#include "platform/user_defaults.h"
#include "support/scoped_user_defaults.h"
#include "support/temp_files.h"

namespace agenttest {

inline constexpr const char* kAppRulesPath = "/api/v1/children/device-apps/smart-app-rules";
inline constexpr const char* kWebRulesPath = "/api/v1/children/rules/web-rules/web-content";
inline constexpr const char* kSafeSearchPath = "/api/v1/children/rules/web-rules/safe-search";
inline constexpr const char* kReportsPath = "/api/v1/children/reports";
// A safe-search rule set that validates and blocks nothing.
inline constexpr const char* kEmptySafeSearchRules = R"({"categoryRules":[],"exceptions":[],"isActive":true})";

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// Waits, without a fixed sleep, until `condition` holds; false after `timeout`. The
// deadline only ends a failing test (a passing one returns as soon as the condition
// holds), so it is generous: a loaded machine or a sanitizer build is slow to start.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(30000)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

struct CannedReply {
  int status = 200;
  std::string body;
  // A transport failure: no data, no response, this error.
  std::optional<platform::Error> error;
  // Paths whose held requests are delivered, in order, before this reply.
  std::vector<std::string> releaseFirst;
};

inline CannedReply reply(int status, std::string body) {
  CannedReply r;
  r.status = status;
  r.body = std::move(body);
  return r;
}

struct RecordedRequest {
  std::string url;
  std::string path;
  std::string method;
  platform::HeaderList headers;
  std::optional<platform::Data> body;
  double timeoutInterval = 0;
  std::string bodyText() const { return body ? platform::toString(*body) : ""; }
};

class CannedProtocol;

class CannedService {
 public:
  static CannedService& shared() {
    static CannedService* service = new CannedService;
    return *service;
  }
  static platform::URLProtocolClass protocolClass();

  void reset() {
    std::lock_guard lock(mutex_);
    replies_.clear();
    held_.clear();
    holding_.clear();
    requests_.clear();
  }
  // The reply for every request of the path (a path without one gets 404 "{}").
  void setReply(const std::string& path, CannedReply reply) {
    std::lock_guard lock(mutex_);
    replies_[path] = std::move(reply);
  }
  // While on, requests of the path wait until release().
  void hold(const std::string& path, bool on) {
    std::lock_guard lock(mutex_);
    holding_[path] = on;
  }
  // Delivers the held requests of the path; returns how many.
  int release(const std::string& path);
  std::size_t heldCount(const std::string& path) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& held : held_) n += held.path == path;
    return n;
  }
  std::vector<RecordedRequest> requests(const std::string& path = "") const {
    std::lock_guard lock(mutex_);
    std::vector<RecordedRequest> out;
    for (const auto& r : requests_)
      if (path.empty() || r.path == path) out.push_back(r);
    return out;
  }

  static std::string pathOf(const std::string& url) {
    auto scheme = url.find("://");
    auto slash = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    if (slash == std::string::npos) return "/";
    auto path = url.substr(slash);
    return path.substr(0, path.find('?'));
  }

  // Called by the protocol.
  void load(CannedProtocol& protocol);
  void forget(CannedProtocol* protocol) {
    std::lock_guard lock(mutex_);
    std::erase_if(held_, [&](const Held& h) { return h.protocol == protocol; });
  }

 private:
  struct Held {
    std::string path;
    CannedProtocol* protocol;
  };
  void deliver(CannedProtocol& protocol, const std::string& path);

  mutable std::mutex mutex_;
  std::map<std::string, CannedReply> replies_;
  std::map<std::string, bool> holding_;
  std::vector<Held> held_;
  std::vector<RecordedRequest> requests_;
};

class CannedProtocol : public platform::URLProtocol {
 public:
  using platform::URLProtocol::URLProtocol;
  ~CannedProtocol() override { CannedService::shared().forget(this); }
  static bool canInit(const platform::URLRequest&) { return true; }
  static platform::URLRequest canonicalRequest(const platform::URLRequest& request) { return request; }
  void startLoading() override { CannedService::shared().load(*this); }
  void stopLoading() override { CannedService::shared().forget(this); }
};

inline platform::URLProtocolClass CannedService::protocolClass() {
  return platform::URLProtocolClass::of<CannedProtocol>();
}

inline void CannedService::load(CannedProtocol& protocol) {
  const auto& request = protocol.request();
  const std::string path = pathOf(request.url);
  std::vector<std::string> releaseFirst;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(
        {request.url, path, request.httpMethod, request.headers, request.httpBody, request.timeoutInterval});
    if (holding_[path]) {
      held_.push_back({path, &protocol});
      return;
    }
    if (auto it = replies_.find(path); it != replies_.end()) releaseFirst = it->second.releaseFirst;
  }
  for (const auto& other : releaseFirst) release(other);
  deliver(protocol, path);
}

inline void CannedService::deliver(CannedProtocol& protocol, const std::string& path) {
  CannedReply reply = agenttest::reply(404, "{}");
  {
    std::lock_guard lock(mutex_);
    if (auto it = replies_.find(path); it != replies_.end()) reply = it->second;
  }
  auto* client = protocol.client();
  if (!client) return;
  if (reply.error) {
    client->didFailWithError(protocol, *reply.error);
    return;
  }
  client->didLoadData(protocol, platform::toData(reply.body));
  client->didReceiveResponse(
      protocol,
      std::make_shared<platform::HTTPURLResponse>(protocol.request().url, reply.status, platform::HeaderList{}),
      platform::URLCacheStoragePolicy::notAllowed);
  client->didFinishLoading(protocol);
}

inline int CannedService::release(const std::string& path) {
  std::vector<CannedProtocol*> ready;
  {
    std::lock_guard lock(mutex_);
    holding_[path] = false;
    for (auto it = held_.begin(); it != held_.end();) {
      if (it->path == path) {
        ready.push_back(it->protocol);
        it = held_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto* protocol : ready) deliver(*protocol, path);
  return static_cast<int>(ready.size());
}

// ---- stub tools -----------------------------------------------------------------

class StubTools {
 public:
  struct Call {
    std::vector<std::string> arguments;
    std::string standardInput;
  };

  explicit StubTools(const std::filesystem::path& folder) : folder_(folder) {
    std::filesystem::create_directories(folder_ / "bin");
    std::filesystem::create_directories(folder_ / "log" / "sudo");
    writeScript("sudo", "log=" + quoted((folder_ / "log" / "sudo").string()) + "\n" + kRecordArguments +
                            "cat > \"$log/$i.stdin\"\n"
                            "hook=" +
                            quoted((folder_ / "before-sudo").string()) +
                            "\n"
                            "if [ -f \"$hook\" ]; then bash \"$hook\"; rm -f \"$hook\"; fi\n"
                            "if [ \"$1\" != \"-S\" ]; then exec \"$@\"; fi\n"
                            // As sudo -S: the password line is read, the rest is the command's.
                            "shift\n"
                            "{ IFS= read -r _; exec \"$@\"; } < \"$log/$i.stdin\"\n");
    for (const char* tool : {"resolvectl", "nscd", "chown"}) recordingStub(tool);
  }
  StubTools(const StubTools&) = delete;
  StubTools& operator=(const StubTools&) = delete;

  std::vector<Call> calls(const std::string& tool = "sudo") const {
    std::vector<Call> out;
    for (int i = 0;; ++i) {
      const auto log = folder_ / "log" / tool;
      const auto args = log / (std::to_string(i) + ".args");
      const auto stdinFile = log / (std::to_string(i) + ".stdin");
      if (!std::filesystem::exists(args)) break;
      Call call;
      std::string raw = readFile(args);
      std::size_t start = 0;
      for (std::size_t end; (end = raw.find('\0', start)) != std::string::npos; start = end + 1)
        call.arguments.push_back(raw.substr(start, end - start));
      if (std::filesystem::exists(stdinFile)) call.standardInput = readFile(stdinFile);
      out.push_back(std::move(call));
    }
    return out;
  }
  // The command lines handed to sudo (the last argument of each call).
  std::vector<std::string> sudoCommandLines() const {
    std::vector<std::string> out;
    for (const auto& call : calls())
      if (!call.arguments.empty()) out.push_back(call.arguments.back());
    return out;
  }
  const std::filesystem::path& binFolder() const { return folder_; }
  // The folder of the stubs, to put first in the children's PATH (Settings::childPath).
  std::string childPath() const { return (folder_ / "bin").string(); }
  // Makes `tool` a stub that records its arguments and then runs `then` (bash; the
  // arguments are "$@"), as the resolvers' tools of a machine would answer.
  void recordingStub(const std::string& tool, const std::string& then = "exit 0\n") {
    std::filesystem::create_directories(folder_ / "log" / tool);
    writeScript(tool, "log=" + quoted((folder_ / "log" / tool).string()) + "\n" + kRecordArguments + then);
  }
  // A bash script that the next sudo call runs first, as the child could between the
  // agent's write and root's command.
  void beforeNextSudo(const std::string& script) const { writeFile(folder_ / "before-sudo", script); }

 private:
  // Records the call's arguments as "$log/<i>.args", <i> the first free number from 0,
  // with shell built-ins only: the file is made with noclobber (O_EXCL), so concurrent
  // calls each get their own number, and a call costs no process per earlier call.
  static constexpr const char* kRecordArguments =
      "set -C; i=0\n"
      "until printf '%s\\0' \"$@\" 2>/dev/null > \"$log/$i.args\"; do\n"
      "  [ -e \"$log/$i.args\" ] || break  # not taken, but unwritable: nothing is recorded\n"
      "  i=$((i+1))\n"
      "done\n"
      "set +C\n";
  static std::string quoted(const std::string& text) { return "'" + text + "'"; }
  void writeScript(const std::string& name, const std::string& body) {
    auto path = folder_ / "bin" / name;
    writeFile(path, "#!/bin/bash\n" + body);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  }

  std::filesystem::path folder_;
};

// ---- queues and run loops -----------------------------------------------------

class RecordingQueue final : public platform::DispatchQueue {
 public:
  std::function<void()> onAsync;  // called as each block is submitted

  void async(platform::Block block) override {
    if (onAsync) onAsync();
    std::lock_guard lock(mutex_);
    blocks_.push_back(std::move(block));
  }
  void asyncAfter(std::chrono::steady_clock::duration, platform::Block block) override { async(std::move(block)); }
  void sync(platform::Block block) override { block(); }
  bool isCurrent() const override { return false; }
  const std::string& label() const override { return label_; }

  std::size_t pending() const {
    std::lock_guard lock(mutex_);
    return blocks_.size();
  }
  // Drops the blocks without running them.
  void discardAll() {
    std::vector<platform::Block> blocks;
    {
      std::lock_guard lock(mutex_);
      blocks.swap(blocks_);
    }
  }
  void runAll() {
    std::vector<platform::Block> blocks;
    {
      std::lock_guard lock(mutex_);
      blocks.swap(blocks_);
    }
    for (auto& block : blocks) block();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<platform::Block> blocks_;
  std::string label_ = "recording";
};

// The main run loop, with every timer it is asked for recorded.
class RecordingRunLoop final : public platform::RunLoop {
 public:
  struct Scheduled {
    std::chrono::steady_clock::duration interval;  // as asked for
    bool repeats;
    platform::RunLoopMode mode;
    std::shared_ptr<platform::Timer> timer;
    std::shared_ptr<int> fired;  // how often its action ran, by the loop or by fire()
  };
  std::function<void()> onSchedule;  // called before each timer is made
  // When set, timers are made on the main loop with this interval instead of the one
  // asked for (which is still recorded), so a test can let the loop fire them.
  std::optional<std::chrono::steady_clock::duration> realInterval;

  std::shared_ptr<platform::Timer> scheduledTimer(std::chrono::steady_clock::duration interval, bool repeats,
                                                  platform::Timer::Action action, platform::RunLoopMode mode) override {
    if (onSchedule) onSchedule();
    auto fired = std::make_shared<int>(0);
    auto timer = main().scheduledTimer(
        realInterval.value_or(interval), repeats,
        [fired, action = std::move(action)](platform::Timer& t) {
          ++*fired;
          action(t);
        },
        mode);
    scheduled.push_back({interval, repeats, mode, timer, fired});
    return timer;
  }
  void add(const std::shared_ptr<platform::Timer>& timer, platform::RunLoopMode mode) override {
    main().add(timer, mode);
  }
  void run() override { main().run(); }
  void runUntil(std::chrono::steady_clock::time_point deadline) override { main().runUntil(deadline); }
  bool runUntil(const std::function<bool()>& predicate, std::chrono::steady_clock::duration timeout) override {
    return main().runUntil(predicate, timeout);
  }
  void stop() override { main().stop(); }
  platform::RunLoopMode currentMode() const override { return main().currentMode(); }
  void setCurrentMode(platform::RunLoopMode mode) override { main().setCurrentMode(mode); }

  std::vector<Scheduled> scheduled;
};

// ---- the fixture --------------------------------------------------------------

class AgentFixture : public ::testing::Test {
 protected:
  AgentFixture()
      : tools_(home_.path() / "stub-tools"), session_(makeConfiguration()), hostsTarget_(home_.path() / "etc-hosts") {
    settings_.hostsFile = hostsTarget_.string();
    settings_.systemHostsFile = hostsTarget_.string();  // root's target, never the real one
    settings_.childPath = tools_.childPath();
    CannedService::shared().reset();
    std::filesystem::create_directories(home_.path() / "Documents");
    writeFile(hostsTarget_, "# the machine's hosts file\n");
    CannedService::shared().setReply(kSafeSearchPath, reply(200, kEmptySafeSearchRules));
    CannedService::shared().setReply(kReportsPath, reply(200, R"({"message":"ok"})"));
  }
  ~AgentFixture() override { delegate_.reset(); }

  static platform::URLSessionConfiguration makeConfiguration() {
    platform::URLSessionConfiguration configuration;
    configuration.protocolClasses.push_back(CannedService::protocolClass());
    return configuration;
  }

  agent::Platform makePlatform() {
    return agent::Platform{.workspace = workspaceOverride_ ? *workspaceOverride_ : workspace_,
                           .urlSession = session_,
                           .fileManager = files(),
                           .runLoop = runLoop_,
                           .mainQueue = platform::DispatchQueue::main(),
                           .globalQueue = globalQueue_,
                           .statusBar = platform::ui::StatusBar::system(),
                           .contentBlocker = contentBlocker_,
                           .contentFilter = contentFilter_,
                           .windowList = windowList_,
                           .childUser = networks::ChildUser::make(defaults_.standard()),
                           .settings = settings_,
                           .now = [this] { return now_; },
                           .locationReporter = {},
                           .connectChannel = [this] { ++channelConnects_; }};
  }

  agent::AppDelegate& delegate() {
    if (!delegate_) delegate_ = std::make_shared<agent::AppDelegate>(makePlatform());
    return *delegate_;
  }

  // The file manager the next delegate is given: over the temporary home, or over the
  // folders that useFolders() chose last.
  platform::FileManager& files() { return otherFiles_.empty() ? home_.files() : *otherFiles_.back(); }
  // Folders of the home's settings as `change` leaves them, for the delegates made from
  // now on (the managers made before stay, for the delegates that hold them).
  void useFolders(const std::function<void(platform::Settings&)>& change) {
    platform::Settings folders = home_.settings();
    change(folders);
    otherFiles_.push_back(std::make_unique<platform::FileManager>(folders));
  }

  // The app-group suite the delegate reads: the test's own.
  platform::UserDefaults* sharedSuite() const { return &defaults_.suite(); }
  void storeToken(const std::string& token = "child-token") {
    sharedSuite()->set(std::string(networks::kSharedChildToken), token);
  }
  void storePassword(const std::string& password) {
    sharedSuite()->set(std::string(networks::kMacosPassword), password);
  }
  void setReply(const std::string& path, int status, std::string body) {
    CannedService::shared().setReply(path, reply(status, std::move(body)));
  }
  CannedService& service() { return CannedService::shared(); }

  std::string stagingPath() const { return (home_.path() / "Documents" / "hosts").string(); }
  std::string hostsTarget() const { return hostsTarget_.string(); }

  // Returns once every reply that reached the session before this call has been handled:
  // loads run in order on the session's loader queue, completions in order on its
  // callback queue, so a later request's completion comes after theirs.
  void drainSession() {
    platform::DispatchSemaphore done(0);
    platform::URLRequest barrier;
    barrier.url = "https://barrier.invalid/barrier";
    auto task = session_.dataTask(barrier, [&](auto, auto, auto) { done.signal(); });
    task->resume();
    done.wait();
  }

  // The app-rule replies are handled on the session's queue; waits until `n` were.
  bool waitForBlockedCount(std::size_t n) {
    return waitFor([&] { return delegate().blockingAppsArrayString.get().size() >= n; });
  }

  // The user's home, its configuration (the autostart folder) and data inside it.
  testsupport::TempFiles home_;
  std::vector<std::unique_ptr<platform::FileManager>> otherFiles_;
  testsupport::ScopedUserDefaults defaults_;
  StubTools tools_;
  platform::URLSession session_;
  std::filesystem::path hostsTarget_;
  // What the delegate is given as its settings: the home's, with the hosts target and
  // the stub folder.
  platform::Settings settings_ = home_.settings();
  platform::FakeWorkspace workspace_;
  platform::Workspace* workspaceOverride_ = nullptr;
  RecordingRunLoop runLoop_;
  RecordingQueue globalQueue_;
  platform::FakeContentBlockerManager contentBlocker_;
  platform::FakeFilterManager contentFilter_;
  platform::FakeWindowList windowList_;
  std::chrono::system_clock::time_point now_ = std::chrono::system_clock::now();
  int channelConnects_ = 0;
  std::shared_ptr<agent::AppDelegate> delegate_;
};

// A running application of the fake workspace that refuses the polite request, so
// that the tick's kill after it is seen too.
inline platform::FakeWorkspace::Application app(std::string id, pid_t pid) {
  platform::FakeWorkspace::Application a;
  a.bundleIdentifier = std::move(id);
  a.processIdentifier = pid;
  a.refusesTerminate = true;
  return a;
}

}  // namespace agenttest
