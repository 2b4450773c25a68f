#include "platform/workspace.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string_view>
#include <unordered_map>

#include "platform/dispatch.h"
#include "platform/proc_stat.h"
#include "platform/process.h"
#include "platform/settings.h"
#include "platform/text.h"

namespace platform {

namespace {

constexpr unsigned long kKernelThreadFlag = 0x00200000;  // PF_KTHREAD

// A program launched without a desktop entry must not pass on one the agent inherited.
const std::map<std::string, std::string> kNoDesktopFile = {{"GIO_LAUNCHED_DESKTOP_FILE", ""}};

// Reads at most `limit` bytes of a regular file into `out`. It never waits: a FIFO or
// a device put where a file is expected (a child's own folders, a child's sandbox
// root) is refused instead of blocking the caller. /proc files count as regular.
// With `refuseLarger`, a file of more than `limit` bytes is refused rather than cut.
bool readRegularFile(const std::string& path, std::string& out, std::size_t limit, bool followLinks = true,
                     bool refuseLarger = false) {
  out.clear();
  int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  if (!followLinks) flags |= O_NOFOLLOW;
  const int fd = ::open(path.c_str(), flags);
  if (fd < 0) return false;
  struct stat info {};
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  if (ok && refuseLarger && static_cast<unsigned long long>(info.st_size) > limit) ok = false;
  // One byte more than the limit tells a file that grew while it was read.
  const std::size_t wanted = refuseLarger ? limit + 1 : limit;
  std::array<char, 4096> buffer;
  while (ok && out.size() < wanted) {
    const ssize_t count = ::read(fd, buffer.data(), std::min(buffer.size(), wanted - out.size()));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) ok = false;
    if (count <= 0) break;
    out.append(buffer.data(), static_cast<std::size_t>(count));
  }
  ::close(fd);
  if (refuseLarger && out.size() > limit) ok = false;
  return ok;
}

constexpr std::size_t kSmallFileLimit = 1 << 20;

std::optional<std::string> readSmallFile(const std::string& path, bool followLinks = true) {
  std::string text;
  if (!readRegularFile(path, text, kSmallFileLimit, followLinks)) return std::nullopt;
  return text;
}

std::string baseName(std::string_view path) {
  auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The desktop-entry id of a ".desktop" path: its file name without the extension.
std::string desktopIdFromPath(std::string_view path) {
  std::string name = baseName(path);
  constexpr std::string_view suffix = ".desktop";
  if (name.size() > suffix.size() && name.ends_with(suffix)) name.resize(name.size() - suffix.size());
  return name;
}

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

bool isExecutableFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The executable `name` in the PATH children get (`childPath` first, then the PATH the
// agent inherited); a name with a slash is taken as is.
std::optional<std::string> findExecutable(const std::string& name, const std::string& childPath) {
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string::npos) {
    if (isExecutableFile(name)) return name;
    return std::nullopt;
  }
  const std::string path = Process::childSearchPath(childPath, Settings::current().inheritedPath);
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t colon = path.find(':', start);
    if (colon == std::string::npos) colon = path.size();
    if (colon > start) {
      std::string candidate = path.substr(start, colon - start) + "/" + name;
      if (isExecutableFile(candidate)) return candidate;
    }
    start = colon + 1;
  }
  return std::nullopt;
}

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

class ProcRunningApplication final : public RunningApplication {
 public:
  ProcRunningApplication(Info info, std::string procRoot, std::string startTime)
      : RunningApplication(std::move(info)), procRoot_(std::move(procRoot)), startTime_(std::move(startTime)) {}

  bool terminate() override {
    // The agent never ends itself, whatever a rule names.
    if (processIdentifier() == ::getpid() || isTerminated()) return false;
    return platform::sendSignal(processIdentifier(), SIGTERM);
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
      if (errno == ESRCH || isTerminated()) return false;
      return platform::sendSignal(processIdentifier(), SIGKILL);  // no pidfds: checked just before
    }
    const bool sent = !isTerminated() && ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) == 0;
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

std::string unescapeDesktopValue(std::string_view value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      switch (value[i + 1]) {
        case 's':
          out += ' ';
          ++i;
          continue;
        case 'n':
          out += '\n';
          ++i;
          continue;
        case 't':
          out += '\t';
          ++i;
          continue;
        case 'r':
          out += '\r';
          ++i;
          continue;
        case '\\':
          out += '\\';
          ++i;
          continue;
        default:
          break;
      }
    }
    out += value[i];
  }
  return out;
}

std::string trim(std::string_view text) {
  auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  auto last = text.find_last_not_of(" \t\r");
  return std::string(text.substr(first, last - first + 1));
}

// The words of an Exec value: split at blanks; inside double quotes a backslash
// escapes `"`, '`', '$' and '\'. Field codes are left in. Nullopt when a quote is open.
std::optional<std::vector<std::string>> splitExecLine(const std::string& exec) {
  std::vector<std::string> words;
  std::string current;
  bool inWord = false;
  bool inQuote = false;
  for (std::size_t i = 0; i < exec.size(); ++i) {
    char c = exec[i];
    if (inQuote) {
      if (c == '\\' && i + 1 < exec.size() && std::string_view("\"`$\\").find(exec[i + 1]) != std::string_view::npos) {
        current += exec[++i];
      } else if (c == '"') {
        inQuote = false;
      } else {
        current += c;
      }
    } else if (c == ' ' || c == '\t' || c == '\n') {
      if (inWord) words.push_back(std::move(current));
      current.clear();
      inWord = false;
    } else if (c == '"') {
      inQuote = true;
      inWord = true;
    } else {
      current += c;
      inWord = true;
    }
  }
  if (inQuote) return std::nullopt;
  if (inWord) words.push_back(std::move(current));
  return words;
}

// The [Desktop Entry] group of a file's text; nullopt when it has none.
std::optional<DesktopEntry> parseDesktopEntry(const std::string& path, const std::string& text) {
  DesktopEntry entry;
  entry.path = path;
  entry.id = desktopIdFromPath(path);
  bool inGroup = false;
  bool sawGroup = false;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::string trimmed = trim(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    if (trimmed[0] == '[') {
      inGroup = trimmed == "[Desktop Entry]";
      sawGroup = sawGroup || inGroup;
      continue;
    }
    if (!inGroup) continue;
    auto equals = trimmed.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = trim(std::string_view(trimmed).substr(0, equals));
    const std::string value = unescapeDesktopValue(trim(std::string_view(trimmed).substr(equals + 1)));
    if (key == "Type") entry.type = value;
    else if (key == "Name") entry.name = value;
    else if (key == "Exec") entry.exec = value;
    else if (key == "TryExec") entry.tryExec = value;
    else if (key == "Icon") entry.icon = value;
    else if (key == "NoDisplay") entry.noDisplay = value == "true";
    else if (key == "Hidden") entry.hidden = value == "true";
  }
  if (!sawGroup) return std::nullopt;
  return entry;
}

// The largest desktop entry the workspace reads. Real entries are a few KiB; the
// folders belong to the child's account, so a huge file there must not cost a listing.
constexpr std::size_t kDesktopEntryLimit = std::size_t{64} * 1024;

// A desktop entry as the workspace reads it: a file above the limit is skipped.
std::optional<DesktopEntry> loadDesktopEntry(const std::string& path) {
  std::string text;
  if (!readRegularFile(path, text, kDesktopEntryLimit, true, true)) return std::nullopt;
  return parseDesktopEntry(path, text);
}

// Desktop entries of one folder, in file-name order.
std::vector<std::string> desktopFilesIn(const std::string& folder) {
  std::vector<std::string> files;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return files;
  // readdir is safe on a stream that only this thread reads (readdir_r is deprecated).
  while (dirent* entry = ::readdir(dir)) {  // NOLINT(concurrency-mt-unsafe)
    std::string_view name(entry->d_name);
    if (name.size() > 8 && name.ends_with(".desktop")) files.push_back(folder + "/" + std::string(name));
  }
  ::closedir(dir);
  std::sort(files.begin(), files.end());
  return files;
}

// The desktop entry with this id in the folders, if any.
std::optional<DesktopEntry> findDesktopEntryById(const std::vector<std::string>& folders, const std::string& id) {
  for (const auto& folder : folders) {
    if (auto entry = loadDesktopEntry(std::string(folder).append("/").append(id).append(".desktop"))) return entry;
  }
  return std::nullopt;
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

}  // namespace

bool RunningApplication::isNamed(std::string_view name) const {
  return std::find(info_.names.begin(), info_.names.end(), name) != info_.names.end();
}

std::optional<std::string> RunningApplication::executableURL() const {
  if (!info_.executablePath) return std::nullopt;
  return fileURLText(*info_.executablePath);
}

// ---- desktop entries ---------------------------------------------------------------

std::optional<DesktopEntry> readDesktopEntry(const std::string& path) {
  auto text = readSmallFile(path);
  if (!text) return std::nullopt;
  return parseDesktopEntry(path, *text);
}

std::vector<std::string> desktopEntryArguments(const DesktopEntry& entry) {
  auto split = splitExecLine(entry.exec);
  if (!split) return {};
  const std::vector<std::string>& words = *split;

  std::vector<std::string> arguments;
  for (const auto& word : words) {
    static const std::vector<std::string> dropped = {"%f", "%F", "%u", "%U", "%d", "%D", "%n", "%N", "%v", "%m"};
    if (std::find(dropped.begin(), dropped.end(), word) != dropped.end()) continue;
    if (word == "%i") {
      if (!entry.icon.empty()) {
        arguments.push_back("--icon");
        arguments.push_back(entry.icon);
      }
      continue;
    }
    std::string expanded;
    for (std::size_t i = 0; i < word.size(); ++i) {
      if (word[i] != '%' || i + 1 == word.size()) {
        expanded += word[i];
        continue;
      }
      char code = word[++i];
      if (code == '%') expanded += '%';
      else if (code == 'c') expanded += entry.name;
      else if (code == 'k') expanded += entry.path;
      // every other field code stands for nothing when no files are passed
    }
    arguments.push_back(std::move(expanded));
  }
  if (arguments.empty() || arguments[0].empty()) return {};
  return arguments;
}

std::vector<std::string> defaultApplicationFolders() {
  const Settings settings = Settings::current();
  std::vector<std::string> folders;
  for (const auto& data : settings.dataDirectories()) folders.push_back(data + "/applications");
  folders.push_back(settings.homeDirectory + "/.local/share/flatpak/exports/share/applications");
  folders.push_back("/var/lib/flatpak/exports/share/applications");
  // A folder named twice is searched once, at its first place.
  std::vector<std::string> unique;
  for (auto& folder : folders) {
    if (std::find(unique.begin(), unique.end(), folder) == unique.end()) unique.push_back(folder);
  }
  return unique;
}

// ---- LinuxWorkspace ----------------------------------------------------------------

namespace {

struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

struct FileIdentityHash {
  std::size_t operator()(const FileIdentity& file) const {
    return std::hash<unsigned long long>()(static_cast<unsigned long long>(file.inode) * 1000003ULL ^
                                           static_cast<unsigned long long>(file.device));
  }
};

// The file at `path`, relative to the folder `dirFd` (AT_FDCWD: as it is).
std::optional<FileIdentity> identityOf(const std::string& path, int dirFd = AT_FDCWD) {
  struct stat info {};
  if (::fstatat(dirFd, path.c_str(), &info, 0) != 0) return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino};
}

// What /proc/<pid>/exe names: the device and inode of the file; where the file cannot
// be looked at, the link's own text (a fixture tree) or why not (another user's
// process, a kernel thread).
struct ExecutableKey {
  std::optional<FileIdentity> file;
  std::string link;
  int error = 0;      // why the file could not be looked at
  int linkError = 0;  // why the link could not be read
  bool operator==(const ExecutableKey&) const = default;
};

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

// The key again, for a process seen before, in one call: where its file could not be
// looked at last time, only the link is read, and the same text (or the same reason it
// cannot be read) keeps the key.
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

// Reads a listing's /proc/<pid>/stat in as few calls as it takes: one read, as the
// file is far smaller than the buffer (a short read is its end). The tree is the
// kernel's (or a test's), not a file of the child's; O_NONBLOCK still keeps a FIFO put
// there from blocking.
using StatBuffer = std::array<char, 4096>;

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

void addName(std::vector<std::string>& names, std::string name) {
  if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
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

// The snap names in /proc/<pid>/cgroup: snapd runs a snap's applications in control
// groups named "snap.<instance>.<app>...", the instance being "<name>" or, for a
// parallel install, "<name>_<key>" (both are names of the process then).
std::vector<std::string> snapNames(const std::string& cgroupText) {
  std::vector<std::string> names;
  std::istringstream lines(cgroupText);
  for (std::string line; std::getline(lines, line);) {
    auto colon = line.find(':');
    colon = colon == std::string::npos ? colon : line.find(':', colon + 1);
    if (colon == std::string::npos) continue;
    std::string_view path = std::string_view(line).substr(colon + 1);
    while (!path.empty()) {
      auto slash = path.find('/');
      std::string_view part = path.substr(0, slash);
      path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
      if (!part.starts_with("snap.")) continue;
      part.remove_prefix(5);
      auto dot = part.find('.');
      if (dot == std::string_view::npos || dot == 0) continue;
      const std::string_view instance = part.substr(0, dot);
      const bool valid = std::all_of(instance.begin(), instance.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
      });
      if (!valid) continue;
      addName(names, std::string(instance));
      if (auto underscore = instance.find('_'); underscore != std::string_view::npos && underscore > 0) {
        addName(names, std::string(instance.substr(0, underscore)));
      }
    }
  }
  return names;
}

// Shells and sandbox launchers: they run many programs (the agent's own commands
// among them), so an entry that starts one must not put its id on every shell or
// launcher of the account; a sandboxed application is named by its Flatpak id or snap
// name instead.
bool isLauncher(std::string_view program) {
  static const std::set<std::string, std::less<>> kLaunchers = {"sh",   "bash",    "dash", "zsh",     "ksh",
                                                                "fish", "flatpak", "snap", "xdg-open"};
  return kLaunchers.contains(baseName(program));
}

// Where the program is among an Exec line's words: `env` is looked through to the
// program it runs. Nullopt when there is none or it is a launcher.
std::optional<std::size_t> launchedProgramIndex(const std::vector<std::string>& words) {
  std::size_t index = 0;
  if (index < words.size() && baseName(words[index]) == "env") {
    ++index;
    // Options and variable assignments come before the program.
    while (index < words.size() && (words[index].starts_with('-') || words[index].find('=') != std::string::npos)) {
      const auto& option = words[index++];
      if (option == "-u" || option == "-C" || option == "--unset" || option == "--chdir") ++index;  // takes a value
    }
  }
  if (index >= words.size() || isLauncher(words[index])) return std::nullopt;
  return index;
}

// True when a word of an Exec line holds a field code ("%%" is a percent sign).
bool hasFieldCode(std::string_view word) {
  for (std::size_t i = 0; i + 1 < word.size(); ++i) {
    if (word[i] != '%') continue;
    if (word[i + 1] != '%') return true;
    ++i;
  }
  return false;
}

std::string withPercentSigns(std::string_view word) {
  std::string out;
  for (std::size_t i = 0; i < word.size(); ++i) {
    out += word[i];
    if (word[i] == '%' && i + 1 < word.size() && word[i + 1] == '%') ++i;
  }
  return out;
}

// The command of an entry as processes are matched against it: its program and its
// fixed arguments, the words after the program up to the first field code.
struct EntryCommand {
  std::string program;
  std::vector<std::string> fixedArguments;
};

std::optional<EntryCommand> entryCommand(const DesktopEntry& entry) {
  auto words = splitExecLine(entry.exec);
  if (!words) return std::nullopt;
  auto index = launchedProgramIndex(*words);
  if (!index || (*words)[*index].empty() || hasFieldCode((*words)[*index])) return std::nullopt;
  EntryCommand command{withPercentSigns((*words)[*index]), {}};
  for (std::size_t i = *index + 1; i < words->size() && !hasFieldCode((*words)[i]); ++i) {
    command.fixedArguments.push_back(withPercentSigns((*words)[i]));
  }
  return command;
}

// One desktop entry's claim on a program: its id, for the processes whose arguments
// after that program start with these.
struct EntryName {
  std::string id;
  std::vector<std::string> fixedArguments;
  bool operator==(const EntryName&) const = default;
};

using EntryNames = std::unordered_map<FileIdentity, std::vector<EntryName>, FileIdentityHash>;

// Indexes the entries of the folders by the file that their Exec program and their
// TryExec resolve to. TryExec names a program to look for and brings no arguments of
// its own: when it is the Exec program's file the Exec line's fixed arguments apply,
// otherwise (another file, or Exec runs a launcher) every process of it is named.
EntryNames indexDesktopEntries(const std::vector<std::string>& folders, const std::string& childPath) {
  EntryNames index;
  auto add = [&index](const FileIdentity& file, EntryName name) {
    auto& names = index[file];
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
  };
  for (const auto& folder : folders) {
    for (const auto& file : desktopFilesIn(folder)) {
      auto entry = loadDesktopEntry(file);
      if (!entry) continue;
      auto command = entryCommand(*entry);
      std::optional<FileIdentity> execFile;
      if (command) {
        auto path = findExecutable(command->program, childPath);
        execFile = path ? identityOf(*path) : std::nullopt;
        if (execFile) add(*execFile, {entry->id, command->fixedArguments});
      }
      if (!entry->tryExec.empty() && !isLauncher(entry->tryExec)) {
        auto path = findExecutable(entry->tryExec, childPath);
        auto tried = path ? identityOf(*path) : std::nullopt;
        if (tried) add(*tried, {entry->id, tried == execFile ? command->fixedArguments : std::vector<std::string>{}});
      }
    }
  }
  return index;
}

// The desktop entries' index, shared by the listings. The first listing builds it; a
// later one that finds it due (an application folder changed, or it is older than a
// minute) and at least `minInterval` old starts a rebuild on a global queue and goes on
// with the last index built: a folder full of large or changing files never holds a
// listing up.
class DesktopIndex {
 public:
  struct Snapshot {
    std::shared_ptr<const EntryNames> names;
    unsigned long generation = 0;  // 0: never built
  };

  Snapshot current(const std::vector<std::string>& folders, const std::string& childPath,
                   std::chrono::steady_clock::duration minInterval) {
    const auto now = std::chrono::steady_clock::now();
    auto stamps = stampsOf(folders);
    {
      std::lock_guard lock(state_->mutex);
      if (state_->built.generation != 0) {
        const auto age = now - state_->startedAt;
        const bool due = stamps != state_->stamps || age >= kMaxAge;
        if (!due || age < minInterval || state_->building) return state_->built;
        state_->building = true;
        state_->startedAt = now;
        state_->stamps = std::move(stamps);
        DispatchQueue::global().async([state = state_, folders, childPath] {
          auto names = std::make_shared<const EntryNames>(indexDesktopEntries(folders, childPath));
          std::lock_guard held(state->mutex);
          state->built = {std::move(names), state->built.generation + 1};
          state->building = false;
        });
        return state_->built;
      }
    }
    auto names = std::make_shared<const EntryNames>(indexDesktopEntries(folders, childPath));
    std::lock_guard lock(state_->mutex);
    if (state_->built.generation == 0) {
      state_->built = {std::move(names), 1};
      state_->startedAt = now;
      state_->stamps = std::move(stamps);
    }
    return state_->built;
  }

 private:
  struct FolderStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    long long seconds = 0;
    long nanoseconds = 0;
    bool operator==(const FolderStamp&) const = default;
  };

  // A program replaced by an update is another file: the index is made again now and
  // then even when no folder changed.
  static constexpr std::chrono::seconds kMaxAge{60};

  static std::vector<FolderStamp> stampsOf(const std::vector<std::string>& folders) {
    std::vector<FolderStamp> result;
    result.reserve(folders.size());
    for (const auto& folder : folders) {
      FolderStamp stamp;
      struct stat info {};
      if (::stat(folder.c_str(), &info) == 0) {
        stamp = {true, info.st_dev, info.st_ino, static_cast<long long>(info.st_mtim.tv_sec), info.st_mtim.tv_nsec};
      }
      result.push_back(stamp);
    }
    return result;
  }

  struct State {
    std::mutex mutex;
    Snapshot built;
    std::vector<FolderStamp> stamps;  // as they were when the last build started
    std::chrono::steady_clock::time_point startedAt;
    bool building = false;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// A program that a process runs, and the arguments it was given.
struct ProgramView {
  std::optional<FileIdentity> file;
  std::string name;      // as the process named it
  std::string fileName;  // the file's own name, where a link by another name led to it
  std::vector<std::string> arguments;
};

// The stat line's image fields (see StatFields), kept in place: every listing compares
// them for every process, and a text of their own elsewhere in memory would cost a
// cache miss each. Fields too long to keep (never the kernel's) compare unequal.
class ProgramImage {
 public:
  // True when these are the fields kept; never without code fields.
  bool is(std::string_view code, std::string_view data) const {
    return kept_ && code.size() == codeSize_ && data.size() == dataSize_ &&
           std::memcmp(text_.data(), code.data(), code.size()) == 0 &&
           std::memcmp(text_.data() + codeSize_, data.data(), data.size()) == 0;
  }
  void keep(std::string_view code, std::string_view data) {
    kept_ = !code.empty() && code.size() + data.size() <= text_.size();
    if (!kept_) return;
    std::memcpy(text_.data(), code.data(), code.size());
    std::memcpy(text_.data() + code.size(), data.data(), data.size());
    codeSize_ = static_cast<std::uint8_t>(code.size());
    dataSize_ = static_cast<std::uint8_t>(data.size());
  }

 private:
  // Ten fields of at most 20 digits and the blanks between them: 208 characters.
  std::array<char, 224> text_;
  std::uint8_t codeSize_ = 0;
  std::uint8_t dataSize_ = 0;
  bool kept_ = false;
};

// What was read of one process, valid while its start time and executable stay. What
// every listing looks at comes first, together.
struct CachedProcess {
  unsigned long listing = 0;                     // the last listing that saw it
  unsigned long namesGeneration = 0;             // the desktop index that info.names was made with
  std::shared_ptr<RunningApplication> snapshot;  // what listings hand out, made from info
  bool visible = false;                          // passes the user check
  bool complete = true;  // false: caught while starting a program, read again next time
  std::string startTime;
  std::string comm;  // as the stat line gave it
  ProgramImage image;
  ExecutableKey executable;
  RunningApplication::Info info;
  std::string executableName;
  // Its executable first, then what it runs through a loader or an interpreter.
  std::vector<ProgramView> programs;
  std::vector<std::string> extraNames;  // from the sandbox, the control group, the environment
};

}  // namespace

struct LinuxWorkspace::Cache {
  std::mutex mutex;
  std::unordered_map<pid_t, CachedProcess> processes;
  DesktopIndex desktop;
  DesktopIndex::Snapshot index;  // the one this listing names processes with
  unsigned long listing = 0;
  std::size_t seen = 0;  // the processes kept that this listing has seen so far
  StatBuffer statBuffer;  // reused for /proc/<pid>/stat
  std::string path;    // reused for the paths of /proc/<pid>
};

namespace {

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

// A path from a process's command line, as the process sees it: a relative one from
// its working folder.
std::string pathOfArgument(const std::string& processDir, const std::string& argument) {
  if (argument.starts_with('/')) return argument;
  return processDir + "/cwd/" + argument;
}

bool isRegularFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The file named by a process's argument, as a view with the arguments after it.
std::optional<ProgramView> viewOfArgument(const std::string& processDir, const std::vector<std::string>& arguments,
                                          std::size_t index) {
  if (index >= arguments.size() || arguments[index].empty()) return std::nullopt;
  const std::string path = pathOfArgument(processDir, arguments[index]);
  if (!isRegularFile(path)) return std::nullopt;
  ProgramView view{
      identityOf(path),
      baseName(arguments[index]),
      {},
      std::vector<std::string>(arguments.begin() + static_cast<std::ptrdiff_t>(index) + 1, arguments.end())};
  std::error_code error;
  const auto real = std::filesystem::canonical(path, error);
  if (!error && real.filename() != view.name) view.fileName = real.filename().string();
  return view;
}

// The dynamic loader run as a program: "ld-linux-x86-64.so.2 [options] program args".
bool isLoader(std::string_view name) { return name.starts_with("ld-linux") && name.find(".so") != std::string::npos; }

std::optional<ProgramView> programOfLoader(const std::string& processDir, const std::vector<std::string>& arguments) {
  static const std::set<std::string, std::less<>> kWithValue = {
      "--library-path",        "--inhibit-rpath",    "--audit", "--preload", "--argv0",
      "--glibc-hwcaps-prefix", "--glibc-hwcaps-mask"};
  std::size_t index = 0;
  while (index < arguments.size() && arguments[index].starts_with("--")) {
    const std::string& option = arguments[index++];
    if (option == "--") break;
    if (option == "--list" || option == "--verify") return std::nullopt;  // runs nothing
    if (kWithValue.contains(option)) ++index;
  }
  return viewOfArgument(processDir, arguments, index);
}

// How an interpreter's options are read: the letters after which no script file
// follows (a command given inline, a module), and those that take the next argument.
struct InterpreterOptions {
  std::string_view inline_;
  std::string_view withValue;
};

// Interpreters known by name (a trailing version is ignored: "python3.11", "lua5.4").
std::optional<InterpreterOptions> interpreterByName(std::string_view name) {
  while (!name.empty() && (std::isdigit(static_cast<unsigned char>(name.back())) != 0 || name.back() == '.')) {
    name.remove_suffix(1);
  }
  static const std::map<std::string, InterpreterOptions, std::less<>> kInterpreters = {
      {"sh", {"c", "oO"}},     {"bash", {"c", "oO"}}, {"dash", {"c", "oO"}},  {"zsh", {"c", "oO"}},
      {"ksh", {"c", "oO"}},    {"mksh", {"c", "oO"}}, {"fish", {"c", ""}},    {"python", {"cm", "WX"}},
      {"pypy", {"cm", "WX"}},  {"perl", {"eE", ""}},  {"ruby", {"e", "r"}},   {"node", {"ep", "r"}},
      {"nodejs", {"ep", "r"}}, {"php", {"r", ""}},    {"lua", {"e", "l"}},    {"luajit", {"e", "l"}},
      {"tclsh", {"", ""}},     {"wish", {"", ""}},    {"Rscript", {"e", ""}}, {"guile", {"c", ""}}};
  auto found = kInterpreters.find(name);
  if (found == kInterpreters.end()) return std::nullopt;
  return found->second;
}

// The index of an interpreter's first file argument, skipping its options; nullopt
// when its options say that no script follows.
std::optional<std::size_t> firstFileArgument(const std::vector<std::string>& arguments,
                                             const InterpreterOptions& options) {
  static const std::set<std::string, std::less<>> kInlineLong = {"--command", "--eval", "--print"};
  for (std::size_t index = 0; index < arguments.size(); ++index) {
    const std::string& word = arguments[index];
    if (word == "--") return index + 1;
    if (word.size() < 2 || word[0] != '-') return index;
    if (word[1] == '-') {
      if (kInlineLong.contains(word.substr(0, word.find('=')))) return std::nullopt;
      continue;
    }
    for (std::size_t i = 1; i < word.size(); ++i) {
      if (options.inline_.find(word[i]) != std::string_view::npos) return std::nullopt;
      if (options.withValue.find(word[i]) != std::string_view::npos) {
        if (i + 1 == word.size()) ++index;  // the value is the next argument
        break;
      }
    }
  }
  return std::nullopt;
}

// True when the file's "#!" line names this program as its interpreter (directly or
// through `env`).
bool scriptNamesInterpreter(const std::string& path, const ProgramView& interpreter, const std::string& childPath) {
  std::string head;
  if (!readRegularFile(path, head, 256) || !head.starts_with("#!")) return false;
  std::istringstream line(head.substr(2, head.find('\n') - 2));
  std::vector<std::string> words;
  for (std::string word; line >> word;) words.push_back(word);
  std::size_t index = 0;
  if (!words.empty() && baseName(words[0]) == "env") {
    index = 1;
    while (index < words.size() && (words[index].starts_with('-') || words[index].find('=') != std::string::npos)) {
      ++index;
    }
  }
  if (index >= words.size()) return false;
  const std::string& program = words[index];
  if (baseName(program) == interpreter.name) return true;
  auto found = findExecutable(program, childPath);
  return found && interpreter.file && identityOf(*found) == interpreter.file;
}

// The program that one a process runs runs in turn: the program the dynamic loader
// loads, or the script an interpreter runs (a known interpreter's first file argument,
// or a file whose "#!" line names this program).
std::optional<ProgramView> programRunBy(const std::string& processDir, const ProgramView& runner,
                                        const std::string& childPath) {
  if (isLoader(runner.name)) return programOfLoader(processDir, runner.arguments);
  if (auto known = interpreterByName(runner.name)) {
    auto index = firstFileArgument(runner.arguments, *known);
    return index ? viewOfArgument(processDir, runner.arguments, *index) : std::nullopt;
  }
  auto index = firstFileArgument(runner.arguments, {});
  if (!index) return std::nullopt;
  auto script = viewOfArgument(processDir, runner.arguments, *index);
  if (!script || !scriptNamesInterpreter(pathOfArgument(processDir, runner.arguments[*index]), runner, childPath)) {
    return std::nullopt;
  }
  return script;
}

// What a process runs: its executable with the arguments of its command line, where
// that cannot be read the program its command line starts with (when that is a path),
// and then what each runs in turn through a loader or an interpreter.
std::vector<ProgramView> programsOf(const std::string& processDir, const std::vector<std::string>& commandLine,
                                    const ExecutableKey& executable, const std::string& executableName,
                                    bool executableKnown, const std::string& childPath) {
  std::vector<ProgramView> programs;
  std::vector<std::string> arguments;
  if (!commandLine.empty()) arguments.assign(commandLine.begin() + 1, commandLine.end());
  programs.push_back({executable.file, executableName, {}, arguments});
  if (!executableKnown && !commandLine.empty() && commandLine[0].find('/') != std::string::npos) {
    if (auto started = viewOfArgument(processDir, commandLine, 0)) programs.push_back(std::move(*started));
  }
  const std::size_t direct = programs.size();
  for (std::size_t first = 0; first < direct; ++first) {
    const ProgramView* runner = &programs[first];
    // A few steps at most: a loader running an interpreter running a script.
    for (int step = 0; step < 3; ++step) {
      auto next = programRunBy(processDir, *runner, childPath);
      if (!next) break;
      programs.push_back(std::move(*next));
      runner = &programs.back();
    }
  }
  return programs;
}

// Reads everything that names a process, at its first sight under this key.
void readProcess(const WorkspaceOptions& options, const std::string& childPath, pid_t pid, const std::string& dir,
                 const StatFields& stat, const ExecutableKey& executable, CachedProcess& cached) {
  cached.visible = true;
  cached.complete = true;
  cached.info = {};
  cached.executableName.clear();
  cached.programs.clear();
  cached.extraNames.clear();
  cached.namesGeneration = 0;
  if (options.currentUserOnly) {
    auto status = readSmallFile(dir + "/status");
    auto uid = status ? realUserOf(*status) : std::nullopt;
    if (!uid || *uid != ::getuid()) {
      cached.visible = false;
      return;
    }
  }

  RunningApplication::Info& info = cached.info;
  info.processIdentifier = pid;
  std::string comm = stat.comm;
  if (auto commFile = readSmallFile(dir + "/comm")) {
    comm = *commFile;
    while (!comm.empty() && comm.back() == '\n') comm.pop_back();
  }
  info.localizedName = comm;

  const bool kernelThread = (stat.flags & kKernelThreadFlag) != 0;
  bool hasExecutable = false;
  if (!kernelThread) {
    std::array<char, PATH_MAX> buffer;
    ssize_t length = ::readlink((dir + "/exe").c_str(), buffer.data(), buffer.size());
    if (length > 0) {
      std::string target(buffer.data(), static_cast<std::size_t>(length));
      constexpr std::string_view deleted = " (deleted)";
      if (target.ends_with(deleted)) target.resize(target.size() - deleted.size());
      info.executablePath = target;
      hasExecutable = true;
    } else if (errno == EACCES || errno == EPERM) {
      hasExecutable = true;  // someone else's process: it has one, we may not see it
    }
  }
  if (!hasExecutable) {
    info.activationPolicy = ActivationPolicy::prohibited;
    return;
  }
  cached.executableName = info.executablePath ? baseName(*info.executablePath) : comm;
  const auto commandLine = readCommandLine(dir);
  cached.programs = programsOf(dir, commandLine.value_or(std::vector<std::string>()), executable, cached.executableName,
                               info.executablePath.has_value(), childPath);

  // What the system records: the sandbox's application id, the snap's control group.
  if (auto id = flatpakApplicationId(dir)) addName(cached.extraNames, *id);
  if (auto cgroup = readSmallFile(dir + "/cgroup")) {
    for (auto& name : snapNames(*cgroup)) addName(cached.extraNames, std::move(name));
  }

  auto environText = readSmallFile(dir + "/environ");
  // A process in the middle of starting its program shows the new executable before
  // its command line and environment are in place: read it again next time.
  if (((environText && environText->empty()) || (commandLine && commandLine->empty())) && info.executablePath) {
    cached.complete = false;
  }
  const auto environment = parseEnviron(environText.value_or(std::string()));
  const bool desktopSession =
      !nonEmpty(environment, "DISPLAY").empty() || !nonEmpty(environment, "WAYLAND_DISPLAY").empty();

  // The environment's hints, each of them an extra name.
  const std::string explicitId = nonEmpty(environment, "MOPET_BUNDLE_IDENTIFIER");
  const std::string flatpak = nonEmpty(environment, "FLATPAK_ID");
  const std::string snap = nonEmpty(environment, "SNAP_NAME");
  std::string gioFile = nonEmpty(environment, "GIO_LAUNCHED_DESKTOP_FILE");
  if (nonEmpty(environment, "GIO_LAUNCHED_DESKTOP_FILE_PID") != std::to_string(pid)) gioFile.clear();
  const std::string bamfFile = nonEmpty(environment, "BAMF_DESKTOP_FILE_HINT");
  for (const auto& hint : {explicitId, flatpak, snap, gioFile.empty() ? std::string() : desktopIdFromPath(gioFile),
                           bamfFile.empty() ? std::string() : desktopIdFromPath(bamfFile)}) {
    addName(cached.extraNames, hint);
  }

  // The bundle identifier: the first hint there is, else the executable's name.
  std::optional<std::string> desktopFile;  // where the name comes from, if anywhere
  std::optional<std::string> desktopId;
  if (!explicitId.empty()) {
    info.bundleIdentifier = explicitId;
    info.activationPolicy = ActivationPolicy::regular;
  } else {
    if (!flatpak.empty()) {
      desktopId = flatpak;
    } else if (!snap.empty()) {
      desktopId = snap;
    } else if (!gioFile.empty()) {
      desktopId = desktopIdFromPath(gioFile);
      desktopFile = gioFile;
    } else if (!bamfFile.empty()) {
      desktopId = desktopIdFromPath(bamfFile);
      desktopFile = bamfFile;
    }
    if (desktopId && !desktopId->empty()) {
      info.bundleIdentifier = *desktopId;
      info.activationPolicy = desktopSession ? ActivationPolicy::regular : ActivationPolicy::accessory;
    } else {
      info.bundleIdentifier = cached.executableName;
      info.activationPolicy = ActivationPolicy::accessory;
    }
  }
  if (info.bundleIdentifier && info.bundleIdentifier->empty()) {
    info.bundleIdentifier.reset();
    info.activationPolicy = ActivationPolicy::prohibited;
  }

  // The display name: the desktop entry's Name where there is one, else the executable's.
  std::optional<DesktopEntry> entry;
  if (desktopFile) entry = loadDesktopEntry(*desktopFile);
  if (!entry && desktopId) entry = findDesktopEntryById(options.applicationFolders, *desktopId);
  if (entry && !entry->name.empty()) {
    info.localizedName = entry->name;
  } else if (info.executablePath) {
    info.localizedName = baseName(*info.executablePath);
  }
}

}  // namespace

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

  const bool kernelThread = (stat->flags & kKernelThreadFlag) != 0;
  auto [it, inserted] = cache.processes.try_emplace(pid);
  CachedProcess& cached = it->second;
  path.resize(dirLength);
  path.append("exe");
  // The same start time, command name and program image as last time: the same exec
  // of the same program, so the executable need not be looked at again.
  const bool sameImage = !inserted && stat->startTime == cached.startTime && stat->comm == cached.comm &&
                         cached.image.is(stat->codeImage, stat->dataImage);
  if (cached.listing != cache.listing) {
    cached.listing = cache.listing;
    ++cache.seen;
  }
  // The same image keeps the key as it is, without a copy of it.
  const bool sameKey = sameImage && !kernelThread;
  ExecutableKey executable = kernelThread ? ExecutableKey{}
                             : sameKey    ? ExecutableKey{}
                             : inserted   ? executableKey(dirFd, path)
                                          : executableKeyAgain(dirFd, path, cached.executable);
  if (inserted || !cached.complete || cached.startTime != stat->startTime ||
      !(sameKey || cached.executable == executable)) {
    const std::string dir = options_.procRoot + "/" + std::to_string(pid);
    readProcess(options_, childPath(), pid, dir, *stat, sameKey ? cached.executable : executable, cached);
    cached.snapshot.reset();
    cached.startTime = stat->startTime;
    if (!sameKey) cached.executable = std::move(executable);
  }
  if (!sameImage) {
    cached.comm = stat->comm;
    cached.image.keep(stat->codeImage, stat->dataImage);
  }
  if (!cached.visible) return nullptr;

  if (cached.namesGeneration != cache.index.generation) {
    std::vector<std::string> names;
    if (!cached.executableName.empty()) {
      addName(names, cached.executableName);
      // Each program it runs: the file's name, and the entries whose command it runs.
      for (const auto& program : cached.programs) {
        addName(names, program.name);
        addName(names, program.fileName);
        if (!program.file || !cache.index.names) continue;
        auto found = cache.index.names->find(*program.file);
        if (found == cache.index.names->end()) continue;
        for (const auto& entry : found->second) {
          const auto& fixed = entry.fixedArguments;
          if (program.arguments.size() >= fixed.size() &&
              std::equal(fixed.begin(), fixed.end(), program.arguments.begin())) {
            addName(names, entry.id);
          }
        }
      }
      for (const auto& name : cached.extraNames) addName(names, name);
    }
    cached.info.names = std::move(names);
    cached.namesGeneration = cache.index.generation;
    cached.snapshot.reset();
  }
  // The snapshot is immutable: while nothing of the process changed, every listing
  // hands out the same one.
  if (!cached.snapshot) {
    cached.snapshot = std::make_shared<ProcRunningApplication>(cached.info, options_.procRoot, cached.startTime);
  }
  return cached.snapshot;
}

std::shared_ptr<RunningApplication> LinuxWorkspace::application(pid_t pid) {
  std::lock_guard lock(cache_->mutex);
  cache_->index = cache_->desktop.current(options_.applicationFolders, childPath(), options_.desktopIndexInterval);
  return lookUp(pid, -1);
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
  std::lock_guard lock(cache_->mutex);
  cache_->index = cache_->desktop.current(options_.applicationFolders, childPath(), options_.desktopIndexInterval);
  const unsigned long listing = ++cache_->listing;
  cache_->seen = 0;
  // The processes' files are opened from the listed folder: shorter path walks.
  const int rootFd = dir != nullptr ? ::dirfd(dir) : -1;
  for (pid_t pid : pids) {
    if (auto app = lookUp(pid, rootFd)) applications.push_back(std::move(app));
  }
  if (dir != nullptr) ::closedir(dir);
  // What this listing did not see has ended (nothing, when it saw every process kept).
  if (cache_->seen != cache_->processes.size()) {
    std::erase_if(cache_->processes, [listing](const auto& entry) { return entry.second.listing != listing; });
  }
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
    for (const auto& file : desktopFilesIn(folder)) {
      auto entry = loadDesktopEntry(file);
      if (!entry || entry->hidden) continue;
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
  // The agent never signals itself, whatever a rule names.
  if (pid == ::getpid()) {
    errno = EPERM;
    return false;
  }
  return platform::sendSignal(pid, signal);
}

}  // namespace platform
