#include "platform/workspace_process.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <sstream>
#include <unordered_map>

#include "platform/settings.h"
#include "platform/workspace_build_id.h"
#include "platform/workspace_entries.h"
#include "platform/workspace_units.h"

namespace platform::workspace_detail {

ExecutableKey executableKey(int dirFd, const std::string& exeLink) {
  ExecutableKey key;
  key.file = identityOf(exeLink, dirFd);
  if (key.file) return key;
  key.error = errno;
  std::array<char, PATH_MAX> target;
  const ssize_t length = ::readlinkat(dirFd, exeLink.c_str(), target.data(), target.size());
  if (length > 0) {
    key.link.assign(target.data(), static_cast<std::size_t>(length));
  } else {
    key.linkError = errno;
  }
  return key;
}

ExecutableKey executableKeyAgain(int dirFd, const std::string& exeLink, const ExecutableKey& previous) {
  if (previous.file) {
    ExecutableKey key;
    key.file = identityOf(exeLink, dirFd);
    return key.file ? key : executableKey(dirFd, exeLink);
  }
  std::array<char, PATH_MAX> target;
  const ssize_t length = ::readlinkat(dirFd, exeLink.c_str(), target.data(), target.size());
  const int linkError = length > 0 ? 0 : errno;
  const std::string_view link(target.data(), length > 0 ? static_cast<std::size_t>(length) : 0);
  if (link == previous.link && linkError == previous.linkError) return previous;
  return executableKey(dirFd, exeLink);
}

std::optional<std::string_view> readStatFile(int dirFd, const std::string& path, StatBuffer& buffer) {
  const int fd = ::openat(dirFd, path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::size_t size = 0;
  bool ok = true;
  while (size < buffer.size()) {
    const ssize_t count = ::read(fd, buffer.data() + size, buffer.size() - size);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) ok = false;
    if (count <= 0) break;
    const bool filled = static_cast<std::size_t>(count) == buffer.size() - size;
    size += static_cast<std::size_t>(count);
    if (!filled) break;
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  return std::string_view(buffer.data(), size);
}

namespace {

std::optional<uid_t> realUserOf(const std::string& status) {
  std::istringstream lines(status);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("Uid:")) continue;
    std::istringstream values(line.substr(4));
    unsigned long uid = 0;
    if (values >> uid) return static_cast<uid_t>(uid);
    return std::nullopt;
  }
  return std::nullopt;
}

std::map<std::string, std::string> parseEnviron(const std::string& text) {
  std::map<std::string, std::string> variables;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    std::string_view entry(text.data() + start, end - start);
    auto equals = entry.find('=');
    if (equals != std::string_view::npos && equals > 0) {
      variables.emplace(std::string(entry.substr(0, equals)), std::string(entry.substr(equals + 1)));
    }
    start = end + 1;
  }
  return variables;
}

std::string nonEmpty(const std::map<std::string, std::string>& variables, const char* name) {
  auto it = variables.find(name);
  return it != variables.end() ? it->second : std::string();
}

// The [Application] name of a Flatpak sandbox's /.flatpak-info, seen through
// /proc/<pid>/root. Not followed when it is a link: a sandbox's file is a plain one.
std::optional<std::string> flatpakApplicationId(const std::string& processDir) {
  auto text = readSmallFile(processDir + "/root/.flatpak-info", false);
  if (!text) return std::nullopt;
  bool inGroup = false;
  std::istringstream lines(*text);
  for (std::string line; std::getline(lines, line);) {
    const std::string trimmed = trim(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    if (trimmed[0] == '[') {
      inGroup = trimmed == "[Application]";
      continue;
    }
    auto equals = trimmed.find('=');
    if (!inGroup || equals == std::string::npos || trim(std::string_view(trimmed).substr(0, equals)) != "name")
      continue;
    std::string id = trim(std::string_view(trimmed).substr(equals + 1));
    if (!id.empty()) return id;
  }
  return std::nullopt;
}

// The arguments of /proc/<pid>/cmdline, nullopt when it cannot be read. Only the first
// ones matter here, so a long command line is read in part, without the word the cut
// fell into.
std::optional<std::vector<std::string>> readCommandLine(const std::string& processDir) {
  constexpr std::size_t kLimit = std::size_t{64} * 1024;
  std::string text;
  std::vector<std::string> words;
  if (!readRegularFile(processDir + "/cmdline", text, kLimit)) return std::nullopt;
  const bool cut = text.size() == kLimit && text.back() != '\0';
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\0', start);
    if (end == std::string::npos) {
      if (cut) break;
      end = text.size();
    }
    words.emplace_back(text, start, end - start);
    start = end + 1;
  }
  return words;
}

// Only the agent's own user's processes, when the options say so.
bool isListedUser(const WorkspaceOptions& options, const std::string& dir) {
  if (!options.currentUserOnly) return true;
  auto status = readSmallFile(dir + "/status");
  auto uid = status ? realUserOf(*status) : std::nullopt;
  return uid && *uid == ::getuid();
}

// The command name (the first display name) and the executable's path. False when the
// process has no executable (a kernel thread, or one whose executable is gone).
bool readExecutable(const std::string& dir, const StatFields& stat, RunningApplication::Info& info) {
  std::string comm = stat.comm;
  if (auto commFile = readSmallFile(dir + "/comm")) {
    comm = *commFile;
    while (!comm.empty() && comm.back() == '\n') comm.pop_back();
  }
  info.localizedName = comm;
  if ((stat.flags & kKernelThreadFlag) != 0) return false;
  std::array<char, PATH_MAX> buffer;
  const ssize_t length = ::readlink((dir + "/exe").c_str(), buffer.data(), buffer.size());
  if (length > 0) {
    std::string target(buffer.data(), static_cast<std::size_t>(length));
    constexpr std::string_view deleted = " (deleted)";
    if (target.ends_with(deleted)) target.resize(target.size() - deleted.size());
    info.executablePath = target;
    return true;
  }
  return errno == EACCES || errno == EPERM;  // someone else's process: it has one, we may not see it
}

// What the system records: the sandbox's application id, the units of its control
// groups (the desktop's application unit, the snap's).
void addSystemNames(const std::string& dir, CachedProcess& cached) {
  if (auto id = flatpakApplicationId(dir)) addName(cached.extraNames, *id);
  if (auto cgroup = readSmallFile(dir + "/cgroup")) {
    auto units = unitNames(*cgroup);
    for (auto& name : units.names) addName(cached.extraNames, std::move(name));
    cached.applicationUnit = units.namesApplication;
  }
}

// The hints a process's environment gives.
struct EnvironmentHints {
  std::string explicitId;  // MOPET_BUNDLE_IDENTIFIER
  std::string flatpak;     // FLATPAK_ID
  std::string snap;        // SNAP_NAME
  std::string gioFile;     // GIO_LAUNCHED_DESKTOP_FILE, when it was launched as this very process
  std::string bamfFile;    // BAMF_DESKTOP_FILE_HINT
  std::vector<std::string> steamGames;  // SteamAppId, SteamGameId: the game Steam runs
  bool desktopSession = false;
};

EnvironmentHints hintsOf(const std::map<std::string, std::string>& environment, pid_t pid) {
  EnvironmentHints hints;
  hints.desktopSession = !nonEmpty(environment, "DISPLAY").empty() || !nonEmpty(environment, "WAYLAND_DISPLAY").empty();
  hints.explicitId = nonEmpty(environment, "MOPET_BUNDLE_IDENTIFIER");
  hints.flatpak = nonEmpty(environment, "FLATPAK_ID");
  hints.snap = nonEmpty(environment, "SNAP_NAME");
  hints.gioFile = nonEmpty(environment, "GIO_LAUNCHED_DESKTOP_FILE");
  if (nonEmpty(environment, "GIO_LAUNCHED_DESKTOP_FILE_PID") != std::to_string(pid)) hints.gioFile.clear();
  hints.bamfFile = nonEmpty(environment, "BAMF_DESKTOP_FILE_HINT");
  for (const char* name : {"SteamAppId", "SteamGameId"}) addName(hints.steamGames, nonEmpty(environment, name));
  return hints;
}

// The environment's hints, each of them an extra name.
void addHintNames(const EnvironmentHints& hints, std::vector<std::string>& names) {
  for (const auto& hint : {hints.explicitId, hints.flatpak, hints.snap,
                           hints.gioFile.empty() ? std::string() : desktopIdFromPath(hints.gioFile),
                           hints.bamfFile.empty() ? std::string() : desktopIdFromPath(hints.bamfFile)}) {
    addName(names, hint);
  }
}

// Where the bundle identifier came from, when a desktop entry gives it.
struct IdentifierSource {
  std::optional<std::string> desktopFile;
  std::optional<std::string> desktopId;
};

// The bundle identifier: the first hint there is, else the executable's name.
IdentifierSource chooseIdentifier(const EnvironmentHints& hints, const std::string& executableName,
                                  RunningApplication::Info& info) {
  IdentifierSource source;
  if (!hints.explicitId.empty()) {
    info.bundleIdentifier = hints.explicitId;
    info.activationPolicy = ActivationPolicy::regular;
    return source;
  }
  if (!hints.flatpak.empty()) {
    source.desktopId = hints.flatpak;
  } else if (!hints.snap.empty()) {
    source.desktopId = hints.snap;
  } else if (!hints.gioFile.empty()) {
    source.desktopId = desktopIdFromPath(hints.gioFile);
    source.desktopFile = hints.gioFile;
  } else if (!hints.bamfFile.empty()) {
    source.desktopId = desktopIdFromPath(hints.bamfFile);
    source.desktopFile = hints.bamfFile;
  }
  if (source.desktopId && !source.desktopId->empty()) {
    info.bundleIdentifier = *source.desktopId;
    info.activationPolicy = hints.desktopSession ? ActivationPolicy::regular : ActivationPolicy::accessory;
  } else {
    info.bundleIdentifier = executableName;
    info.activationPolicy = ActivationPolicy::accessory;
  }
  if (info.bundleIdentifier->empty()) {
    info.bundleIdentifier.reset();
    info.activationPolicy = ActivationPolicy::prohibited;
  }
  return source;
}

// The display name: the desktop entry's Name where there is one, else the executable's.
void chooseLocalizedName(const WorkspaceOptions& options, const IdentifierSource& source,
                         RunningApplication::Info& info) {
  std::optional<DesktopEntry> entry;
  if (source.desktopFile) entry = loadDesktopEntry(*source.desktopFile);
  if (!entry && source.desktopId) entry = findDesktopEntryById(options.applicationFolders, *source.desktopId);
  if (entry && !entry->name.empty()) {
    info.localizedName = entry->name;
  } else if (info.executablePath) {
    info.localizedName = baseName(*info.executablePath);
  }
}

}  // namespace

void readProcess(const WorkspaceOptions& options, const std::string& childPath, pid_t pid, const std::string& dir,
                 const StatFields& stat, const ExecutableKey& executable, CachedProcess& cached) {
  cached.visible = isListedUser(options, dir);
  cached.complete = true;
  cached.info = {};
  cached.executableName.clear();
  cached.programs.clear();
  cached.extraNames.clear();
  cached.steamGames.clear();
  cached.buildId.reset();
  cached.applicationUnit = false;
  cached.namesGeneration = 0;
  if (!cached.visible) return;

  RunningApplication::Info& info = cached.info;
  info.processIdentifier = pid;
  if (!readExecutable(dir, stat, info)) {
    info.activationPolicy = ActivationPolicy::prohibited;
    return;
  }
  cached.executableName = info.executablePath ? baseName(*info.executablePath) : info.localizedName;
  const auto commandLine = readCommandLine(dir);
  cached.programs = programsOf(dir, commandLine.value_or(std::vector<std::string>()), executable.file,
                               cached.executableName, info.executablePath.has_value(), childPath);
  // A copy of a program is that program: its build-id says so.
  if (info.executablePath) cached.buildId = elfBuildId(dir + "/exe");
  addSystemNames(dir, cached);

  auto environText = readSmallFile(dir + "/environ");
  // A process in the middle of starting its program shows the new executable before
  // its command line and environment are in place: read it again next time.
  if (((environText && environText->empty()) || (commandLine && commandLine->empty())) && info.executablePath) {
    cached.complete = false;
  }
  const auto hints = hintsOf(parseEnviron(environText.value_or(std::string())), pid);
  addHintNames(hints, cached.extraNames);
  cached.steamGames = hints.steamGames;
  chooseLocalizedName(options, chooseIdentifier(hints, cached.executableName, info), info);
}

namespace {

// The entries whose claim the program's arguments meet: their ids to `names`, and to
// `scriptIds` those that name it through a script.
void addClaims(const std::vector<EntryName>& claims, const ProgramView& program, ProcessNames& names) {
  for (const auto& entry : claims) {
    const auto& fixed = entry.fixedArguments;
    if (program.arguments.size() < fixed.size() || !std::equal(fixed.begin(), fixed.end(), program.arguments.begin())) {
      continue;
    }
    addName(names.names, entry.id);
    if (entry.throughScript) addName(names.scriptIds, entry.id);
  }
}

}  // namespace

ProcessNames namesOf(const CachedProcess& cached, const EntryIndex* index) {
  ProcessNames names;
  if (cached.executableName.empty()) return names;
  addName(names.names, cached.executableName);
  // Each program it runs: the file's name, and the entries whose command it runs.
  for (const auto& program : cached.programs) {
    addName(names.names, program.name);
    addName(names.names, program.fileName);
    if (!program.file || index == nullptr) continue;
    if (auto found = index->byFile.find(*program.file); found != index->byFile.end()) {
      addClaims(found->second, program, names);
    }
  }
  if (index != nullptr && cached.buildId && !cached.programs.empty()) {
    if (auto found = index->byBuildId.find(*cached.buildId); found != index->byBuildId.end()) {
      addClaims(found->second, cached.programs.front(), names);
    }
  }
  for (const auto& game : cached.steamGames) {
    if (index == nullptr) break;
    if (auto found = index->bySteamGame.find(game); found != index->bySteamGame.end()) {
      for (const auto& id : found->second) addName(names.names, id);
    }
  }
  for (const auto& name : cached.extraNames) addName(names.names, name);
  return names;
}

void refreshProcess(const WorkspaceOptions& options, pid_t pid, int dirFd, const std::string& exeLink,
                    const StatFields& stat, bool firstSight, CachedProcess& cached) {
  const bool kernelThread = (stat.flags & kKernelThreadFlag) != 0;
  // The same start time, command name and program image as last time: the same exec
  // of the same program, so the executable need not be looked at again.
  const bool sameImage = !firstSight && stat.startTime == cached.startTime && stat.comm == cached.comm &&
                         cached.image.is(stat.codeImage, stat.dataImage);
  // The same image keeps the key as it is, without a copy of it.
  const bool sameKey = sameImage && !kernelThread;
  ExecutableKey executable = kernelThread ? ExecutableKey{}
                             : sameKey    ? ExecutableKey{}
                             : firstSight ? executableKey(dirFd, exeLink)
                                          : executableKeyAgain(dirFd, exeLink, cached.executable);
  if (firstSight || !cached.complete || cached.startTime != stat.startTime ||
      !(sameKey || cached.executable == executable)) {
    const std::string dir = options.procRoot + "/" + std::to_string(pid);
    const std::string childPath = options.childPath ? *options.childPath : Settings::current().childPath;
    readProcess(options, childPath, pid, dir, stat, sameKey ? cached.executable : executable, cached);
    cached.snapshot.reset();
    cached.startTime = stat.startTime;
    if (!sameKey) cached.executable = std::move(executable);
  }
  if (!sameImage) {
    cached.comm = stat.comm;
    cached.image.keep(stat.codeImage, stat.dataImage);
  }
  cached.parent = stat.parent;
}

namespace {

using Processes = std::unordered_map<pid_t, CachedProcess>;

// The ids a process passes on to the processes it starts: those of the entries that
// name it through a script, and those passed on to it. Kept per listing in `passed`.
const std::vector<std::string>& idsPassedOnBy(Processes& processes, pid_t pid, int depth,
                                              std::unordered_map<pid_t, std::vector<std::string>>& passed) {
  static const std::vector<std::string> kNone;
  if (auto known = passed.find(pid); known != passed.end()) return known->second;
  auto it = processes.find(pid);
  // A tree deeper than this is a loop of stale parents, never a real one.
  if (it == processes.end() || !it->second.visible || depth > 256) return kNone;
  const CachedProcess& process = it->second;
  std::vector<std::string> ids = process.scriptIds;
  if (!process.applicationUnit && process.parent > 0 && process.parent != pid) {
    for (const auto& id : idsPassedOnBy(processes, process.parent, depth + 1, passed)) addName(ids, id);
  }
  return passed.emplace(pid, std::move(ids)).first->second;
}

}  // namespace

void passOnScriptIds(std::unordered_map<pid_t, CachedProcess>& processes, const std::vector<pid_t>& pids) {
  const bool anyToPass = std::any_of(processes.begin(), processes.end(), [](const auto& entry) {
    return !entry.second.scriptIds.empty() || !entry.second.inheritedIds.empty();
  });
  if (!anyToPass) return;
  std::unordered_map<pid_t, std::vector<std::string>> passed;
  for (pid_t pid : pids) {
    auto it = processes.find(pid);
    if (it == processes.end()) continue;
    CachedProcess& process = it->second;
    std::vector<std::string> inherited;
    if (!process.applicationUnit && process.parent > 0 && process.parent != pid) {
      inherited = idsPassedOnBy(processes, process.parent, 1, passed);
    }
    if (inherited == process.inheritedIds) continue;
    process.inheritedIds = std::move(inherited);
    process.info.names = process.ownNames;
    for (const auto& id : process.inheritedIds) addName(process.info.names, id);
    process.snapshot.reset();
  }
}

}  // namespace platform::workspace_detail
