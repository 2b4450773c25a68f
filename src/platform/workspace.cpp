#include "platform/workspace.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>
#include <string_view>
#include <unordered_map>

#include "platform/proc_stat.h"
#include "platform/process.h"
#include "platform/settings.h"
#include "platform/text.h"
#include "platform/workspace_entries.h"
#include "platform/workspace_files.h"
#include "platform/workspace_index.h"
#include "platform/workspace_process.h"

namespace platform {

using workspace_detail::baseName;
using workspace_detail::CachedProcess;
using workspace_detail::desktopFilesIn;
using workspace_detail::DesktopIndex;
using workspace_detail::findExecutable;
using workspace_detail::isExecutableFile;
using workspace_detail::loadDesktopEntry;
using workspace_detail::lowercase;
using workspace_detail::namesOf;
using workspace_detail::passOnScriptIds;
using workspace_detail::readSmallFile;
using workspace_detail::readStatFile;
using workspace_detail::refreshProcess;
using workspace_detail::StatBuffer;

namespace {

// A program launched without a desktop entry must not pass on one the agent inherited.
const std::map<std::string, std::string> kNoDesktopFile = {{"GIO_LAUNCHED_DESKTOP_FILE", ""}};

class ProcRunningApplication final : public RunningApplication {
 public:
  ProcRunningApplication(Info info, std::string procRoot, std::string startTime)
      : RunningApplication(std::move(info)), procRoot_(std::move(procRoot)), startTime_(std::move(startTime)) {}

  bool terminate() override {
    // The agent never ends itself, whatever a rule names.
    if (processIdentifier() == ::getpid() || signalRefusal()) return false;
    return platform::sendSignal(processIdentifier(), SIGTERM);
  }

  std::optional<SignalRefusal> signalRefusal() const override {
    if (isTerminated()) return SignalRefusal::gone;
    return SignalGuard(procRoot_).refusal(processIdentifier());
  }

  bool isTerminated() const override {
    auto text = readSmallFile(procRoot_ + "/" + std::to_string(processIdentifier()) + "/stat");
    if (!text) return true;
    auto fields = parseStat(*text);
    if (!fields) return true;
    return fields->state == 'Z' || fields->state == 'X' || fields->startTime != startTime_;
  }

  bool forceTerminate() override {
    if (processIdentifier() == ::getpid()) return false;
    // A pidfd stays with the process it was opened for: when the start time read after
    // opening it is still this snapshot's, SIGKILL reaches this very process even if
    // the pid is recycled meanwhile.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, processIdentifier(), 0));
    if (pidfd < 0) {
      if (errno == ESRCH || signalRefusal()) return false;
      return platform::sendSignal(processIdentifier(), SIGKILL);  // no pidfds: checked just before
    }
    const bool sent = !signalRefusal() && ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) == 0;
    ::close(pidfd);
    return sent;
  }

 private:
  std::string procRoot_;
  std::string startTime_;
};

// Runs a short query tool and returns its standard output; nullopt when it cannot
// start, fails or runs out of time (it is then stopped).
std::optional<std::string> runQuery(const std::string& tool, std::vector<std::string> arguments,
                                    std::map<std::string, std::string> environment, std::chrono::milliseconds timeout,
                                    const std::string& childPath) {
  Process process;
  process.childPath = childPath;
  process.executablePath = tool;
  process.arguments = std::move(arguments);
  process.environment = std::move(environment);
  Pipe output;
  process.standardInput = NullDevice{};
  process.standardOutput = output;
  process.standardError = NullDevice{};
  if (!process.run()) return std::nullopt;
  if (!process.waitUntilExit(timeout)) {
    process.terminate();
    if (!process.waitUntilExit(std::chrono::milliseconds(500))) {
      process.sendSignal(SIGKILL);
      process.waitUntilExit();
    }
    return std::nullopt;
  }
  if (process.terminationReason() != TerminationReason::exit || process.terminationStatus() != 0) return std::nullopt;
  return toString(output.fileHandleForReading().readDataToEndOfFile());
}

bool launchArguments(std::vector<std::string> arguments, const std::map<std::string, std::string>& environment,
                     const std::string& childPath) {
  if (arguments.empty()) return false;
  auto program = findExecutable(arguments[0], childPath);
  if (!program) return false;
  arguments[0] = *program;
  // The shell records its own pid for the launched program (exec keeps it), as the
  // desktop does, so that the workspace can tell it from inherited variables.
  Process process;
  process.childPath = childPath;
  process.executablePath = "/bin/sh";
  process.arguments = {"-c", "GIO_LAUNCHED_DESKTOP_FILE_PID=$$; export GIO_LAUNCHED_DESKTOP_FILE_PID; exec \"$@\"",
                       "sh"};
  process.arguments.insert(process.arguments.end(), arguments.begin(), arguments.end());
  process.environment = environment;
  process.standardInput = NullDevice{};
  process.standardOutput = NullDevice{};
  process.standardError = NullDevice{};
  process.startsNewSession = true;
  return process.run().has_value();
}

bool launchEntry(const DesktopEntry& entry, const std::string& childPath) {
  if (entry.hidden || (!entry.type.empty() && entry.type != "Application")) return false;
  if (!entry.tryExec.empty() && !findExecutable(entry.tryExec, childPath)) return false;
  return launchArguments(desktopEntryArguments(entry), {{"GIO_LAUNCHED_DESKTOP_FILE", entry.path}}, childPath);
}

bool isValidURL(const std::string& url) {
  // scheme ":" ... with no blanks or control characters.
  auto colon = url.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == url.size()) return false;
  if (std::isalpha(static_cast<unsigned char>(url[0])) == 0) return false;
  for (std::size_t i = 1; i < colon; ++i) {
    unsigned char c = static_cast<unsigned char>(url[i]);
    if (std::isalnum(c) == 0 && c != '+' && c != '-' && c != '.') return false;
  }
  return std::none_of(url.begin(), url.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7f;
  });
}

// The snapshot is immutable: while nothing of the process changed, every listing
// hands out the same one.
std::shared_ptr<RunningApplication> snapshotOf(CachedProcess& cached, const std::string& procRoot) {
  if (!cached.snapshot) {
    cached.snapshot = std::make_shared<ProcRunningApplication>(cached.info, procRoot, cached.startTime);
  }
  return cached.snapshot;
}

}  // namespace

bool RunningApplication::isNamed(std::string_view name) const {
  return std::find(info_.names.begin(), info_.names.end(), name) != info_.names.end();
}

std::optional<std::string> RunningApplication::executableURL() const {
  if (!info_.executablePath) return std::nullopt;
  return fileURLText(*info_.executablePath);
}

struct LinuxWorkspace::Cache {
  std::mutex mutex;
  std::unordered_map<pid_t, CachedProcess> processes;
  DesktopIndex desktop;
  DesktopIndex::Snapshot index;  // the one this listing names processes with
  unsigned long listing = 0;
  std::size_t seen = 0;   // the processes kept that this listing has seen so far
  StatBuffer statBuffer;  // reused for /proc/<pid>/stat
  std::string path;       // reused for the paths of /proc/<pid>
};

LinuxWorkspace::LinuxWorkspace(WorkspaceOptions options)
    : options_(std::move(options)), cache_(std::make_shared<Cache>()) {
  if (options_.applicationFolders.empty()) options_.applicationFolders = defaultApplicationFolders();
}

std::string LinuxWorkspace::childPath() const {
  return options_.childPath ? *options_.childPath : Settings::current().childPath;
}

Workspace& Workspace::shared() {
  static LinuxWorkspace workspace;
  return workspace;
}

// With the cache's lock held: the application for one pid, through the cache.
std::shared_ptr<RunningApplication> LinuxWorkspace::lookUp(pid_t pid, int rootFd) {
  if (pid <= 0) return nullptr;
  if (options_.includeProcess && !options_.includeProcess(pid)) return nullptr;
  Cache& cache = *cache_;
  // One path buffer for the files of every process: "<pid>/" and the name, relative to
  // the open root folder, or else from "<root>/".
  const int dirFd = rootFd >= 0 ? rootFd : AT_FDCWD;
  std::string& path = cache.path;
  path.clear();
  if (rootFd < 0) path.append(options_.procRoot).append("/");
  path.append(std::to_string(pid)).append("/");
  const std::size_t dirLength = path.size();
  const auto statText = readStatFile(dirFd, path.append("stat"), cache.statBuffer);
  if (!statText) return nullptr;
  auto stat = parseStat(*statText);
  if (!stat || stat->state == 'Z' || stat->state == 'X') return nullptr;  // exited, not yet reaped

  auto [it, inserted] = cache.processes.try_emplace(pid);
  CachedProcess& cached = it->second;
  if (cached.listing != cache.listing) {
    cached.listing = cache.listing;
    ++cache.seen;
  }
  path.resize(dirLength);
  refreshProcess(options_, pid, dirFd, path.append("exe"), *stat, inserted, cached);
  if (!cached.visible) return nullptr;

  if (cached.namesGeneration != cache.index.generation) {
    auto names = namesOf(cached, cache.index.names.get());
    cached.ownNames = std::move(names.names);
    cached.scriptIds = std::move(names.scriptIds);
    cached.inheritedIds.clear();
    cached.info.names = cached.ownNames;
    cached.namesGeneration = cache.index.generation;
    cached.snapshot.reset();
  }
  return snapshotOf(cached, options_.procRoot);
}

std::shared_ptr<RunningApplication> LinuxWorkspace::application(pid_t pid) {
  auto index = cache_->desktop.current(options_.applicationFolders, childPath(), options_.desktopIndexInterval);
  std::lock_guard lock(cache_->mutex);
  cache_->index = std::move(index);
  if (!lookUp(pid, -1)) return nullptr;
  passOnScriptIds(cache_->processes, {pid});
  return snapshotOf(cache_->processes[pid], options_.procRoot);
}

RunningApplications LinuxWorkspace::runningApplications() {
  std::vector<pid_t> pids;
  DIR* dir = ::opendir(options_.procRoot.c_str());
  if (dir != nullptr) {
    // readdir is safe on a stream that only this thread reads (readdir_r is deprecated).
    while (dirent* entry = ::readdir(dir)) {  // NOLINT(concurrency-mt-unsafe)
      std::string_view name(entry->d_name);
      if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        continue;
      }
      long value = std::strtol(entry->d_name, nullptr, 10);
      if (value > 0) pids.push_back(static_cast<pid_t>(value));
    }
  }
  std::sort(pids.begin(), pids.end());
  RunningApplications applications;
  applications.reserve(pids.size());
  auto index = cache_->desktop.current(options_.applicationFolders, childPath(), options_.desktopIndexInterval);
  std::lock_guard lock(cache_->mutex);
  cache_->index = std::move(index);
  const unsigned long listing = ++cache_->listing;
  cache_->seen = 0;
  // The processes' files are opened from the listed folder: shorter path walks.
  const int rootFd = dir != nullptr ? ::dirfd(dir) : -1;
  std::vector<pid_t> visible;
  visible.reserve(pids.size());
  for (pid_t pid : pids) {
    if (lookUp(pid, rootFd)) visible.push_back(pid);
  }
  if (dir != nullptr) ::closedir(dir);
  // What this listing did not see has ended (nothing, when it saw every process kept).
  if (cache_->seen != cache_->processes.size()) {
    std::erase_if(cache_->processes, [listing](const auto& entry) { return entry.second.listing != listing; });
  }
  passOnScriptIds(cache_->processes, visible);
  for (pid_t pid : visible) applications.push_back(snapshotOf(cache_->processes[pid], options_.procRoot));
  return applications;
}

std::shared_ptr<RunningApplication> LinuxWorkspace::frontmostApplication() {
  std::string display;
  if (options_.display) {
    display = *options_.display;
  } else {
    display = Settings::current().display;
  }
  if (display.empty()) return nullptr;
  const std::string children = childPath();
  auto xprop = findExecutable("xprop", children);
  if (!xprop) return nullptr;
  std::map<std::string, std::string> environment = {{"DISPLAY", display}};

  // "_NET_ACTIVE_WINDOW(WINDOW): window id # 0x3a00007"
  auto active = runQuery(*xprop, {"-root", "_NET_ACTIVE_WINDOW"}, environment, options_.queryTimeout, children);
  if (!active) return nullptr;
  auto hash = active->find('#');
  if (hash == std::string::npos) return nullptr;
  std::istringstream idStream(active->substr(hash + 1));
  std::string window;
  idStream >> window;
  auto windowValue = std::strtoul(window.c_str(), nullptr, 16);
  if (!window.starts_with("0x") || window.size() < 3 || window.size() > 18 || windowValue == 0 ||
      !std::all_of(window.begin() + 2, window.end(), [](unsigned char c) { return std::isxdigit(c) != 0; })) {
    return nullptr;
  }

  // "_NET_WM_PID(CARDINAL) = 12345"
  auto owner = runQuery(*xprop, {"-id", window, "_NET_WM_PID"}, environment, options_.queryTimeout, children);
  if (!owner) return nullptr;
  auto equals = owner->find('=');
  if (equals == std::string::npos) return nullptr;
  std::istringstream pidStream(owner->substr(equals + 1));
  long pid = 0;
  if (!(pidStream >> pid) || pid <= 0) return nullptr;
  return application(static_cast<pid_t>(pid));
}

bool LinuxWorkspace::launchApplication(const std::string& nameOrPath) {
  if (nameOrPath.empty()) return false;
  if (nameOrPath.find('/') != std::string::npos) {
    if (nameOrPath.ends_with(".desktop")) {
      auto entry = loadDesktopEntry(nameOrPath);
      return entry && launchEntry(*entry, childPath());
    }
    return isExecutableFile(nameOrPath) && launchArguments({nameOrPath}, kNoDesktopFile, childPath());
  }
  std::string name = nameOrPath;
  if (lowercase(name).ends_with(".app") && name.size() > 4) name.resize(name.size() - 4);
  const std::string wanted = lowercase(name);
  for (const auto& folder : options_.applicationFolders) {
    for (const auto& file : desktopFilesIn(folder).files) {
      auto entry = loadDesktopEntry(file.path);
      if (!entry || entry->hidden) continue;
      entry->id = file.id;
      const std::string id = lowercase(entry->id);
      const auto dot = id.rfind('.');
      const bool matches = id == wanted || lowercase(entry->name) == wanted ||
                           (dot != std::string::npos && id.substr(dot + 1) == wanted);
      if (matches) return launchEntry(*entry, childPath());
    }
  }
  const std::string children = childPath();
  if (auto program = findExecutable(name, children)) return launchArguments({*program}, kNoDesktopFile, children);
  return false;
}

bool LinuxWorkspace::open(const std::string& url) {
  if (!isValidURL(url)) return false;
  const std::string children = childPath();
  auto opener = findExecutable("xdg-open", children);
  if (!opener) return false;
  Process process;
  process.childPath = children;
  process.executablePath = *opener;
  process.arguments = {url};
  process.standardInput = NullDevice{};
  process.standardOutput = NullDevice{};
  process.standardError = NullDevice{};
  process.startsNewSession = true;
  return process.run().has_value();
}

bool LinuxWorkspace::sendSignal(pid_t pid, int signal) {
  // The agent never signals itself (nor what SignalGuard refuses), whatever a rule names.
  if (pid == ::getpid() || SignalGuard(options_.procRoot).refusal(pid)) {
    errno = EPERM;
    return false;
  }
  return platform::sendSignal(pid, signal);
}

}  // namespace platform
