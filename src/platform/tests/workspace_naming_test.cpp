// How the workspace names applications launched in every style: desktop entries as real
// packages write them, programs as small stand-ins of our own under the same shapes of
// path, and processes as a /proc-like fixture tree (their stat line, command line,
// environment, control groups, executable and working folder).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/fakes/capturing_log_sink.h"
#include "platform/log.h"
#include "platform/process.h"
#include "platform/workspace.h"
#include "platform/workspace_index.h"
#include "platform/workspace_units.h"
#include "support/temp_folder.h"
#include "support/text_files.h"

// The processes are written with designated initializers, each naming only what sets
// it apart; every other member has its default.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace platform {
namespace {

namespace fs = std::filesystem;
using testsupport::writeText;
using namespace std::string_literals;

// The names a control group's text gives, as the desktops and snapd name their units.
TEST(WorkspaceUnitsTest, UnitNamesCarryTheEntryIds) {
  struct Case {
    const char* what;
    std::string cgroup;
    std::vector<std::string> names;
  };
  const std::string user = "0::/user.slice/user-1000.slice/user@1000.service/app.slice/";
  const std::vector<Case> cases = {
      {"GNOME Shell's scope", user + "app-gnome-org.gnome.Evince-4242.scope\n", {"org.gnome.Evince"}},
      {"an escaped dash", user + "app-gnome-firefox\\x2desr-4242.scope\n", {"firefox-esr"}},
      {"an unescaped dash after the launcher", user + "app-gnome-firefox-esr-4242.scope\n", {"firefox-esr"}},
      {"KDE's scope, no launcher", user + "app-org.kde.kpat-a1b2c3d4.scope\n", {"org.kde.kpat"}},
      {"a launcher's scope", user + "app-KDE-org.kde.okular-77.scope\n", {"org.kde.okular"}},
      {"GLib's service", user + "app-org.gnome.Nautilus@f00d.service\n", {"org.gnome.Nautilus"}},
      {"the older service scheme", user + "app-gnome-org.gnome.Evince-12345.service\n", {"org.gnome.Evince"}},
      {"a service without random", user + "app-org.kde.amarok.service\n", {"org.kde.amarok"}},
      {"Flatpak's scope", user + "app-flatpak-org.telegram.desktop-12.scope\n", {"org.telegram.desktop"}},
      {"an application's slice", user + "app-org.gnome.Terminal.slice/vte-spawn-1234.scope\n", {"org.gnome.Terminal"}},
      {"a unit below the application's", user + "app-gnome-org.example.Game-9.scope/worker\n", {"org.example.Game"}},
      {"the hybrid layout",
       "12:pids:/user.slice\n1:name=systemd:/user.slice/app-gnome-org.example.Hybrid-5.scope\n0::/\n",
       {"org.example.Hybrid"}},
      {"a controller's hierarchy is not the desktop's", "4:cpu:/app-gnome-org.example.Cpu-1.scope\n", {}},
      {"the session's own units", user + "../session.slice/org.gnome.Shell@x11.service\n", {}},
      {"app.slice alone", user + "dbus.service\n", {}},
      {"a snap's scope",
       user + "snap.firefox.firefox-2f4c9a8e-1b2c-4d5e-8f90-0a1b2c3d4e5f.scope\n",
       {"firefox", "firefox_firefox"}},
      {"a snap app with a dash",
       user + "snap.foo.my-app-2f4c9a8e-1b2c-4d5e-8f90-0a1b2c3d4e5f.scope\n",
       {"foo", "foo_my-app"}},
      {"a parallel snap's daemon",
       "0::/system.slice/snap.foo_beta.daemon.service\n",
       {"foo_beta", "foo", "foo+beta_daemon"}},
      {"a snap's hook", user + "snap.foo.hook.configure-2f4c9a8e-1b2c-4d5e-8f90-0a1b2c3d4e5f.scope\n", {"foo"}},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(workspace_detail::unitNames(test.cgroup).names, test.names) << test.what;
  }
  EXPECT_TRUE(workspace_detail::unitNames(user + "app-gnome-org.gnome.Evince-4242.scope\n").namesApplication);
  EXPECT_FALSE(workspace_detail::unitNames(user + "dbus.service\n").namesApplication);
}

// A /proc-like tree of processes of the current user.
class ProcTree {
 public:
  explicit ProcTree(fs::path root) : root_(std::move(root)) { fs::create_directories(root_); }

  struct Process {
    pid_t pid = 0;
    pid_t parent = 1;
    fs::path exe;
    std::vector<std::string> commandLine;
    std::string environ;
    std::string cgroup = "0::/user.slice/user-1000.slice/session-2.scope\n";
    fs::path cwd = "/";
  };

  void add(const Process& process) {
    const fs::path dir = root_ / std::to_string(process.pid);
    const std::string comm = process.exe.filename().string().substr(0, 15);
    std::ostringstream stat;
    stat << process.pid << " (" << comm << ") S " << process.parent
         << " 1 1 0 -1 4194304 0 0 0 0 0 0 0 0 20 0 1 0 777 1000 100 18446744073709551615 0 0 0";
    writeText(dir / "stat", stat.str());
    writeText(dir / "status", "Name:\t" + comm + "\nUid:\t" + std::to_string(::getuid()) + "\t0\t0\t0\n");
    writeText(dir / "comm", comm + "\n");
    writeText(dir / "environ", process.environ.empty() ? "HOME=/home/u\0"s : process.environ);
    writeText(dir / "cgroup", process.cgroup);
    std::string text;
    for (const auto& argument : process.commandLine) text += argument + '\0';
    writeText(dir / "cmdline", text);
    fs::create_symlink(process.exe, dir / "exe");
    fs::create_symlink(process.cwd, dir / "cwd");
  }
  const fs::path& root() const { return root_; }

 private:
  fs::path root_;
};

class WorkspaceNamingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testsupport::makeTemporaryFolder("workspace-naming");
    apps_ = dir_ / "applications";
    fs::create_directories(apps_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // A program stand-in: a small executable file that is no ELF file and no script.
  fs::path program(const std::string& path) {
    writeText(dir_ / path, "stand-in for " + path + "\n", true);
    return dir_ / path;
  }
  fs::path shellScript(const std::string& path, const std::string& body) {
    writeText(dir_ / path, "#!/bin/sh\n" + body, true);
    return dir_ / path;
  }
  void entry(const std::string& relative, const std::string& exec, const std::string& extra = "") {
    writeText(apps_ / relative,
              "[Desktop Entry]\nType=Application\nName=" + relative + "\nExec=" + exec + "\n" + extra);
  }
  LinuxWorkspace workspace(const fs::path& procRoot) {
    WorkspaceOptions options;
    options.procRoot = procRoot.string();
    options.applicationFolders = {apps_.string()};
    options.childPath = (dir_ / "usr/games").string() + ":" + (dir_ / "usr/bin").string();
    return LinuxWorkspace(std::move(options));
  }
  static std::vector<std::string> namesOf(const RunningApplications& apps, pid_t pid) {
    for (const auto& app : apps) {
      if (app->processIdentifier() == pid) return app->names();
    }
    return {"(not listed)"};
  }

  fs::path dir_;
  fs::path apps_;
};

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

TEST_F(WorkspaceNamingTest, EveryLaunchStyleIsNamedByItsEntry) {
  const std::string d = dir_.string();
  // Wrappers: one that runs its game as a child, one that execs a VM with its jar, one
  // that execs the engine; a GOG-style start.sh with blanks in its folder.
  const auto zeroAd = shellScript("usr/games/0ad", "\"" + d + "/usr/games/pyrogenesis\" \"$@\"\n");
  const auto pyrogenesis = program("usr/games/pyrogenesis");
  const auto jar = program("usr/share/games/freecol/FreeCol.jar");
  shellScript("usr/games/freecol",
              "cd /usr/share/games/freecol\nexec java -Xmx512M -jar " + jar.string() + " \"$@\"\n");
  const auto java = program("usr/bin/java");
  const auto sauerClient = program("usr/lib/games/sauerbraten/sauer_client");
  shellScript("usr/games/sauerbraten", "exec " + sauerClient.string() + " -q$HOME/.sauerbraten \"$@\"  # engine\n");
  const auto gog = shellScript("home/u/GOG Games/X/start.sh", "./game/x86_64 \"$@\"\n");
  const auto gogGame = program("home/u/GOG Games/X/game/x86_64");
  entry("0ad.desktop", "0ad %F");
  entry("freecol.desktop", "freecol");
  entry("sauerbraten.desktop", "sauerbraten");
  entry("gog_x.desktop", "\"" + gog.string() + "\" \"\"");
  // Steam, a snap, a KDE entry, Wine's subfolder, runtimes and a fixed script.
  const auto steam = program("usr/games/steam");
  const auto dota = program("home/u/.steam/steamapps/common/dota 2 beta/game/bin/linuxsteamrt64/dota2");
  entry("steam_app_570.desktop", "steam steam://rungameid/570");
  const auto snap = program("usr/bin/snap");
  fs::create_directories(dir_ / "snap/bin");
  fs::create_symlink(snap, dir_ / "snap/bin/firefox");
  entry("firefox_firefox.desktop",
        "env BAMF_DESKTOP_FILE_HINT=/var/lib/snapd/desktop/applications/firefox_firefox.desktop " + d +
            "/snap/bin/firefox %u");
  const auto kpat = program("usr/games/kpat");
  entry("org.kde.kpat.desktop", "kpat -qwindowtitle %c %u");
  const auto wineGame = program("home/u/.wine/drive_c/Game/game.exe");
  entry("wine/Programs/Game.desktop", "env WINEPREFIX=/home/u/.wine " + wineGame.string());
  const auto python = program("usr/bin/python3.11");
  const auto love = program("usr/bin/love");
  entry("org.python.Python.desktop", python.string(), "NoDisplay=true\n");
  entry("org.love2d.love.desktop", love.string() + " %f");
  const auto runGame = program("usr/share/games/pygame/run_game.py");
  entry("org.example.PyGame.desktop", "python3.11 " + runGame.string() + " %f");
  // Scripts run from their own folder, behind options that take a value.
  const auto perl = program("usr/bin/perl");
  const auto bash = program("usr/bin/bash");
  const auto node = program("usr/bin/node");
  writeText(dir_ / "usr/share/games/plgame/game.pl", "#!/usr/bin/perl\n", true);
  writeText(dir_ / "usr/share/games/shgame/game.sh", "#!/bin/bash\n", true);
  writeText(dir_ / "usr/share/games/jsgame/game.js", "#!/usr/bin/node\n", true);
  entry("plgame.desktop", (dir_ / "usr/share/games/plgame/game.pl").string());
  entry("shgame.desktop", (dir_ / "usr/share/games/shgame/game.sh").string());
  entry("jsgame.desktop", (dir_ / "usr/share/games/jsgame/game.js").string());
  // A chain of five "#!" scripts, as deep as the kernel goes.
  fs::path last = "/bin/sh";
  std::vector<std::string> chain;
  for (int level = 5; level >= 1; --level) {
    const auto file = dir_ / ("usr/games/chain" + std::to_string(level));
    writeText(file, "#!" + last.string() + "\n", true);
    last = file;
    chain.push_back(file.string());
  }
  entry("chain.desktop", last.string());  // chain1, whose "#!" names chain2, ...

  ProcTree proc(dir_ / "proc");
  const std::string unit = "0::/user.slice/user-1000.slice/user@1000.service/app.slice/";
  // 0ad from a terminal: the wrapper shell, the game it started, and the game's helper.
  proc.add({.pid = 100, .exe = "/bin/sh", .commandLine = {"/bin/sh", zeroAd.string()}});
  proc.add({.pid = 101, .parent = 100, .exe = pyrogenesis, .commandLine = {pyrogenesis.string()}});
  proc.add({.pid = 102, .parent = 101, .exe = pyrogenesis, .commandLine = {"pyrogenesis", "--helper"}});
  // A child that the desktop put in an application's unit of its own keeps to it.
  proc.add({.pid = 103,
            .parent = 100,
            .exe = kpat,
            .commandLine = {"kpat"},
            .cgroup = unit + "app-gnome-org.example.Other-7.scope\n"});
  // FreeCol after its wrapper's exec: the VM with the jar.
  proc.add({.pid = 110, .exe = java, .commandLine = {"java", "-Xmx512M", "-jar", jar.string()}});
  proc.add({.pid = 111, .exe = java, .commandLine = {"java", "-jar", "/home/u/homework.jar"}});
  proc.add({.pid = 112, .exe = sauerClient, .commandLine = {sauerClient.string(), "-q/home/u/.sauerbraten"}});
  // The GOG game, as its start.sh runs it from its folder.
  proc.add({.pid = 120, .exe = "/bin/sh", .commandLine = {"/bin/sh", gog.string(), ""}, .cwd = gog.parent_path()});
  proc.add({.pid = 121, .parent = 120, .exe = gogGame, .commandLine = {"./game/x86_64", ""}, .cwd = gog.parent_path()});
  // Steam's client, and the game it runs.
  proc.add({.pid = 130, .exe = steam, .commandLine = {"steam", "steam://rungameid/570"}});
  proc.add({.pid = 131,
            .parent = 130,
            .exe = dota,
            .commandLine = {dota.string()},
            .environ = "SteamAppId=570\0SteamGameId=570\0"s});
  proc.add({.pid = 132, .exe = dota, .commandLine = {dota.string()}, .environ = "SteamGameId=570\0"s});
  // The snap's session helper, and the snap's application in its unit.
  proc.add({.pid = 140, .exe = snap, .commandLine = {"/usr/bin/snap", "userd"}});
  proc.add({.pid = 141,
            .exe = program("snap/firefox/4242/usr/lib/firefox/firefox"),
            .commandLine = {"firefox"},
            .cgroup = unit + "snap.firefox.firefox-2f4c9a8e-1b2c-4d5e-8f90-0a1b2c3d4e5f.scope\n"});
  // kpat started plainly; Wine's game; the runtimes.
  proc.add({.pid = 150, .exe = kpat, .commandLine = {"kpat"}});
  proc.add({.pid = 151, .exe = wineGame, .commandLine = {wineGame.string()}});
  proc.add({.pid = 152, .exe = python, .commandLine = {"python3.11", "/home/u/homework.py"}});
  proc.add({.pid = 153, .exe = love, .commandLine = {"love", "/home/u/mygame.love"}});
  proc.add({.pid = 154,
            .exe = python,
            .commandLine = {"python3.11", "-X", "dev", "-W", "ignore", "run_game.py"},
            .cwd = runGame.parent_path()});
  // Scripts run from their folders, options with values before them.
  proc.add({.pid = 160,
            .exe = perl,
            .commandLine = {"perl", "-I", "lib", "game.pl"},
            .cwd = dir_ / "usr/share/games/plgame"});
  proc.add({.pid = 161,
            .exe = bash,
            .commandLine = {"bash", "--rcfile", "/dev/null", "game.sh"},
            .cwd = dir_ / "usr/share/games/shgame"});
  proc.add({.pid = 162,
            .exe = node,
            .commandLine = {"node", "--require", "m", "game.js"},
            .cwd = dir_ / "usr/share/games/jsgame"});
  // The chain: the kernel ran /bin/sh with the scripts, the last one first.
  std::vector<std::string> chainLine = {"/bin/sh"};
  chainLine.insert(chainLine.end(), chain.begin(), chain.end());
  proc.add({.pid = 170, .exe = "/bin/sh", .commandLine = chainLine});

  auto apps = workspace(proc.root()).runningApplications();

  struct Row {
    const char* what;
    pid_t pid;
    std::vector<std::string> named;
    std::vector<std::string> notNamed;
  };
  const std::vector<Row> rows = {
      {"a wrapper script", 100, {"0ad"}, {}},
      {"the game the wrapper started", 101, {"0ad", "pyrogenesis"}, {}},
      {"what the game started in turn", 102, {"0ad"}, {}},
      {"a child in a unit of its own", 103, {"org.example.Other"}, {"0ad"}},
      {"a wrapper's exec of a VM with its jar", 110, {"freecol"}, {}},
      {"the same VM with another jar", 111, {}, {"freecol"}},
      {"a wrapper's exec of the engine", 112, {"sauerbraten"}, {}},
      {"a GOG start.sh", 120, {"gog_x"}, {}},
      {"the GOG game it started", 121, {"gog_x"}, {}},
      {"the Steam client", 130, {"steam"}, {"steam_app_570"}},
      {"the Steam game", 131, {"steam_app_570"}, {}},
      {"the Steam game by SteamGameId", 132, {"steam_app_570"}, {}},
      {"snap's own helper", 140, {"snap"}, {"firefox_firefox"}},
      {"the snap's application", 141, {"firefox", "firefox_firefox"}, {}},
      {"a KDE entry's program started plainly", 150, {"org.kde.kpat"}, {}},
      {"Wine's entry in a subfolder", 151, {"wine-Programs-Game"}, {}},
      {"a runtime's own entry", 152, {"python3.11"}, {"org.python.Python"}},
      {"a runtime's entry with a file code", 153, {"love"}, {"org.love2d.love"}},
      {"a fixed script run from its folder", 154, {"org.example.PyGame"}, {}},
      {"perl -I lib", 160, {"plgame"}, {}},
      {"bash --rcfile", 161, {"shgame"}, {}},
      {"node --require", 162, {"jsgame"}, {}},
      {"five levels of #!", 170, {"chain", "chain1"}, {}},
  };
  for (const auto& row : rows) {
    const auto names = namesOf(apps, row.pid);
    for (const auto& name : row.named) EXPECT_TRUE(contains(names, name)) << row.what << ": no " << name;
    for (const auto& name : row.notNamed) EXPECT_FALSE(contains(names, name)) << row.what << ": " << name;
  }
}

TEST_F(WorkspaceNamingTest, ACopyOfAProgramIsThatProgramByItsBuildId) {
  // A real ELF program with a build-id note, copied under the entry's path and again
  // under another name; a script has none, so its copy stays another program.
  const fs::path elf = fs::canonical("/bin/sleep");
  fs::create_directories(dir_ / "usr/games");
  fs::copy_file(elf, dir_ / "usr/games/supertux2");
  fs::copy_file(elf, dir_ / "st");
  const auto script = shellScript("usr/games/scripted", "exit 0\n");
  fs::copy_file(script, dir_ / "scripted-copy");
  entry("supertux2.desktop", "supertux2");
  entry("scripted.desktop", "scripted");

  ProcTree proc(dir_ / "proc");
  proc.add({.pid = 200, .exe = dir_ / "st", .commandLine = {"./st"}});
  proc.add({.pid = 201, .exe = "/bin/sh", .commandLine = {"/bin/sh", (dir_ / "scripted-copy").string()}});
  auto apps = workspace(proc.root()).runningApplications();

  EXPECT_TRUE(contains(namesOf(apps, 200), "supertux2"));
  EXPECT_FALSE(contains(namesOf(apps, 201), "scripted"));
}

TEST_F(WorkspaceNamingTest, AFolderBeyondItsLimitsIsReadInPartWithALine) {
  for (int i = 0; i < 30; ++i) entry("many/e" + std::to_string(i) + ".desktop", "true", std::string(1000, '#') + "\n");
  CapturedOutput printed;

  auto byCount = workspace_detail::indexDesktopEntries({apps_.string()}, "/bin", {.entriesPerFolder = 10});
  auto byBytes = workspace_detail::indexDesktopEntries({apps_.string()}, "/bin", {.bytesPerFolder = 5000});
  auto whole = workspace_detail::indexDesktopEntries({apps_.string()}, "/bin");

  auto claims = [](const workspace_detail::EntryIndex& index) {
    std::size_t count = 0;
    for (const auto& [file, names] : index.byFile) count += names.size();
    return count;
  };
  EXPECT_EQ(claims(byCount), 10u);
  EXPECT_EQ(claims(byBytes), 4u);
  EXPECT_EQ(claims(whole), 30u);
  const auto lines = printed.take();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Desktop entries: " + apps_.string() +
                          " holds more than is read; only its first 10 entries "
                          "name applications");
  EXPECT_EQ(lines[1], "Desktop entries: " + apps_.string() +
                          " holds more than is read; only its first 4 entries "
                          "name applications");
}

// The mount point of the desktop's hierarchy (cgroup v2, else the hybrid layout's
// name=systemd one) and this process's group in it; empty when there is none.
std::pair<fs::path, std::string> systemdHierarchy() {
  std::ifstream mounts("/proc/self/mountinfo");
  fs::path unified;
  fs::path named;
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string word; fields >> word;) words.push_back(word);
    const auto dash = std::find(words.begin(), words.end(), "-");
    if (words.size() < 5 || dash == words.end() || dash + 1 == words.end()) continue;
    if (*(dash + 1) == "cgroup2" && unified.empty()) unified = words[4];
    if (*(dash + 1) == "cgroup" && line.find("name=systemd") != std::string::npos) named = words[4];
  }
  std::ifstream groups("/proc/self/cgroup");
  for (std::string line; std::getline(groups, line);) {
    if (!unified.empty() && line.starts_with("0::")) return {unified, line.substr(3)};
    const auto at = line.find(":name=systemd:");
    if (unified.empty() && !named.empty() && at != std::string::npos) return {named, line.substr(at + 14)};
  }
  return {};
}

TEST_F(WorkspaceNamingTest, AProcessInARealDesktopUnitCarriesItsEntryId) {
  const auto [mount, own] = systemdHierarchy();
  if (mount.empty()) GTEST_SKIP() << "no cgroup v2 or name=systemd hierarchy is mounted";
  const fs::path unit = mount / fs::path(own).relative_path() /
                        ("app-gnome-org.example.RealUnit-" + std::to_string(::getpid()) + ".scope");
  std::error_code error;
  if (!fs::create_directory(unit, error)) {
    GTEST_SKIP() << "this user may not make a control group here (" << unit << ": " << error.message() << ")";
  }
  struct Cleanup {
    fs::path unit;
    Process child;
    ~Cleanup() {
      if (child.isRunning() && child.sendSignal(SIGKILL)) child.waitUntilExit();
      std::error_code ignored;
      fs::remove(unit, ignored);
    }
  } made{unit, {}};
  Process& child = made.child;
  child.executablePath = "/bin/sleep";
  child.arguments = {"30"};
  child.standardInput = NullDevice{};
  ASSERT_TRUE(child.run());
  const pid_t pid = child.processIdentifier();
  std::ofstream procs(unit / "cgroup.procs");
  procs << pid << "\n" << std::flush;
  if (!procs) GTEST_SKIP() << "this user may not move a process into " << unit;
  WorkspaceOptions options;
  options.applicationFolders = {apps_.string()};
  options.includeProcess = [pid](pid_t candidate) { return candidate == pid; };
  LinuxWorkspace workspace(std::move(options));
  const auto names = namesOf(workspace.runningApplications(), pid);

  EXPECT_TRUE(contains(names, "org.example.RealUnit")) << ::testing::PrintToString(names);
}

}  // namespace
}  // namespace platform
