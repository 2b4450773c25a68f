// The Linux workspace against children this test starts (and only those are signalled),
// against a fixture /proc tree, and the scripted fake.
#include "platform/workspace.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "platform/fakes/fake_workspace.h"
#include "platform/process.h"
#include "support/eventually.h"
#include "support/temp_folder.h"
#include "support/text_files.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using testsupport::eventually;
using testsupport::readText;
using testsupport::writeText;
using namespace std::chrono_literals;
using namespace std::string_literals;

// A temporary folder; children started through it are killed at the end if they
// still run (they are this test's own children, never anyone else's).
class WorkspaceTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testsupport::makeTemporaryFolder("workspace-test"); }
  void TearDown() override {
    for (auto& child : children_) {
      if (child->sendSignal(SIGKILL)) child->waitUntilExit(5s);
    }
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // A child that runs /bin/sleep with these environment additions. The variables a
  // desktop may set are cleared first so that the test's own environment cannot leak
  // into the identifier. With `prelude`, a shell runs it first and then execs sleep.
  Process& startSleeper(const std::map<std::string, std::string>& environment, const std::string& prelude = "",
                        const fs::path& program = "/bin/sleep") {
    std::map<std::string, std::string> cleared = {{"MOPET_BUNDLE_IDENTIFIER", ""},
                                                  {"FLATPAK_ID", ""},
                                                  {"SNAP_NAME", ""},
                                                  {"GIO_LAUNCHED_DESKTOP_FILE", ""},
                                                  {"GIO_LAUNCHED_DESKTOP_FILE_PID", ""},
                                                  {"BAMF_DESKTOP_FILE_HINT", ""},
                                                  {"DISPLAY", ""},
                                                  {"WAYLAND_DISPLAY", ""}};
    for (auto& [name, value] : environment) cleared[name] = value;
    auto child = std::make_unique<Process>();
    if (prelude.empty()) {
      child->executablePath = program.string();
      child->arguments = {"30"};
    } else {
      child->executablePath = "/bin/sh";
      child->arguments = {"-c", prelude + "; exec '" + program.string() + "' 30"};
    }
    child->environment = cleared;
    child->standardInput = NullDevice{};
    // In a session of its own, as a program the user started: the agent's own helpers
    // (its descendants in its session) are never signalled.
    child->startsNewSession = true;
    auto started = child->run();
    EXPECT_TRUE(started);
    children_.push_back(std::move(child));
    Process& process = *children_.back();
    // The spawn returns while the kernel may still be setting up the new image: wait
    // until the process is the sleeper and its environment is in place (through the
    // shell's exec when there is a prelude).
    const std::string proc = "/proc/" + std::to_string(process.processIdentifier());
    EXPECT_TRUE(eventually([&] {
      std::error_code error;
      return fs::read_symlink(proc + "/exe", error) == fs::canonical(program) &&
             readText(proc + "/environ").find("MOPET_BUNDLE_IDENTIFIER=") != std::string::npos;
    }));
    return process;
  }

  // A child running `program` with these arguments, waited for until its executable is
  // `exe` (after the interpreter or the shell's exec), its command line is in place and
  // `ready` holds of its /proc folder.
  Process& startProgram(
      const fs::path& program, std::vector<std::string> arguments, const fs::path& exe,
      std::map<std::string, std::string> environment = {},
      const std::function<bool(const std::string&)>& ready = [](const std::string&) { return true; }) {
    auto child = std::make_unique<Process>();
    child->executablePath = program.string();
    child->arguments = std::move(arguments);
    child->environment = std::move(environment);
    child->standardInput = NullDevice{};
    child->startsNewSession = true;  // not one of the agent's helpers, as above
    EXPECT_TRUE(child->run());
    children_.push_back(std::move(child));
    Process& process = *children_.back();
    const std::string proc = "/proc/" + std::to_string(process.processIdentifier());
    EXPECT_TRUE(eventually([&] {
      std::error_code error;
      return (exe.empty() || fs::read_symlink(proc + "/exe", error) == fs::canonical(exe)) &&
             !readText(proc + "/cmdline").empty() && ready(proc);
    }));
    return process;
  }

  // A workspace that sees only this test process and its own children.
  LinuxWorkspace ownWorkspace(WorkspaceOptions options = {}) {
    options.includeProcess = [this](pid_t pid) {
      if (pid == ::getpid()) return true;
      for (auto& child : children_) {
        if (child->processIdentifier() == pid) return true;
      }
      return false;
    };
    if (options.applicationFolders.empty()) options.applicationFolders = {(dir_ / "applications").string()};
    if (!options.childPath) options.childPath = childPath_;  // stays unset without one
    return LinuxWorkspace(std::move(options));
  }

  static std::shared_ptr<RunningApplication> find(const RunningApplications& apps, pid_t pid) {
    for (auto& app : apps) {
      if (app->processIdentifier() == pid) return app;
    }
    return nullptr;
  }

  static fs::path sleepPath() { return fs::canonical("/bin/sleep"); }

  // The children's folders of the workspaces that ownWorkspace() makes from now on.
  void putFirstInChildPath(const fs::path& folder) { childPath_ = folder.string(); }

  fs::path script(const std::string& name, const std::string& body) {
    fs::path file = dir_ / "bin" / name;
    writeText(file, "#!/bin/sh\n" + body);
    fs::permissions(file, fs::perms::owner_all);
    return file;
  }

  fs::path dir_;
  std::vector<std::unique_ptr<Process>> children_;
  std::optional<std::string> childPath_;  // unset: the current settings' folders
};

TEST_F(WorkspaceTest, ChildWithTestIdentifierIsListedAndTerminated) {
  Process& victim = startSleeper({{"MOPET_BUNDLE_IDENTIFIER", "test.mopet.victim"}});
  LinuxWorkspace workspace = ownWorkspace();

  auto apps = workspace.runningApplications();
  auto app = find(apps, victim.processIdentifier());
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(app->bundleIdentifier(), "test.mopet.victim");
  EXPECT_EQ(app->activationPolicy(), ActivationPolicy::regular);
  EXPECT_EQ(app->executablePath(), sleepPath().string());
  EXPECT_EQ(app->executableURL(), "file://" + sleepPath().string());
  EXPECT_EQ(app->localizedName(), "sleep");
  EXPECT_FALSE(app->isTerminated());

  ASSERT_TRUE(app->terminate());
  ASSERT_TRUE(victim.waitUntilExit(10s));
  EXPECT_EQ(victim.terminationReason(), TerminationReason::uncaughtSignal);
  EXPECT_EQ(victim.terminationStatus(), SIGTERM);
  EXPECT_TRUE(app->isTerminated());
  EXPECT_FALSE(app->terminate());  // gone: nothing is sent to a pid that may be reused
  EXPECT_EQ(find(workspace.runningApplications(), victim.processIdentifier()), nullptr);
}

TEST_F(WorkspaceTest, ChildIgnoringTerminationStaysListedUntilKilled) {
  // `trap '' TERM` survives the exec: the sleeper ignores SIGTERM.
  Process& stubborn = startSleeper({{"MOPET_BUNDLE_IDENTIFIER", "test.mopet.stubborn"}}, "trap '' TERM");
  LinuxWorkspace workspace = ownWorkspace();
  auto app = find(workspace.runningApplications(), stubborn.processIdentifier());
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(app->bundleIdentifier(), "test.mopet.stubborn");

  EXPECT_TRUE(app->terminate());  // delivered, and ignored
  EXPECT_TRUE(workspace.sendSignal(stubborn.processIdentifier(), SIGTERM));
  EXPECT_FALSE(stubborn.waitUntilExit(200ms));
  EXPECT_FALSE(app->isTerminated());
  EXPECT_NE(find(workspace.runningApplications(), stubborn.processIdentifier()), nullptr);

  ASSERT_TRUE(workspace.sendSignal(stubborn.processIdentifier(), SIGKILL));
  ASSERT_TRUE(stubborn.waitUntilExit(10s));
  EXPECT_EQ(stubborn.terminationStatus(), SIGKILL);
  EXPECT_TRUE(app->isTerminated());
}

TEST_F(WorkspaceTest, ListsTheUsersOwnProcessesInPidOrder) {
  LinuxWorkspace workspace;  // every process of the current user
  auto apps = workspace.runningApplications();
  ASSERT_FALSE(apps.empty());
  for (std::size_t i = 1; i < apps.size(); ++i) {
    EXPECT_LT(apps[i - 1]->processIdentifier(), apps[i]->processIdentifier());
  }
  auto self = find(apps, ::getpid());
  ASSERT_NE(self, nullptr);
  const fs::path exe = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(self->executablePath(), exe.string());
  // The test's own environment, which no thread changes.
  // NOLINTBEGIN(concurrency-mt-unsafe)
  const bool desktopGiven = std::getenv("MOPET_BUNDLE_IDENTIFIER") != nullptr || std::getenv("FLATPAK_ID") != nullptr ||
                            std::getenv("SNAP_NAME") != nullptr || std::getenv("BAMF_DESKTOP_FILE_HINT") != nullptr;
  // NOLINTEND(concurrency-mt-unsafe)
  if (!desktopGiven) {
    EXPECT_EQ(self->bundleIdentifier(), exe.filename().string());
    EXPECT_EQ(self->activationPolicy(), ActivationPolicy::accessory);
  }
  EXPECT_EQ(workspace.application(::getpid())->processIdentifier(), ::getpid());
}

TEST_F(WorkspaceTest, IdentifiersComeFromWhatTheDesktopGives) {
  const fs::path gioEntry = dir_ / "applications" / "org.example.Gio.desktop";
  writeText(gioEntry, "[Desktop Entry]\nType=Application\nName=Gio Example\nExec=gio-example\n");
  writeText(dir_ / "applications" / "org.example.Flat.desktop", "[Desktop Entry]\nName=Flat Example\nExec=flat\n");

  struct Case {
    const char* name;
    std::map<std::string, std::string> environment;
    std::string prelude;
    std::optional<std::string> identifier;
    ActivationPolicy policy;
    std::string localizedName;
  };
  const std::vector<Case> cases = {
      {"flatpak app in a desktop session",
       {{"FLATPAK_ID", "org.example.Flat"}, {"DISPLAY", ":5"}},
       "",
       "org.example.Flat",
       ActivationPolicy::regular,
       "Flat Example"},
      {"flatpak app without a display",
       {{"FLATPAK_ID", "org.example.Flat"}},
       "",
       "org.example.Flat",
       ActivationPolicy::accessory,
       "Flat Example"},
      {"snap",
       {{"SNAP_NAME", "snapapp"}, {"WAYLAND_DISPLAY", "wayland-0"}},
       "",
       "snapapp",
       ActivationPolicy::regular,
       "sleep"},
      {"launched from a desktop entry",
       {{"GIO_LAUNCHED_DESKTOP_FILE", gioEntry.string()}, {"DISPLAY", ":0"}},
       "export GIO_LAUNCHED_DESKTOP_FILE_PID=$$",
       "org.example.Gio",
       ActivationPolicy::regular,
       "Gio Example"},
      {"desktop entry inherited from a parent",
       {{"GIO_LAUNCHED_DESKTOP_FILE", gioEntry.string()}, {"GIO_LAUNCHED_DESKTOP_FILE_PID", "1"}, {"DISPLAY", ":0"}},
       "",
       "sleep",
       ActivationPolicy::accessory,
       "sleep"},
      {"bamf hint",
       {{"BAMF_DESKTOP_FILE_HINT", "/usr/share/applications/bamf-app.desktop"}, {"DISPLAY", ":0"}},
       "",
       "bamf-app",
       ActivationPolicy::regular,
       "sleep"},
      {"explicit identifier wins",
       {{"MOPET_BUNDLE_IDENTIFIER", "test.mopet.explicit"}, {"FLATPAK_ID", "org.x"}},
       "",
       "test.mopet.explicit",
       ActivationPolicy::regular,
       "sleep"},
      {"nothing given: the executable's name", {{"DISPLAY", ":0"}}, "", "sleep", ActivationPolicy::accessory, "sleep"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Process& child = startSleeper(c.environment, c.prelude);
    LinuxWorkspace workspace = ownWorkspace();
    auto app = workspace.application(child.processIdentifier());
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->bundleIdentifier(), c.identifier);
    EXPECT_EQ(app->activationPolicy(), c.policy);
    EXPECT_EQ(app->localizedName(), c.localizedName);
    child.terminate();
    child.waitUntilExit(10s);
  }
}

// A fixture /proc tree for what real children cannot show. Its pids are above the
// kernel's largest pid, so they can never name a real process.
class ProcFixture {
 public:
  explicit ProcFixture(fs::path root) : root_(std::move(root)) { fs::create_directories(root_); }

  void add(pid_t pid, const std::string& comm, char state, unsigned long flags, uid_t uid,
           std::optional<std::string> exe, const std::string& environ = "", const std::string& start = "777",
           unsigned long long image = 0) {
    const fs::path dir = root_ / std::to_string(pid);
    std::ostringstream stat;
    stat << pid << " (" << comm << ") " << state << " 1 1 1 0 -1 " << flags << " 0 0 0 0 0 0 0 0 20 0 1 0 " << start
         << " 1000 100 18446744073709551615 0 0 0";
    // With an image, the whole line of one's own process: its program's addresses.
    if (image != 0) {
      stat.str("");
      stat << pid << " (" << comm << ") " << state << " 1 1 1 0 -1 " << flags << " 0 0 0 0 0 0 0 0 20 0 1 0 " << start
           << " 1000 100 18446744073709551615 " << image << " " << image + 4096 << " " << image + 8192
           << " 0 0 0 0 0 0 0 0 0 17 5 0 0 0 0 0 " << image + 12288 << " " << image + 16384 << " " << image + 20480
           << " " << image + 24576 << " " << image + 28672 << " " << image + 28672 << " " << image + 32768 << " 0\n";
    }
    writeText(dir / "stat", stat.str());
    writeText(dir / "status",
              "Name:\t" + comm + "\nUid:\t" + std::to_string(uid) + "\t" + std::to_string(uid) + "\t0\t0\n");
    writeText(dir / "comm", comm + "\n");
    writeText(dir / "environ", environ);
    if (exe) fs::create_symlink(*exe, dir / "exe");
  }
  // /proc/<pid>/cmdline: the arguments, each ended by a NUL.
  void setCommandLine(pid_t pid, const std::vector<std::string>& arguments) {
    std::string text;
    for (const auto& argument : arguments) text += argument + '\0';
    writeText(root_ / std::to_string(pid) / "cmdline", text);
  }
  const fs::path& root() const { return root_; }

 private:
  fs::path root_;
};

TEST_F(WorkspaceTest, ProcTreeRulesForKernelThreadsOtherUsersAndOddNames) {
  ProcFixture proc(dir_ / "proc");
  const uid_t me = ::getuid();
  const uid_t other = me + 4242;
  proc.add(60000000, "kworker/0:1", 'I', 0x00200000 | 0x40, me, std::nullopt);
  proc.add(5000000, "we) ird (name", 'S', 0, me, "/opt/odd/we) ird (name (deleted)", "FOO=1\0DISPLAY=:0\0"s);
  proc.add(7000000, "zombie", 'Z', 0, me, std::nullopt);
  proc.add(8000000, "theirs", 'S', 0, other, "/usr/bin/theirs");
  proc.add(9000000, "flat", 'S', 0, me, "/usr/bin/bwrap-child",
           "FLATPAK_ID=org.example.Sandboxed\0WAYLAND_DISPLAY=wayland-1\0"s);
  fs::create_directories(proc.root() / "self");
  fs::create_directories(proc.root() / "sys");

  struct Expected {
    pid_t pid;
    std::optional<std::string> identifier;
    ActivationPolicy policy;
    std::string name;
  };
  auto check = [&](bool currentUserOnly, const std::vector<Expected>& expected) {
    WorkspaceOptions options;
    options.procRoot = proc.root().string();
    options.currentUserOnly = currentUserOnly;
    options.applicationFolders = {(dir_ / "none").string()};
    LinuxWorkspace workspace(options);
    auto apps = workspace.runningApplications();
    ASSERT_EQ(apps.size(), expected.size());
    for (std::size_t i = 0; i < apps.size(); ++i) {
      SCOPED_TRACE(expected[i].pid);
      EXPECT_EQ(apps[i]->processIdentifier(), expected[i].pid);
      EXPECT_EQ(apps[i]->bundleIdentifier(), expected[i].identifier);
      EXPECT_EQ(apps[i]->activationPolicy(), expected[i].policy);
      EXPECT_EQ(apps[i]->localizedName(), expected[i].name);
    }
  };
  // Numeric pid order (not the folder names' order); zombies are not listed.
  check(true, {{5000000, "we) ird (name", ActivationPolicy::accessory, "we) ird (name"},
               {9000000, "org.example.Sandboxed", ActivationPolicy::regular, "bwrap-child"},
               {60000000, std::nullopt, ActivationPolicy::prohibited, "kworker/0:1"}});
  check(false, {{5000000, "we) ird (name", ActivationPolicy::accessory, "we) ird (name"},
                {8000000, "theirs", ActivationPolicy::accessory, "theirs"},
                {9000000, "org.example.Sandboxed", ActivationPolicy::regular, "bwrap-child"},
                {60000000, std::nullopt, ActivationPolicy::prohibited, "kworker/0:1"}});

  // A snapshot notices the end of its process, and a pid now used by another process.
  WorkspaceOptions options;
  options.procRoot = proc.root().string();
  LinuxWorkspace workspace(options);
  auto odd = workspace.application(5000000);
  auto flat = workspace.application(9000000);
  ASSERT_NE(odd, nullptr);
  ASSERT_NE(flat, nullptr);
  EXPECT_EQ(odd->executablePath(), "/opt/odd/we) ird (name");
  EXPECT_EQ(odd->executableURL(), "file:///opt/odd/we)%20ird%20(name");  // a URL path keeps the parentheses
  EXPECT_FALSE(odd->isTerminated());
  fs::remove(proc.root() / "5000000" / "stat");
  EXPECT_TRUE(odd->isTerminated());
  EXPECT_FALSE(flat->isTerminated());
  fs::remove_all(proc.root() / "9000000");
  proc.add(9000000, "flat", 'S', 0, me, "/usr/bin/other", "", "999");
  EXPECT_TRUE(flat->isTerminated());
}

// What the system records of a process, in a fixture tree: desktop entries that run its
// very file, the sandbox's application id, the snap's control group, and the
// environment's hints on top.
TEST_F(WorkspaceTest, ProcessesAnswerToEveryNameTheSystemKnowsThemBy) {
  ProcFixture proc(dir_ / "proc");
  const uid_t me = ::getuid();
  const fs::path game = script("game", "exit 0\n");
  const fs::path hardLink = dir_ / "bin" / "renamed-game";
  fs::create_hard_link(game, hardLink);
  const fs::path symbolicLink = dir_ / "bin" / "game-link";
  fs::create_symlink(game, symbolicLink);
  const fs::path copy = script("game-copy", "exit 0\n");  // another file: another program
  const fs::path apps = dir_ / "applications";
  writeText(apps / "org.example.Game.desktop", "[Desktop Entry]\nName=Game\nExec=\"" + hardLink.string() + "\" %U\n");
  writeText(apps / "org.example.Tried.desktop",
            "[Desktop Entry]\nName=Tried\nTryExec=" + symbolicLink.string() + "\nExec=/bin/true\n");
  writeText(apps / "org.example.Copy.desktop", "[Desktop Entry]\nName=Copy\nExec=" + copy.string() + "\n");
  // `env` is looked through to the program it runs; a shell names no process.
  writeText(apps / "org.example.Env.desktop",
            "[Desktop Entry]\nName=Env\nExec=env -u HOME GAME_MODE=1 " + game.string() + " %U\n");
  writeText(apps / "org.example.Shell.desktop", "[Desktop Entry]\nName=Shell\nExec=sh -c \"exit 0\"\n");
  // An entry of 64 KiB is read; a larger one is skipped unread.
  auto padded = [&](std::size_t size) {
    std::string text = "[Desktop Entry]\nExec=" + game.string() + "\n#";
    text.append(size - text.size() - 1, 'x');
    return text + "\n";
  };
  writeText(apps / "org.example.Padded.desktop", padded(std::size_t{64} * 1024));
  writeText(apps / "org.example.Large.desktop", padded(std::size_t{64} * 1024 + 1));
  // A file that would block whoever opens it for reading, and a link: neither is read.
  ASSERT_EQ(::mkfifo((apps / "org.example.Fifo.desktop").c_str(), 0600), 0);

  auto addWith = [&](pid_t pid, const fs::path& exe, const std::string& environ, const std::string& cgroup) {
    proc.add(pid, "game", 'S', 0, me, exe.string(), environ);
    writeText(proc.root() / std::to_string(pid) / "cgroup", cgroup);
    fs::create_directories(proc.root() / std::to_string(pid) / "root");
  };
  const std::string plainGroup = "0::/user.slice/user-1000.slice/session-2.scope\n";
  addWith(1000001, game, "", plainGroup);
  addWith(1000002, copy, "", plainGroup);
  addWith(1000003, game, "", plainGroup);
  writeText(proc.root() / "1000003" / "root" / ".flatpak-info",
            "[Runtime]\nname=org.example.Platform\n\n[Application]\nname = org.example.Sandboxed\nruntime=x\n");
  addWith(1000004, game, "", plainGroup);
  ASSERT_EQ(::mkfifo((proc.root() / "1000004" / "root" / ".flatpak-info").c_str(), 0600), 0);
  addWith(1000005, game, "", plainGroup);
  fs::create_symlink(proc.root() / "1000003" / "root" / ".flatpak-info",
                     proc.root() / "1000005" / "root" / ".flatpak-info");
  addWith(1000006, game, "",
          "12:pids:/user.slice\n0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
          "snap.firefox.firefox-2f4c.scope\n");
  addWith(1000007, game, "", "0::/user.slice/user-1000.slice/user@1000.service/snap.foo_beta.daemon.service\n");
  addWith(1000008, game,
          "MOPET_BUNDLE_IDENTIFIER=test.hint\0FLATPAK_ID=org.example.Claimed\0SNAP_NAME=claimed-snap\0"
          "GIO_LAUNCHED_DESKTOP_FILE=/x/org.example.Launched.desktop\0GIO_LAUNCHED_DESKTOP_FILE_PID=1000008\0"
          "BAMF_DESKTOP_FILE_HINT=/y/bamf-app.desktop\0"s,
          plainGroup);
  addWith(1000009, game, "FLATPAK_ID=org.example.Claimed\0"s, plainGroup);
  writeText(proc.root() / "1000009" / "root" / ".flatpak-info", "[Application]\nname=org.example.Sandboxed\n");
  const fs::path shell = fs::canonical("/bin/sh");
  addWith(1000010, shell, "", plainGroup);

  const std::vector<std::string> gameNames = {"game", "org.example.Env", "org.example.Game", "org.example.Padded",
                                              "org.example.Tried"};
  auto with = [&](std::vector<std::string> extra) {
    auto names = gameNames;
    names.insert(names.end(), extra.begin(), extra.end());
    return names;
  };
  struct Expected {
    const char* name;
    pid_t pid;
    std::vector<std::string> names;
    std::optional<std::string> identifier;
  };
  const std::vector<Expected> expected = {
      {"its file under any name, through a hard or a symbolic link", 1000001, gameNames, "game"},
      {"a copy is another program", 1000002, {"game-copy", "org.example.Copy"}, "game-copy"},
      {"the sandbox's application id", 1000003, with({"org.example.Sandboxed"}), "game"},
      {"a sandbox file that is a FIFO", 1000004, gameNames, "game"},
      {"a sandbox file that is a link", 1000005, gameNames, "game"},
      {"a snap's control group", 1000006, with({"firefox", "firefox_firefox"}), "game"},
      {"a parallel snap instance", 1000007, with({"foo_beta", "foo", "foo+beta_daemon"}), "game"},
      {"every hint adds a name", 1000008,
       with({"test.hint", "org.example.Claimed", "claimed-snap", "org.example.Launched", "bamf-app"}), "test.hint"},
      {"a claimed id beside the recorded one", 1000009, with({"org.example.Sandboxed", "org.example.Claimed"}),
       "org.example.Claimed"},
      {"a shell is not named by an entry that runs one",
       1000010,
       {shell.filename().string()},
       shell.filename().string()},
  };

  WorkspaceOptions options;
  options.procRoot = proc.root().string();
  options.applicationFolders = {apps.string(), (dir_ / "missing").string()};
  LinuxWorkspace workspace(options);
  auto running = workspace.runningApplications();
  ASSERT_EQ(running.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(running[i]->processIdentifier(), expected[i].pid);
    EXPECT_EQ(running[i]->names(), expected[i].names);
    EXPECT_EQ(running[i]->bundleIdentifier(), expected[i].identifier);
    for (const auto& name : expected[i].names) EXPECT_TRUE(running[i]->isNamed(name)) << name;
    EXPECT_FALSE(running[i]->isNamed("org.example.Fifo"));
    EXPECT_FALSE(running[i]->isNamed("org.example.Large"));
  }

  // A desktop entry added later: a listing goes on with the index it has, which is
  // made again at most once a minute, off the listing's thread.
  options.desktopIndexInterval = 0ms;
  LinuxWorkspace eager(options);
  ASSERT_FALSE(eager.application(1000001)->isNamed("org.example.Later"));
  writeText(apps / "org.example.Later.desktop", "[Desktop Entry]\nName=Later\nExec=" + game.string() + "\n");
  fs::last_write_time(apps, fs::last_write_time(apps) + 1s);  // a change whatever the clock's grain
  EXPECT_FALSE(workspace.application(1000001)->isNamed("org.example.Later"));
  // The first listing after the change starts the rebuild and does not wait for it.
  EXPECT_FALSE(eager.application(1000001)->isNamed("org.example.Later"));
  EXPECT_TRUE(eventually([&] { return eager.application(1000001)->isNamed("org.example.Later"); }));
}

// An entry names the processes that run its program with its fixed arguments (the
// words of Exec after the program, up to the first field code) first among theirs.
TEST_F(WorkspaceTest, DesktopEntriesNameOnlyTheProcessesThatRunTheirCommand) {
  ProcFixture proc(dir_ / "proc");
  const fs::path bin = dir_ / "bin";
  for (const char* name : {"sleep", "python3", "firefox-esr", "tool", "game", "tried", "tried-wrapper"}) {
    script(name, "exit 0\n");
  }
  const fs::path apps = dir_ / "applications";
  auto entry = [&](const std::string& id, const std::string& lines) {
    writeText(apps / (id + ".desktop"), "[Desktop Entry]\nName=" + id + "\n" + lines + "\n");
  };
  entry("a.Sleep600", "Exec=sleep 600");
  entry("b.Python", "Exec=python3 /opt/game/run.py %f");
  entry("c.Firefox", "Exec=" + (bin / "firefox-esr").string() + " %u");
  entry("d.Quoted", R"(Exec=tool "two words" "back\\\\slash" "say \"hi\" \$5" 100%% %U)");
  entry("e.Env", "Exec=env GAME_MODE=1 game --level 3 %U");
  entry("f.Shell", "Exec=sh -c \"game --level 3\"");
  entry("g.Code", "Exec=game --name=%c --fast");
  entry("h.Tried", "TryExec=" + (bin / "tried").string() + "\nExec=" + (bin / "tried-wrapper").string() + " --go");
  entry("i.TriedSame", "TryExec=sleep\nExec=sleep 900");
  entry("j.EnvShell", "Exec=env FOO=1 bash -c \"game --level 3\"");

  struct Case {
    const char* name;
    fs::path program;
    std::optional<std::vector<std::string>> commandLine;  // nullopt: unreadable
    std::vector<std::string> names;
  };
  const fs::path shell = fs::canonical("/bin/sh");
  const std::vector<Case> cases = {
      {"the fixed arguments", "sleep", {{"sleep", "600"}}, {"sleep", "a.Sleep600"}},
      {"more arguments after them", "sleep", {{"sleep", "600", "more"}}, {"sleep", "a.Sleep600"}},
      {"whatever argv[0] says", "sleep", {{"sleeper", "600"}}, {"sleep", "a.Sleep600"}},
      {"other arguments", "sleep", {{"sleep", "0.1"}}, {"sleep"}},
      {"words compared whole", "sleep", {{"sleep", "6000"}}, {"sleep"}},
      {"none of them", "sleep", {{"sleep"}}, {"sleep"}},
      {"TryExec of the Exec program: its arguments apply", "sleep", {{"sleep", "900"}}, {"sleep", "i.TriedSame"}},
      {"no command line to compare", "sleep", std::nullopt, {"sleep"}},
      {"up to the field code", "python3", {{"python3", "/opt/game/run.py", "save1"}}, {"python3", "b.Python"}},
      {"another script of the interpreter", "python3", {{"python3", "/opt/other/run.py"}}, {"python3"}},
      {"no fixed arguments: every process",
       "firefox-esr",
       {{"firefox-esr", "https://example.com"}},
       {"firefox-esr", "c.Firefox"}},
      {"no fixed arguments, no command line", "firefox-esr", std::nullopt, {"firefox-esr", "c.Firefox"}},
      {"unquoted and unescaped",
       "tool",
       {{"tool", "two words", "back\\slash", "say \"hi\" $5", "100%", "file"}},
       {"tool", "d.Quoted"}},
      {"the quoted words split", "tool", {{"tool", "two", "words", "back\\slash", "say \"hi\" $5", "100%"}}, {"tool"}},
      {"env looked through; a field code inside a word ends them",
       "game",
       {{"game", "--level", "3"}},
       {"game", "e.Env", "g.Code"}},
      {"env's command with other arguments", "game", {{"game", "--level", "4"}}, {"game", "g.Code"}},
      {"a shell is named by no entry that runs one",
       shell,
       {{"sh", "-c", "game --level 3"}},
       {shell.filename().string()}},
      {"TryExec of another program: every process of it", "tried", {{"tried", "x"}}, {"tried", "h.Tried"}},
      {"the Exec program of that entry", "tried-wrapper", {{"tried-wrapper", "--go"}}, {"tried-wrapper", "h.Tried"}},
      {"the Exec program, other arguments", "tried-wrapper", {{"tried-wrapper", "--stop"}}, {"tried-wrapper"}},
  };
  const uid_t me = ::getuid();
  pid_t pid = 1000200;
  for (const auto& c : cases) {
    const fs::path exe = c.program.is_absolute() ? c.program : bin / c.program;
    proc.add(pid, exe.filename().string(), 'S', 0, me, exe.string());
    if (c.commandLine) proc.setCommandLine(pid, *c.commandLine);
    ++pid;
  }
  WorkspaceOptions options;
  options.procRoot = proc.root().string();
  options.applicationFolders = {apps.string()};
  options.childPath = bin.string();
  LinuxWorkspace workspace(options);
  auto running = workspace.runningApplications();
  ASSERT_EQ(running.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(running[i]->names(), cases[i].names);
    EXPECT_EQ(running[i]->bundleIdentifier(), cases[i].names.front());  // the reported identifier is as before
  }
}

// A program run through the dynamic loader, or a script run by its interpreter (by
// name or as the interpreter's argument), is also known by the names of the file it
// runs; the names it had stay.
TEST_F(WorkspaceTest, ProgramsRunByALoaderOrAnInterpreterAnswerToTheirNames) {
  fs::path loader;
  for (const char* candidate : {"/lib64/ld-linux-x86-64.so.2", "/lib/ld-linux-aarch64.so.1", "/lib/ld-linux.so.2"}) {
    if (loader.empty() && fs::exists(candidate)) loader = candidate;
  }
  const fs::path python = "/usr/bin/python3";
  if (loader.empty() || !fs::exists(python)) GTEST_SKIP() << "no dynamic loader or python3 here";

  const fs::path bin = dir_ / "bin";
  const fs::path game = bin / "blockedgame";
  fs::create_directories(bin);
  fs::copy_file("/bin/sleep", game);
  fs::permissions(game, fs::perms::owner_all);
  auto writeScript = [&](const std::string& name, const std::string& text) {
    writeText(bin / name, text);
    fs::permissions(bin / name, fs::perms::owner_all);
    return bin / name;
  };
  const fs::path pyGame = writeScript("game.py", "#!" + python.string() + "\nimport time\ntime.sleep(30)\n");
  const fs::path envGame = writeScript("envgame.py", "#!/usr/bin/env python3\nimport time\ntime.sleep(30)\n");
  // The shell waits in its own `read` on a FIFO that nobody writes: one process.
  const fs::path fifo = dir_ / "never-written";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path shGame = writeScript("game.sh", "#!/bin/sh\nread line < '" + fifo.string() + "'\n");
  const fs::path apps = dir_ / "applications";
  writeText(apps / "org.example.Blocked.desktop", "[Desktop Entry]\nExec=" + game.string() + " %U\n");
  writeText(apps / "org.example.Script.desktop", "[Desktop Entry]\nExec=" + pyGame.string() + " --level 3\n");
  writeText(apps / "org.example.ShellGame.desktop", "[Desktop Entry]\nExec=" + shGame.string() + "\n");
  const fs::path shell = fs::canonical("/bin/sh");
  const std::string pythonName = fs::canonical(python).filename().string();
  const std::string loaderName = fs::canonical(loader).filename().string();

  struct Case {
    const char* name;
    fs::path program;
    std::vector<std::string> arguments;
    fs::path exe;
    std::vector<std::string> names;    // names() in this order
    std::vector<std::string> missing;  // names it must not have
  };
  const std::vector<Case> cases = {
      {"a program through the loader",
       loader,
       {game.string(), "30"},
       loader,
       {loaderName, "blockedgame", "org.example.Blocked"},
       {}},
      {"a script run by name", pyGame, {"--level", "3"}, python, {pythonName, "game.py", "org.example.Script"}, {}},
      {"the script through its interpreter",
       python,
       {pyGame.string(), "--level", "3"},
       python,
       {pythonName, "game.py", "org.example.Script"},
       {}},
      {"the interpreter's options before it",
       python,
       {"-u", "-W", "ignore", pyGame.string(), "--level", "3"},
       python,
       {pythonName, "game.py", "org.example.Script"},
       {}},
      {"other arguments of the script",
       pyGame,
       {"--level", "4"},
       python,
       {pythonName, "game.py"},
       {"org.example.Script"}},
      {"a script relative to the interpreter's folder",
       "/bin/sh",
       {"-c", "cd '" + bin.string() + "' && exec python3 game.py --level 3"},
       python,
       {pythonName, "game.py", "org.example.Script"},
       {}},
      {"a script whose #! line goes through env", envGame, {}, python, {pythonName, "envgame.py"}, {}},
      {"a shell script run by name",
       shGame,
       {},
       shell,
       {shell.filename().string(), "game.sh", "org.example.ShellGame"},
       {}},
      {"a command given inline is no script",
       python,
       {"-c", "import time; time.sleep(30)", pyGame.string()},
       python,
       {pythonName},
       {"game.py"}},
      {"the loader running an interpreter running a script (by a link's name, and its file's)",
       loader,
       {python.string(), pyGame.string(), "--level", "3"},
       loader,
       {loaderName, "python3", pythonName, "game.py", "org.example.Script"},
       {}},
  };
  LinuxWorkspace workspace = ownWorkspace();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // `env python3` and the shell's python3 are the system's.
    Process& child = startProgram(c.program, c.arguments, c.exe, {{"PATH", python.parent_path().string()}});
    auto app = workspace.application(child.processIdentifier());
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->names(), c.names);
    EXPECT_EQ(app->bundleIdentifier(), c.names.front());  // as before
    for (const auto& name : c.missing) EXPECT_FALSE(app->isNamed(name)) << name;
  }
}

// A process whose executable cannot be read (it made itself non-dumpable) is named by
// its command name and by the program its command line starts with.
TEST_F(WorkspaceTest, AProcessThatHidesItsExecutableIsNamedFromItsCommandLine) {
  if (::geteuid() == 0) {
    // Root reads every process's executable: the case runs again as an ordinary user.
    const fs::path setpriv = "/usr/bin/setpriv";
    if (!fs::exists(setpriv)) GTEST_SKIP() << "running as root without setpriv";
    // The build may lie in a folder that only root can enter (a clone under /root):
    // the ordinary user runs copies of the test and of its program from a folder of
    // /tmp that it can read, and works in /tmp.
    std::error_code error;
    if ((fs::status("/tmp", error).permissions() & fs::perms::sticky_bit) == fs::perms::none) {
      GTEST_SKIP() << "running as root without a shared /tmp for the ordinary user's run";
    }
    const fs::path stage = testsupport::makeTemporaryFolderIn("/tmp", "workspace-nobody");
    struct Cleanup {
      fs::path folder;
      ~Cleanup() {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
      }
    } cleanup{stage};
    const auto readable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                          fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(stage, readable);
    fs::copy_file("/proc/self/exe", stage / "workspace_test");
    fs::copy_file(MOPET_HIDDEN_PROGRAM, stage / "hidden_program");
    fs::permissions(stage / "workspace_test", readable);
    fs::permissions(stage / "hidden_program", readable);
    Process inner;
    inner.executablePath = setpriv.string();
    inner.arguments = {"--reuid=65534", "--regid=65534", "--clear-groups", (stage / "workspace_test").string(),
                       "--gtest_filter=WorkspaceTest.AProcessThatHidesItsExecutableIsNamedFromItsCommandLine"};
    inner.environment = {{"TMPDIR", "/tmp"}, {"MOPET_HIDDEN_PROGRAM_PATH", (stage / "hidden_program").string()}};
    Pipe output;
    inner.standardInput = NullDevice{};
    inner.standardOutput = output;
    inner.standardError = output;
    ASSERT_TRUE(inner.run());
    const std::string text = toString(output.fileHandleForReading().readDataToEndOfFile());
    ASSERT_TRUE(inner.waitUntilExit(20s));
    EXPECT_EQ(inner.terminationStatus(), 0) << text;
    EXPECT_NE(text.find("[  PASSED  ] 1 test"), std::string::npos) << text;
    EXPECT_EQ(text.find("SKIPPED"), std::string::npos) << text;
    return;
  }
  const fs::path bin = dir_ / "bin";
  const fs::path hidden = bin / "hiddengame";
  fs::create_directories(bin);
  // Set by root's run above; read before this test starts any thread.
  const char* staged = std::getenv("MOPET_HIDDEN_PROGRAM_PATH");  // NOLINT(concurrency-mt-unsafe)
  fs::copy_file(staged != nullptr ? staged : MOPET_HIDDEN_PROGRAM, hidden);
  fs::permissions(hidden, fs::perms::owner_all);
  const fs::path apps = dir_ / "applications";
  writeText(apps / "org.example.Hidden.desktop", "[Desktop Entry]\nExec=" + hidden.string() + " --mode fast %U\n");
  writeText(apps / "org.example.Slow.desktop", "[Desktop Entry]\nExec=" + hidden.string() + " --mode slow\n");

  Process& child = startProgram(hidden, {"--mode", "fast"}, "", {{"HIDDEN_COMM", "renamed"}},
                                [](const std::string& proc) { return readText(proc + "/comm") == "renamed\n"; });
  std::error_code error;
  (void)fs::read_symlink("/proc/" + std::to_string(child.processIdentifier()) + "/exe", error);
  if (!error) GTEST_SKIP() << "this user can read a non-dumpable process's executable";

  LinuxWorkspace workspace = ownWorkspace();
  auto app = workspace.application(child.processIdentifier());
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(app->names(), (std::vector<std::string>{"renamed", "hiddengame", "org.example.Hidden"}));
  EXPECT_EQ(app->bundleIdentifier(), "renamed");  // as before
  EXPECT_EQ(app->executablePath(), std::nullopt);
  ASSERT_TRUE(app->terminate());
  EXPECT_TRUE(child.waitUntilExit(10s));
}

// Names are read once per program: a pid that now belongs to a new process (another
// start time), or a process that started another program (same start time, another
// executable), is read anew; the same process running the same program is not.
TEST_F(WorkspaceTest, NamesAreReadAgainForARecycledPidAndForANewProgram) {
  ProcFixture proc(dir_ / "proc");
  const uid_t me = ::getuid();
  const fs::path shell = script("launcher", "exit 0\n");
  const fs::path game = script("game", "exit 0\n");
  const pid_t pid = 1000100;
  // Once with stat lines that show no program image, once with whole lines in which
  // every exec gives another image (and the command name stays, as it may).
  for (bool withImage : {false, true}) {
    SCOPED_TRACE(withImage ? "stat lines with the program's image" : "stat lines without it");
    unsigned long long image = 0x550000000000ULL;
    auto put = [&](const fs::path& exe, const std::string& start, const std::string& environ) {
      fs::remove_all(proc.root() / std::to_string(pid));
      image += 0x1000000;
      proc.add(pid, withImage ? "worker" : exe.filename().string(), 'S', 0, me, exe.string(), environ, start,
               withImage ? image : 0);
    };
    WorkspaceOptions options;
    options.procRoot = proc.root().string();
    options.applicationFolders = {(dir_ / "none").string()};
    LinuxWorkspace workspace(options);
    auto namesNow = [&] {
      auto running = workspace.runningApplications();
      return running.size() == 1 ? running[0]->names()
                                 : std::vector<std::string>{"<" + std::to_string(running.size()) + " listed>"};
    };

    put(shell, "500", "MOPET_BUNDLE_IDENTIFIER=first\0"s);
    EXPECT_EQ(namesNow(), (std::vector<std::string>{"launcher", "first"}));
  // The same process with the same program: what was read stands.
    writeText(proc.root() / std::to_string(pid) / "environ", "MOPET_BUNDLE_IDENTIFIER=changed"s);
    EXPECT_EQ(namesNow(), (std::vector<std::string>{"launcher", "first"}));
  // The pid recycled for another process of the same program.
    put(shell, "501", "MOPET_BUNDLE_IDENTIFIER=second\0"s);
    EXPECT_EQ(namesNow(), (std::vector<std::string>{"launcher", "second"}));
  // That process starts another program: same pid, same start time.
    put(game, "501", "MOPET_BUNDLE_IDENTIFIER=second\0"s);
    EXPECT_EQ(namesNow(), (std::vector<std::string>{"game", "second"}));
  // Gone, then back under the old key: nothing of the earlier process is kept.
    fs::remove_all(proc.root() / std::to_string(pid));
    EXPECT_EQ(namesNow(), (std::vector<std::string>{"<0 listed>"}));
    put(game, "501", "MOPET_BUNDLE_IDENTIFIER=third\0"s);
    EXPECT_EQ(namesNow(), (std::vector<std::string>{"game", "third"}));
  }
}

// The listing keeps what it read of each process in pid order: processes that come
// before, between and after the ones kept, and those that end, leave every other one
// named as it was read, and a pid looked up on its own between listings is kept too.
TEST_F(WorkspaceTest, ProcessesComingAndGoingAnywhereInPidOrderKeepTheirNames) {
  ProcFixture proc(dir_ / "proc");
  const uid_t me = ::getuid();
  const fs::path program = script("program", "exit 0\n");
  auto put = [&](pid_t pid, const std::string& name) {
    proc.add(pid, "program", 'S', 0, me, program.string(), "MOPET_BUNDLE_IDENTIFIER=" + name + '\0');
  };
  auto remove = [&](pid_t pid) { fs::remove_all(proc.root() / std::to_string(pid)); };
  WorkspaceOptions options;
  options.procRoot = proc.root().string();
  options.applicationFolders = {(dir_ / "none").string()};
  LinuxWorkspace workspace(options);
  auto listed = [&] {
    std::vector<std::pair<pid_t, std::string>> result;
    for (const auto& app : workspace.runningApplications())
      result.emplace_back(app->processIdentifier(), app->bundleIdentifier().value_or("-"));
    return result;
  };
  using Listed = std::vector<std::pair<pid_t, std::string>>;

  put(1000200, "b");
  put(1000400, "d");
  put(1000600, "f");
  EXPECT_EQ(listed(), (Listed{{1000200, "b"}, {1000400, "d"}, {1000600, "f"}}));
  // What was read stands while the process does: a changed environment is not read.
  for (pid_t pid : {1000200, 1000400, 1000600})
    writeText(proc.root() / std::to_string(pid) / "environ", "MOPET_BUNDLE_IDENTIFIER=changed"s);
  remove(1000400);
  put(1000100, "a");
  put(1000300, "c");
  put(1000500, "e");
  put(1000700, "g");
  EXPECT_EQ(listed(),
            (Listed{{1000100, "a"}, {1000200, "b"}, {1000300, "c"}, {1000500, "e"}, {1000600, "f"}, {1000700, "g"}}));
  // One pid on its own, then gone ones and a new one at the front.
  put(1000450, "between");
  ASSERT_NE(workspace.application(1000450), nullptr);
  EXPECT_EQ(workspace.application(1000450)->bundleIdentifier(), "between");
  writeText(proc.root() / "1000450" / "environ", "MOPET_BUNDLE_IDENTIFIER=changed"s);
  remove(1000100);
  remove(1000600);
  put(1000050, "first");
  EXPECT_EQ(
      listed(),
      (Listed{
          {1000050, "first"}, {1000200, "b"}, {1000300, "c"}, {1000450, "between"}, {1000500, "e"}, {1000700, "g"}}));
  // A pid that ended and came back is read again, whatever was kept of it.
  put(1000600, "f again");
  EXPECT_EQ(workspace.application(1000600)->bundleIdentifier(), "f again");
  EXPECT_EQ(listed().size(), 7U);
}

// A blocked program started with every hint of its environment naming something else
// still answers to its own names.
TEST_F(WorkspaceTest, EnvironmentHintsAddNamesAndHideNone) {
  const fs::path program = dir_ / "bin" / "blockedgame";
  fs::create_directories(program.parent_path());
  fs::copy_file("/bin/sleep", program);
  fs::permissions(program, fs::perms::owner_all);
  writeText(dir_ / "applications" / "org.example.BlockedGame.desktop",
            "[Desktop Entry]\nName=Blocked Game\nExec=" + program.string() + " %U\n");
  writeText(dir_ / "applications" / "org.example.Decoy.desktop", "[Desktop Entry]\nName=Decoy\nExec=/bin/true\n");
  Process& child =
      startSleeper({{"MOPET_BUNDLE_IDENTIFIER", "allowed.one"},
                    {"FLATPAK_ID", "org.example.Decoy"},
                    {"SNAP_NAME", "decoy"},
                    {"GIO_LAUNCHED_DESKTOP_FILE", (dir_ / "applications/org.example.Decoy.desktop").string()},
                    {"BAMF_DESKTOP_FILE_HINT", "/usr/share/applications/decoy-bamf.desktop"},
                    {"DISPLAY", ":0"}},
                   "export GIO_LAUNCHED_DESKTOP_FILE_PID=$$", program);
  LinuxWorkspace workspace = ownWorkspace();
  auto app = workspace.application(child.processIdentifier());
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(app->bundleIdentifier(), "allowed.one");  // the reported identifier is as before
  EXPECT_EQ(app->names(), (std::vector<std::string>{"blockedgame", "org.example.BlockedGame", "allowed.one",
                                                    "org.example.Decoy", "decoy", "decoy-bamf"}));
  EXPECT_EQ(app->localizedName(), "blockedgame");
}

// Whatever names it, the agent's own process is never signalled by the workspace.
TEST_F(WorkspaceTest, NeverSignalsItsOwnProcess) {
  static std::atomic<int> received{0};
  struct sigaction handler {};
  handler.sa_handler = [](int) { received.fetch_add(1); };
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGTERM, &handler, &previous), 0);

  LinuxWorkspace workspace = ownWorkspace();
  auto self = workspace.application(::getpid());
  ASSERT_NE(self, nullptr);
  EXPECT_FALSE(self->names().empty());
  EXPECT_FALSE(self->terminate());
  EXPECT_FALSE(workspace.sendSignal(::getpid(), SIGTERM));
  EXPECT_FALSE(workspace.sendSignal(::getpid(), SIGKILL));
  EXPECT_FALSE(self->isTerminated());

  FakeWorkspace fake;
  FakeWorkspace::Application me;
  me.bundleIdentifier = "me";
  me.processIdentifier = ::getpid();
  fake.setRunningApplications({me});
  EXPECT_FALSE(fake.runningApplications().at(0)->terminate());
  EXPECT_FALSE(fake.sendSignal(::getpid(), SIGTERM));
  EXPECT_TRUE(fake.isRunning(::getpid()));

  ASSERT_EQ(::sigaction(SIGTERM, &previous, nullptr), 0);
  EXPECT_EQ(received.load(), 0);
}

TEST(DesktopEntryTest, ExecValuesBecomeArguments) {
  struct Case {
    const char* name;
    std::string exec;
    std::vector<std::string> arguments;
  };
  const std::vector<Case> cases = {
      {"plain words", "mopet --start  now", {"mopet", "--start", "now"}},
      {"file codes dropped", "viewer %U --flag %f", {"viewer", "--flag"}},
      {"quoted with escapes", R"("/opt/My App/run" "a \"b\" \$c \\d" x)", {"/opt/My App/run", R"(a "b" $c \d)", "x"}},
      {"name, path, icon and percent",
       "tool %c %k %i 100%%",
       {"tool", "Tool Name", "/apps/tool.desktop", "--icon", "tool-icon", "100%"}},
      {"unterminated quote", "\"broken", {}},
      {"only field codes", "%u", {}},
      {"empty", "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DesktopEntry entry;
    entry.exec = c.exec;
    entry.name = "Tool Name";
    entry.path = "/apps/tool.desktop";
    entry.icon = "tool-icon";
    EXPECT_EQ(desktopEntryArguments(entry), c.arguments);
  }
}

TEST_F(WorkspaceTest, DesktopEntryFileIsRead) {
  const fs::path file = dir_ / "so.example.Tool.desktop";
  writeText(file,
            "# comment\n[Other Group]\nName=Not this\n[Desktop Entry]\nType=Application\nName[de]=Werkzeug\n"
            "Name = Tool\\sOne\nExec=tool\\\\x %U\nTryExec=tool\nIcon=tool\nNoDisplay=true\n[Desktop Action x]\n"
            "Name=Action\n");
  auto entry = readDesktopEntry(file.string());
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->id, "so.example.Tool");
  EXPECT_EQ(entry->name, "Tool One");
  EXPECT_EQ(entry->type, "Application");
  EXPECT_EQ(entry->exec, "tool\\x %U");
  EXPECT_EQ(entry->tryExec, "tool");
  EXPECT_TRUE(entry->noDisplay);
  EXPECT_FALSE(entry->hidden);

  writeText(dir_ / "nogroup.desktop", "Name=x\n");
  EXPECT_FALSE(readDesktopEntry((dir_ / "nogroup.desktop").string()));
  EXPECT_FALSE(readDesktopEntry((dir_ / "missing.desktop").string()));
}

TEST_F(WorkspaceTest, LaunchApplicationFindsDesktopEntriesAndExecutables) {
  const fs::path marker = dir_ / "launched";
  const fs::path app =
      script("mopet-app",
             "{ printf '%s\\n' \"$@\"; echo \"file=$GIO_LAUNCHED_DESKTOP_FILE\";"
             " [ \"$GIO_LAUNCHED_DESKTOP_FILE_PID\" = $$ ] && echo pid-matches; } > '" +
                 marker.string() + ".tmp' && mv '" + marker.string() + ".tmp' '" + marker.string() + "'\n");
  const fs::path entry = dir_ / "applications" / "so.velmorhome.Mopet.desktop";
  writeText(entry, "[Desktop Entry]\nType=Application\nName=Mopet\nExec=\"" + app.string() + "\" --from %k %U\n");
  writeText(dir_ / "applications" / "hidden.desktop", "[Desktop Entry]\nName=Hidden\nHidden=true\nExec=/bin/true\n");
  writeText(dir_ / "applications" / "gone.desktop",
            "[Desktop Entry]\nName=Gone\nTryExec=/nonexistent/gone\nExec=/bin/true\n");
  LinuxWorkspace workspace = ownWorkspace();

  struct Case {
    const char* name;
    std::string argument;
  };
  for (const auto& c : std::vector<Case>{{"display name with .app", "Mopet.app"},
                                         {"last part of the id", "mopet"},
                                         {"desktop-entry id", "so.velmorhome.Mopet"},
                                         {"path of the entry", entry.string()}}) {
    SCOPED_TRACE(c.name);
    fs::remove(marker);
    ASSERT_TRUE(workspace.launchApplication(c.argument));
    ASSERT_TRUE(eventually([&] { return fs::exists(marker); }));
    EXPECT_EQ(readText(marker), "--from\n" + entry.string() + "\nfile=" + entry.string() + "\npid-matches\n");
  }

  // An executable path, and a name found in the children's PATH.
  fs::remove(marker);
  ASSERT_TRUE(workspace.launchApplication(app.string()));
  ASSERT_TRUE(eventually([&] { return fs::exists(marker); }));
  EXPECT_EQ(readText(marker), "\nfile=\npid-matches\n");  // printf prints one empty line without arguments
  putFirstInChildPath(dir_ / "bin");
  fs::remove(marker);
  ASSERT_TRUE(ownWorkspace().launchApplication("mopet-app"));
  ASSERT_TRUE(eventually([&] { return fs::exists(marker); }));

  for (const char* missing : {"Hidden", "Gone", "No Such App.app", "", "/nonexistent/app"}) {
    SCOPED_TRACE(missing);
    EXPECT_FALSE(workspace.launchApplication(missing));
  }
}

TEST_F(WorkspaceTest, OpenHandsValidURLsToXdgOpen) {
  const fs::path record = dir_ / "opened";
  script("xdg-open", "printf '%s\\n' \"$@\" >> '" + record.string() + "'\n");
  putFirstInChildPath(dir_ / "bin");
  LinuxWorkspace workspace = ownWorkspace();

  for (const char* bad : {"", "no-scheme", "-x:foo", "1http://x", "https://a b", "http://x\n", "mailto:"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(workspace.open(bad));
  }
  ASSERT_TRUE(workspace.open("https://example.com/user-guide/documents?a=1&b='2'"));
  ASSERT_TRUE(eventually([&] { return readText(record).ends_with("\n"); }));
  EXPECT_EQ(readText(record), "https://example.com/user-guide/documents?a=1&b='2'\n");
}

TEST_F(WorkspaceTest, FrontmostApplicationComesFromTheActiveWindow) {
  // A stub xprop: the root window's active window, and that window's pid.
  const fs::path answers = dir_ / "answers";
  script("xprop",
         "[ \"$DISPLAY\" = ':7' ] || exit 9\n"
         "if [ \"$1\" = -root ]; then cat '" +
             (answers / "active").string() +
             "'; exit; fi\n"
             "[ \"$1 $3\" = \"-id _NET_WM_PID\" ] || exit 8\n"
             "cat '" +
             (answers / "pid").string() + "'\n");
  putFirstInChildPath(dir_ / "bin");
  writeText(answers / "pid", "_NET_WM_PID(CARDINAL) = " + std::to_string(::getpid()) + "\n");

  struct Case {
    const char* name;
    std::optional<std::string> display;
    std::string active;
    bool found;
  };
  const std::vector<Case> cases = {
      {"active window of this process", ":7", "_NET_ACTIVE_WINDOW(WINDOW): window id # 0x3a00007\n", true},
      {"no active window", ":7", "_NET_ACTIVE_WINDOW(WINDOW): window id # 0x0\n", false},
      {"garbage", ":7", "_NET_ACTIVE_WINDOW:  not found.\n", false},
      {"no display", "", "_NET_ACTIVE_WINDOW(WINDOW): window id # 0x3a00007\n", false},
      {"xprop fails", ":8", "_NET_ACTIVE_WINDOW(WINDOW): window id # 0x3a00007\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeText(answers / "active", c.active);
    WorkspaceOptions options;
    options.display = c.display;
    LinuxWorkspace workspace = ownWorkspace(options);
    auto front = workspace.frontmostApplication();
    if (c.found) {
      ASSERT_NE(front, nullptr);
      EXPECT_EQ(front->processIdentifier(), ::getpid());
    } else {
      EXPECT_EQ(front, nullptr);
    }
  }

  // A query that hangs is stopped after the time limit.
  script("xprop", "exec /bin/sleep 30\n");
  WorkspaceOptions options;
  options.display = ":7";
  options.queryTimeout = 200ms;
  LinuxWorkspace workspace = ownWorkspace(options);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(workspace.frontmostApplication(), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(FakeWorkspaceTest, ScriptedApplicationsAndRecordedTerminations) {
  FakeWorkspace workspace;
  workspace.setRunningApplications({
      {"com.example.B", "B", 30, ActivationPolicy::regular, std::nullopt, false, false},
      {"com.example.A", "A", 10, ActivationPolicy::regular, "/usr/bin/a", false, false},
      {std::nullopt, "daemon", 20, ActivationPolicy::prohibited, std::nullopt, false, false},
      {"com.example.Stubborn", "S", 40, ActivationPolicy::regular, std::nullopt, true, true},
  });
  workspace.setFrontmostApplication(30);

  auto apps = workspace.runningApplications();
  std::vector<pid_t> pids;
  for (auto& app : apps) pids.push_back(app->processIdentifier());
  EXPECT_EQ(pids, (std::vector<pid_t>{10, 20, 30, 40}));
  EXPECT_EQ(apps[0]->executableURL(), "file:///usr/bin/a");
  ASSERT_NE(workspace.frontmostApplication(), nullptr);
  EXPECT_EQ(workspace.frontmostApplication()->bundleIdentifier(), "com.example.B");

  EXPECT_TRUE(apps[0]->terminate());
  EXPECT_TRUE(apps[0]->isTerminated());
  EXPECT_FALSE(apps[0]->terminate());  // already gone
  EXPECT_FALSE(apps[3]->terminate());  // refuses
  EXPECT_TRUE(workspace.sendSignal(40, SIGTERM));  // delivered, ignored
  EXPECT_TRUE(workspace.isRunning(40));
  EXPECT_TRUE(workspace.sendSignal(30, SIGTERM));
  EXPECT_FALSE(workspace.isRunning(30));
  EXPECT_EQ(workspace.frontmostApplication(), nullptr);
  EXPECT_FALSE(workspace.sendSignal(30, SIGTERM));  // no such process any more
  EXPECT_TRUE(workspace.sendSignal(40, SIGKILL));
  EXPECT_FALSE(workspace.sendSignal(0, SIGTERM));

  EXPECT_EQ(workspace.terminateCalls(), (std::vector<pid_t>{10, 10, 40}));
  EXPECT_EQ(workspace.signals(), (std::vector<FakeWorkspace::Signal>{
                                     {40, SIGTERM}, {30, SIGTERM}, {30, SIGTERM}, {40, SIGKILL}, {0, SIGTERM}}));
  pids.clear();
  for (auto& app : workspace.runningApplications()) pids.push_back(app->processIdentifier());
  EXPECT_EQ(pids, (std::vector<pid_t>{20}));
  EXPECT_EQ(workspace.runningApplicationsCalls(), 2);

  workspace.setLaunchResult(false);
  EXPECT_FALSE(workspace.launchApplication("Mopet.app"));
  EXPECT_TRUE(workspace.open("https://example.com/"));
  EXPECT_EQ(workspace.launchCalls(), (std::vector<std::string>{"Mopet.app"}));
  EXPECT_EQ(workspace.openCalls(), (std::vector<std::string>{"https://example.com/"}));
}

}  // namespace
}  // namespace platform
