// What the agent never signals: a table over one /proc-like tree of a desktop session
// (the shell, the session bus, the login session's leader, setuid programs, the agent
// and its helpers, and lookalikes of each that may be stopped), then the real /proc
// with children of this test, a real setuid program where the test runs as root, and
// the Linux workspace refusing what the guard refuses.
#include "platform/signal_guard.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "platform/workspace.h"
#include "support/temp_folder.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uid_t kUser = 1000;
constexpr pid_t kAgent = 500;

// The cgroup line of a unit of the user manager (cgroup v2).
std::string userUnit(const std::string& path) {
  return "0::/user.slice/user-1000.slice/user@1000.service/" + path + "\n";
}
std::string sessionScope(int id) { return "0::/user.slice/user-1000.slice/session-" + std::to_string(id) + ".scope\n"; }

struct FakeProcess {
  pid_t pid;
  pid_t parent;
  pid_t session;
  std::string uids;    // the Uid: line's four numbers
  std::string cgroup;  // empty: no cgroup file
  std::string comm = "program";
};

// A /proc-like folder of status, stat and cgroup files, removed afterwards.
class Tree {
 public:
  Tree() : root_(testsupport::makeTemporaryFolder("signal-guard-proc")) {}
  ~Tree() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;

  void add(const FakeProcess& p) {
    const fs::path dir = root_ / std::to_string(p.pid);
    fs::create_directories(dir);
    std::ofstream(dir / "stat") << p.pid << " (" << p.comm << ") S " << p.parent << " " << p.session << " " << p.session
                                << " 0 -1 4194304 0 0 0 0 0 0 0 0 20 0 1 0 1000 0 0\n";
    std::ofstream(dir / "status") << "Name:\t" << p.comm << "\nUmask:\t0022\nState:\tS (sleeping)\nUid:\t" << p.uids
                                  << "\nGid:\t1000\t1000\t1000\t1000\n";
    if (!p.cgroup.empty()) std::ofstream(dir / "cgroup") << p.cgroup;
  }
  void write(pid_t pid, const std::string& file, const std::string& text) {
    std::ofstream(root_ / std::to_string(pid) / file) << text;
  }
  std::string path() const { return root_.string(); }

 private:
  fs::path root_;
};

const char* const kMine = "1000\t1000\t1000\t1000";
const char* const kRoot = "0\t0\t0\t0";

// One desktop session: GNOME on Wayland, logged in through a display manager, with the
// agent started by the session's autostart (so in the login session's scope).
void addDesktop(Tree& tree) {
  const std::vector<FakeProcess> processes = {
      {1, 0, 1, kRoot, "0::/init.scope\n", "systemd"},
      {390, 1, 390, kMine, userUnit("init.scope"), "systemd"},
      {300, 1, 300, kRoot, sessionScope(3), "gdm-session-wor"},
      {310, 300, 310, kMine, sessionScope(3), "gdm-wayland-ses"},
      {kAgent, 310, 310, kMine, sessionScope(3), "VelmorMopetAgen"},
      // The agent's helpers, and what it launched (in a session of its own).
      {510, kAgent, 310, kMine, sessionScope(3), "sh"},
      {511, 510, 310, kMine, sessionScope(3), "xprop"},
      {520, kAgent, 520, kMine, sessionScope(3), "game"},
      {521, 520, 520, kMine, sessionScope(3), "game-engine"},
      // The desktop's own, in the user manager's session.slice.
      {400, 390, 400, kMine, userUnit("session.slice/org.gnome.Shell@wayland.service"), "gnome-shell"},
      {401, 390, 401, kMine,
       "12:memory:/user.slice/user-1000.slice/user@1000.service\n"
       "1:name=systemd:/user.slice/user-1000.slice/user@1000.service/session.slice/dbus.service\n"
       "0::/user.slice/user-1000.slice/user@1000.service/session.slice/dbus.service\n",
       "dbus-daemon"},
      {402, 390, 402, kMine, "1:name=systemd:/user.slice/user-1000.slice/user@1000.service/session.slice/x.service\n",
       "legacy"},
      {403, 390, 403, kMine, "0::/session.slice/not-the-user-manager.service\n", "lookalike"},
      {404, 390, 404, kMine, userUnit("app.slice/app-gnome-session.slice.game-404.scope"), "lookalike"},
      // Applications: a terminal's service, its shell, a game run from it.
      {410, 390, 410, kMine, userUnit("app.slice/app-org.gnome.Terminal.slice/gnome-terminal-server.service"),
       "gnome-terminal-"},
      {420, 410, 420, kMine, userUnit("app.slice/app-org.gnome.Terminal.slice/vte-spawn-1.scope"), "bash"},
      {430, 420, 420, kMine, userUnit("app.slice/app-org.gnome.Terminal.slice/vte-spawn-1.scope"), "game"},
      // Other users: setuid programs, another user's process.
      {440, 430, 420, "1000\t0\t0\t1000", userUnit("app.slice/x.scope"), "setuid"},
      {441, 430, 420, "1000\t1000\t0\t1000", userUnit("app.slice/x.scope"), "saved"},
      {442, 430, 420, "1000\t0\t1000\t1000", userUnit("app.slice/x.scope"), "effective"},
      {443, 1, 443, "1001\t1001\t1001\t1001", "0::/user.slice/user-1001.slice/session-9.scope\n", "other"},
      // An X session started from a text login: the terminal's shell leads a session,
      // in the login session's scope, but under the user's terminal.
      {600, 310, 310, kMine, sessionScope(3), "xterm"},
      {610, 600, 610, kMine, sessionScope(3), "bash"},
      {620, 1, 620, kMine, sessionScope(3), "daemonised"},
      // Leaders: an ssh login's shell; one whose parent is gone.
      {635, 1, 635, kRoot, sessionScope(7), "sshd"},
      {640, 635, 640, kMine, sessionScope(7), "bash"},
      {630, 999, 630, kMine, sessionScope(5), "leader"},
      // A command name that pretends, in the stat line, to be the agent's child.
      {650, 1, 650, kMine, "", "x) S 500 310 310 (y"},
      {680, 1, 680, kMine, userUnit("app.slice/x.scope"), "no-uid-line"},
  };
  for (const auto& p : processes) tree.add(p);
  tree.write(680, "status", "Name:\tno-uid-line\n");
}

TEST(SignalGuard, RefusesTheDesktopsTheAgentsAndOtherUsersProcessesOnly) {
  Tree tree;
  addDesktop(tree);
  const SignalGuard guard(SignalGuard::Options{.procRoot = tree.path(), .agent = kAgent, .user = kUser});
  struct Case {
    const char* what;
    pid_t pid;
    std::optional<SignalRefusal> expected;
  };
  const std::vector<Case> cases = {
      {"the agent itself", kAgent, SignalRefusal::agentItself},
      {"the agent's helper", 510, SignalRefusal::agentHelper},
      {"its helper's child", 511, SignalRefusal::agentHelper},
      {"what the agent launched, in a session of its own", 520, std::nullopt},
      {"and its child", 521, std::nullopt},
      {"the shell, in session.slice", 400, SignalRefusal::desktopSession},
      {"the session bus, hybrid layout", 401, SignalRefusal::desktopSession},
      {"legacy layout", 402, SignalRefusal::desktopSession},
      {"a session.slice outside the user manager", 403, std::nullopt},
      {"an application whose unit name holds session.slice", 404, std::nullopt},
      {"a terminal's service, leading its own session", 410, std::nullopt},
      {"the terminal's shell", 420, std::nullopt},
      {"a game run from it", 430, std::nullopt},
      {"a setuid program", 440, SignalRefusal::otherUser},
      {"saved user another", 441, SignalRefusal::otherUser},
      {"effective user another", 442, SignalRefusal::otherUser},
      {"another user's process", 443, SignalRefusal::otherUser},
      {"the process holding the login session", 310, SignalRefusal::sessionLeader},
      {"logind's leader, root's", 300, SignalRefusal::otherUser},
      {"a terminal started in the login session", 600, std::nullopt},
      {"its shell, leading a session", 610, std::nullopt},
      {"a daemon in the session's scope, under init", 620, std::nullopt},
      {"an ssh login's shell", 640, SignalRefusal::sessionLeader},
      {"a leader whose parent is gone", 630, SignalRefusal::sessionLeader},
      {"a command name that fakes its parent", 650, std::nullopt},
      {"a status without its Uid line", 680, SignalRefusal::gone},
      {"a process /proc does not show", 777, SignalRefusal::gone},
      {"pid 0", 0, SignalRefusal::gone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(guard.refusal(c.pid), c.expected);
  }
}

TEST(SignalGuard, ADescendantIsAHelperEvenWhenTheAgentsOwnLineIsMissing) {
  Tree tree;
  tree.add({510, kAgent, 510, kMine, "", "sh"});
  const SignalGuard guard(SignalGuard::Options{.procRoot = tree.path(), .agent = kAgent, .user = kUser});
  EXPECT_EQ(guard.refusal(510), SignalRefusal::agentHelper);
}

// Children of this test, on the real /proc; each is killed at the end (only ever a
// process this test started).
class RealChildren : public ::testing::Test {
 protected:
  ~RealChildren() override {
    for (auto& child : children_) {
      if (child->sendSignal(SIGKILL)) child->waitUntilExit(5s);
    }
    std::error_code ignored;
    if (!dir_.empty()) fs::remove_all(dir_, ignored);
  }

  // Runs `program` with `arguments`; returns once `ready` holds of its /proc folder.
  Process& start(
      const std::string& program, std::vector<std::string> arguments, bool ownSession,
      const std::function<bool(const std::string&)>& ready = [](const std::string&) { return true; }) {
    auto child = std::make_unique<Process>();
    child->executablePath = program;
    child->arguments = std::move(arguments);
    child->standardInput = NullDevice{};
    child->startsNewSession = ownSession;
    EXPECT_TRUE(child->run().has_value());
    children_.push_back(std::move(child));
    const std::string proc = "/proc/" + std::to_string(children_.back()->processIdentifier());
    for (int i = 0; i < 500 && !ready(proc); ++i) std::this_thread::sleep_for(10ms);
    return *children_.back();
  }

  static std::string read(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static bool runsSleep(const std::string& proc) { return read(proc + "/comm") == "sleep\n"; }

  static int endingSignal(Process& process) {
    if (!process.waitUntilExit(5s)) return 0;
    return process.terminationReason() == TerminationReason::uncaughtSignal ? process.terminationStatus() : -1;
  }

  fs::path dir_;
  std::vector<std::unique_ptr<Process>> children_;
};

TEST_F(RealChildren, TheAgentsOwnChildrenAreHelpersUnlessInASessionOfTheirOwn) {
  const SignalGuard guard("/proc");
  EXPECT_EQ(guard.refusal(::getpid()), SignalRefusal::agentItself);
  Process& helper = start("/bin/sleep", {"60"}, false, runsSleep);
  EXPECT_EQ(guard.refusal(helper.processIdentifier()), SignalRefusal::agentHelper);
  // A shell that runs sleep as its child: the grandchild is a helper too.
  Process& shell = start("/bin/sh", {"-c", "sleep 61 & wait"}, false);
  pid_t grandchild = 0;
  for (int i = 0; i < 500 && grandchild == 0; ++i) {
    std::istringstream children(read("/proc/" + std::to_string(shell.processIdentifier()) + "/task/" +
                                     std::to_string(shell.processIdentifier()) + "/children"));
    children >> grandchild;
    if (grandchild == 0) std::this_thread::sleep_for(10ms);
  }
  ASSERT_NE(grandchild, 0);
  EXPECT_EQ(guard.refusal(grandchild), SignalRefusal::agentHelper);
  // The test's own grandchild: ended here, since killing its shell would leave it
  // holding the test's output for its whole minute.
  ::kill(grandchild, SIGKILL);
  // Launched as an application is: setsid, so the child's own program.
  Process& launched = start("/bin/sleep", {"60"}, true, runsSleep);
  EXPECT_EQ(guard.refusal(launched.processIdentifier()), std::nullopt);
}

// A setuid program of another user that this test runs: its effective and saved users
// are that user's, its real one this test's. Only root can make one.
TEST_F(RealChildren, ARealSetuidProgramIsNeverSignalled) {
  if (::geteuid() != 0) GTEST_SKIP() << "making a setuid program of another user needs root";
  dir_ = testsupport::makeTemporaryFolder("signal-guard-setuid");
  struct statvfs mount {};
  if (::statvfs(dir_.c_str(), &mount) != 0 || (mount.f_flag & ST_NOSUID) != 0)
    GTEST_SKIP() << "the temporary folder's file system ignores setuid bits (nosuid)";
  fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  const fs::path program = dir_ / "setuid-sleep";
  fs::copy_file("/bin/sleep", program);
  constexpr uid_t kNobody = 65534;
  ASSERT_EQ(::chown(program.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chmod(program.c_str(), 04755), 0);
  auto effectiveUserIsNobody = [](const std::string& proc) {
    return read(proc + "/status").find("Uid:\t0\t65534\t65534") != std::string::npos;
  };
  Process& child = start(program.string(), {"60"}, true, effectiveUserIsNobody);
  if (!effectiveUserIsNobody("/proc/" + std::to_string(child.processIdentifier())))
    GTEST_SKIP() << "exec did not take the setuid bit (no_new_privs or a sandbox)";

  const SignalGuard guard("/proc");
  EXPECT_EQ(guard.refusal(child.processIdentifier()), SignalRefusal::otherUser);
  WorkspaceOptions options;
  options.currentUserOnly = false;
  options.includeProcess = [&](pid_t pid) { return pid == child.processIdentifier(); };
  LinuxWorkspace workspace(options);
  EXPECT_FALSE(workspace.sendSignal(child.processIdentifier(), SIGTERM));
  auto app = workspace.application(child.processIdentifier());
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(app->signalRefusal(), SignalRefusal::otherUser);
  EXPECT_FALSE(app->terminate());
  EXPECT_FALSE(app->forceTerminate());
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(child.isRunning());
}

// The Linux workspace asks the guard before terminate(), forceTerminate() and
// sendSignal(): a real child of this test that ignores SIGTERM, seen through a
// /proc-like tree that says its effective user is root's, is never signalled; once the
// tree says it is the agent's user's, SIGKILL reaches it.
TEST_F(RealChildren, TheLinuxWorkspaceSignalsNothingTheGuardRefuses) {
  Process& stubborn = start("/bin/sh", {"-c", "trap '' TERM; exec sleep 60"}, true, runsSleep);
  const pid_t pid = stubborn.processIdentifier();
  dir_ = testsupport::makeTemporaryFolder("signal-guard-tree");
  const fs::path proc = dir_ / std::to_string(pid);
  fs::create_directories(proc);
  std::ofstream(proc / "stat") << pid << " (game) S 1 " << pid << " " << pid
                               << " 0 -1 4194304 0 0 0 0 0 0 0 0 20 0 1 0 1000 0 0\n";
  auto writeUsers = [&](uid_t effective) {
    std::ofstream(proc / "status") << "Name:\tgame\nUid:\t" << ::getuid() << "\t" << effective << "\t" << effective
                                   << "\t" << ::getuid() << "\n";
  };
  writeUsers(::getuid() == 0 ? 65534 : 0);
  std::ofstream(proc / "comm") << "game\n";
  std::ofstream(proc / "cmdline", std::ios::binary) << std::string("/opt/game/bin/game\0", 19);
  fs::create_symlink("/opt/game/bin/game", proc / "exe");

  WorkspaceOptions options;
  options.procRoot = dir_.string();
  options.includeProcess = [pid](pid_t candidate) { return candidate == pid; };
  LinuxWorkspace workspace(options);
  auto app = workspace.application(pid);
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(app->signalRefusal(), SignalRefusal::otherUser);
  EXPECT_FALSE(app->terminate());
  EXPECT_FALSE(app->forceTerminate());
  EXPECT_FALSE(workspace.sendSignal(pid, SIGKILL));
  EXPECT_FALSE(workspace.sendSignal(pid, SIGTERM));
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(stubborn.isRunning());

  writeUsers(::getuid());
  EXPECT_EQ(app->signalRefusal(), std::nullopt);
  EXPECT_TRUE(app->forceTerminate());
  EXPECT_EQ(endingSignal(stubborn), SIGKILL);
}

}  // namespace
}  // namespace platform
