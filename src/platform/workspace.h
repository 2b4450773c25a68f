#pragma once
// The workspace: running applications, the frontmost one, launching applications and
// opening URLs.
//
// On Linux every process of the current user counts as a running application.
//
// Names. A process can be known by several names, and a rule that names any of them
// applies to it (names()); each only adds:
//   - the file name of its executable (/proc/<pid>/exe, else its comm);
//   - the id of every desktop entry in the application folders (subfolders too: the
//     id is the path below the folder, "/" made "-") that runs its command: the
//     entry's Exec program (or TryExec) resolves to that very file (same device and
//     inode, so a link under another name is the same program), or to a file with the
//     same ELF build-id (a copy), and the Exec line's fixed arguments (the words after
//     the program up to the first field code, an option word just before a field
//     code excluded) are the first arguments of /proc/<pid>/cmdline. Shells,
//     launchers (a /snap/bin link to snap too) and interpreters or runtimes without a
//     fixed script name nothing by their program; a fixed script is indexed itself,
//     and where the program is a script, so are the files its `exec` lines name by
//     absolute path. A Steam entry (`steam steam://rungameid/N`) names the processes
//     whose environment has SteamAppId=N or SteamGameId=N, not the client;
//   - what it runs through the dynamic loader (ld-linux*.so*) or an interpreter (a
//     known one's first file argument after its options and their values, or a file
//     whose "#!" line names it, as deep as the kernel follows "#!"), resolved in its
//     own working folder and root: that file's name and the entries that run it;
//   - where its executable cannot be read (a non-dumpable process), the program its
//     command line starts with, when that is a path, as above;
//   - the entry id of the desktop's unit in its control group (app-...-<id>-....scope,
//     app-<id>@....service, app-<id>.slice; cgroup v2 or the hybrid name=systemd
//     line), read once per program; a program an application starts shares its unit;
//   - where no unit names an application, the ids of the entries that name the
//     processes which started it through a script (a wrapper's game);
//   - its Flatpak application id as the sandbox records it (the "name" of the
//     [Application] group of /proc/<pid>/root/.flatpak-info);
//   - its snap's names as its control group records them (a "snap.<name>.<app>..."
//     part of /proc/<pid>/cgroup: "<name>", the entry id "<name>_<app>"; for a
//     parallel instance "<name>_<key>", "<name>" and "<name>+<key>_<app>");
//   - the hints in its own environment: MOPET_BUNDLE_IDENTIFIER (a test aid),
//     FLATPAK_ID, SNAP_NAME, the desktop-entry id of GIO_LAUNCHED_DESKTOP_FILE (when
//     GIO_LAUNCHED_DESKTOP_FILE_PID names this very process) and of
//     BAMF_DESKTOP_FILE_HINT. The environment belongs to the process, so a hint only
//     ever adds a name; it never takes one away.
//
// Bundle identifier. One of those names, the one reported as the application's
// identifier (the frontmost application, the instant-block walk), in this order of
// precedence:
//   1. MOPET_BUNDLE_IDENTIFIER in its environment;
//   2. FLATPAK_ID;
//   3. SNAP_NAME;
//   4. GIO_LAUNCHED_DESKTOP_FILE, as above;
//   5. BAMF_DESKTOP_FILE_HINT;
//   6. otherwise the file name of its executable.
// Kernel threads and processes without an executable have neither names nor an
// identifier. The environment is read from /proc/<pid>/environ, which only the
// process's own user (or root) may read; for other processes only the executable's
// name applies.
//
// Activation policy:
//   regular     the identifier came from rule 1, or from rules 2 to 5 for a process
//               of a desktop session (DISPLAY or WAYLAND_DISPLAY in its environment);
//   accessory   every other process with an identifier (daemons, shells, tools);
//   prohibited  processes without an identifier.
//
// The agent's own process is listed like any other, but the workspace never sends it
// a signal: terminate() and sendSignal() refuse it. The Linux workspace refuses every
// process that SignalGuard refuses too (another user's, the desktop's own, the login
// session's leader, the agent's helpers).
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/signal_guard.h"

namespace platform {

enum class ActivationPolicy { regular = 0, accessory = 1, prohibited = 2 };

// A snapshot of one running application, taken when the list was made.
class RunningApplication {
 public:
  struct Info {
    std::optional<std::string> bundleIdentifier;
    std::string localizedName;
    pid_t processIdentifier = 0;
    ActivationPolicy activationPolicy = ActivationPolicy::prohibited;
    std::optional<std::string> executablePath;
    // Every name the process is known by, the bundle identifier among them.
    std::vector<std::string> names;
  };

  explicit RunningApplication(Info info) : info_(std::move(info)) {}
  virtual ~RunningApplication() = default;

  const std::optional<std::string>& bundleIdentifier() const { return info_.bundleIdentifier; }
  const std::string& localizedName() const { return info_.localizedName; }
  pid_t processIdentifier() const { return info_.processIdentifier; }
  ActivationPolicy activationPolicy() const { return info_.activationPolicy; }
  const std::optional<std::string>& executablePath() const { return info_.executablePath; }
  const std::vector<std::string>& names() const { return info_.names; }
  bool isNamed(std::string_view name) const;
  // "file://" and the percent-encoded executable path.
  std::optional<std::string> executableURL() const;

  // Asks the application to quit (SIGTERM on Linux). False when it is already gone, is
  // the agent's own process, or the request could not be delivered; true does not mean
  // that it has quit.
  virtual bool terminate() = 0;
  // True once the process has ended (or its pid now belongs to another process).
  virtual bool isTerminated() const = 0;
  // Ends the process at once (SIGKILL on Linux), but only while its pid still belongs to
  // the process of this snapshot. False when it is already gone, is the agent's own
  // process, or the signal could not be delivered.
  virtual bool forceTerminate() = 0;
  // Why the agent must never signal this process (SignalGuard), or nullopt when it may;
  // terminate() and forceTerminate() refuse what this refuses.
  virtual std::optional<SignalRefusal> signalRefusal() const {
    if (processIdentifier() == ::getpid()) return SignalRefusal::agentItself;
    return std::nullopt;
  }

 private:
  Info info_;
};

using RunningApplications = std::vector<std::shared_ptr<RunningApplication>>;

class Workspace {
 public:
  virtual ~Workspace() = default;

  // The running applications, in ascending pid order.
  virtual RunningApplications runningApplications() = 0;
  // The application whose window is active, or nullptr when no window system tells.
  virtual std::shared_ptr<RunningApplication> frontmostApplication() = 0;
  // Starts an application given by name ("Mopet.app", "Mopet", a desktop-entry id) or
  // by path (an executable or a .desktop file). True when it was started.
  virtual bool launchApplication(const std::string& nameOrPath) = 0;
  // Opens a URL (scheme required) with the desktop's default handler. True when the
  // handler was started; it is not waited for.
  virtual bool open(const std::string& url) = 0;
  // kill(2) through the workspace, so that tests see every signal the agent sends.
  // False for pid <= 0, for the agent's own process (on Linux, for whatever SignalGuard
  // refuses) and when delivery fails.
  virtual bool sendSignal(pid_t pid, int signal) = 0;

  // The Linux workspace with default options (the current user's processes).
  static Workspace& shared();
};

// A desktop entry (".desktop" file), the fields the workspace uses.
struct DesktopEntry {
  std::string path;
  std::string id;  // file name without ".desktop"
  std::string type;
  std::string name;  // unlocalised Name
  std::string exec;
  std::string tryExec;
  std::string icon;
  bool noDisplay = false;
  bool hidden = false;
};

// Reads the [Desktop Entry] group of a file; nullopt when it is unreadable or has none.
std::optional<DesktopEntry> readDesktopEntry(const std::string& path);
// The argument vector of an Exec value: quoting and escapes resolved, field codes
// expanded for launching without files (%f %F %u %U dropped, %c the name, %k the
// path, %i "--icon" and the icon, %% a percent sign). Empty when malformed.
std::vector<std::string> desktopEntryArguments(const DesktopEntry& entry);
// A desktop entry file in an application folder or one of its subfolders, and its
// desktop-entry id: its path below the folder without ".desktop", each "/" made "-"
// ("wine/Programs/Game.desktop" is "wine-Programs-Game").
struct DesktopFile {
  std::string path;
  std::string id;
};
// The desktop entry files of a folder and its subfolders, in path order.
std::vector<DesktopFile> desktopFilesOf(const std::string& folder);
// The folders holding desktop entries: the "applications" folder of each of the current
// settings' data folders (Settings::dataDirectories: $XDG_DATA_HOME, default
// ~/.local/share, then $XDG_DATA_DIRS, default /usr/local/share:/usr/share), then the
// flatpak export folders; each folder once.
std::vector<std::string> defaultApplicationFolders();

struct WorkspaceOptions {
  std::string procRoot = "/proc";
  // Only processes whose real user is the agent's.
  bool currentUserOnly = true;
  // When set, only the processes it accepts are visible (and found frontmost).
  std::function<bool(pid_t)> includeProcess;
  // Where launchApplication looks up names; empty means defaultApplicationFolders().
  std::vector<std::string> applicationFolders;
  // The X display asked for the active window; nullopt means Settings::current()'s
  // display ($DISPLAY) at each use.
  std::optional<std::string> display;
  // How long the window-system queries of frontmostApplication may take.
  std::chrono::milliseconds queryTimeout{2000};
  // Folders put first in the PATH where programs are looked up and that launched
  // programs get; nullopt means Settings::current()'s childPath at each use.
  std::optional<std::string> childPath;
  // The least time between two indexings of the desktop entries after the first.
  std::chrono::milliseconds desktopIndexInterval{60000};
};

// Running applications from /proc; URLs through "xdg-open"; the frontmost application
// from the X server's active window (through "xprop"), absent without an X display.
//
// What names a process changes only when it runs another program, so the workspace
// keeps what it read of each process under its pid, its start time (field 22 of
// /proc/<pid>/stat), its program image (the code, data and argument addresses of the
// same line, new at every exec) and the device and inode of its executable (what
// /proc/<pid>/exe names). A listing reads /proc/<pid>/stat, looks at the executable
// only where the image changed or is not shown, and reads the rest only of a process
// it has not seen under that key: a recycled pid has another start time, a process
// that ran another program has another image and executable. The desktop entries
// behind the names (64 KiB at most each) are indexed at the first listing, and again
// on a global queue when an application folder changed or a minute has passed, at
// most once per desktopIndexInterval; a listing uses the last index built and never
// waits for a rebuild. The first index is built on the global queue too, the first
// listing waiting for it at most 2 s; at most 20,000 entries and 64 MiB of each
// folder are read, with a printed line when a folder holds more.
class LinuxWorkspace final : public Workspace {
 public:
  explicit LinuxWorkspace(WorkspaceOptions options = {});

  RunningApplications runningApplications() override;
  std::shared_ptr<RunningApplication> frontmostApplication() override;
  bool launchApplication(const std::string& nameOrPath) override;
  bool open(const std::string& url) override;
  bool sendSignal(pid_t pid, int signal) override;

  // The application for one pid, or nullptr when it is not visible.
  std::shared_ptr<RunningApplication> application(pid_t pid);

 private:
  struct Cache;
  // rootFd: the open procRoot folder, or -1.
  std::shared_ptr<RunningApplication> lookUp(pid_t pid, int rootFd);
  std::string childPath() const;

  WorkspaceOptions options_;
  std::shared_ptr<Cache> cache_;
};

}  // namespace platform
