#include "platform/workspace.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string_view>
#include <unordered_map>

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
bool readRegularFile(const std::string& path, std::string& out, std::size_t limit, bool followLinks = true) {
  out.clear();
  int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  if (!followLinks) flags |= O_NOFOLLOW;
  const int fd = ::open(path.c_str(), flags);
  if (fd < 0) return false;
  struct stat info {};
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  std::array<char, 4096> buffer;
  while (ok && out.size() < limit) {
    const ssize_t count = ::read(fd, buffer.data(), std::min(buffer.size(), limit - out.size()));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) ok = false;
    if (count <= 0) break;
    out.append(buffer.data(), static_cast<std::size_t>(count));
  }
  ::close(fd);
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

struct StatFields {
  std::string comm;
  char state = '?';
  unsigned long flags = 0;
  std::string startTime;
};

bool isBlank(char c) { return c == ' ' || c == '\n' || c == '\t'; }

// /proc/<pid>/stat: "pid (comm) state ppid ...". comm may hold blanks and
// parentheses, so the fields start after the last ')'.
std::optional<StatFields> parseStat(std::string_view text) {
  auto open = text.find('(');
  auto close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) return std::nullopt;
  StatFields fields;
  fields.comm = std::string(text.substr(open + 1, close - open - 1));
  // tokens[0] is field 3 (state), tokens[6] field 9 (flags), tokens[19] field 22 (start time).
  std::array<std::string_view, 20> tokens;
  std::size_t count = 0;
  std::size_t i = close + 1;
  while (count < tokens.size()) {
    while (i < text.size() && isBlank(text[i])) ++i;
    if (i == text.size()) break;
    const std::size_t start = i;
    while (i < text.size() && !isBlank(text[i])) ++i;
    tokens[count++] = text.substr(start, i - start);
  }
  if (count < tokens.size() || tokens[0].size() != 1) return std::nullopt;
  fields.state = tokens[0][0];
  std::from_chars(tokens[6].data(), tokens[6].data() + tokens[6].size(), fields.flags);
  fields.startTime = std::string(tokens[19]);
  return fields;
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
    if (auto entry = readDesktopEntry(std::string(folder).append("/").append(id).append(".desktop"))) return entry;
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
  DesktopEntry entry;
  entry.path = path;
  entry.id = desktopIdFromPath(path);
  bool inGroup = false;
  bool sawGroup = false;
  std::istringstream lines(*text);
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

std::vector<std::string> desktopEntryArguments(const DesktopEntry& entry) {
  // Split at blanks; inside double quotes a backslash escapes `"`, '`', '$' and '\'.
  std::vector<std::string> words;
  std::string current;
  bool inWord = false;
  bool inQuote = false;
  const std::string& exec = entry.exec;
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
  if (inQuote) return {};
  if (inWord) words.push_back(std::move(current));

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

std::optional<FileIdentity> identityOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino};
}

// What /proc/<pid>/exe names: the device and inode of the file; where the file cannot
// be looked at, the link's own text (a fixture tree) or why not (another user's
// process, a kernel thread).
struct ExecutableKey {
  std::optional<FileIdentity> file;
  std::string link;
  int error = 0;
  bool operator==(const ExecutableKey&) const = default;
};

ExecutableKey executableKey(const std::string& exeLink) {
  ExecutableKey key;
  key.file = identityOf(exeLink);
  if (key.file) return key;
  key.error = errno;
  std::array<char, PATH_MAX> target;
  const ssize_t length = ::readlink(exeLink.c_str(), target.data(), target.size());
  if (length > 0) key.link.assign(target.data(), static_cast<std::size_t>(length));
  return key;
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

// The program that an entry's Exec line ends up running, for naming processes by it.
// `env` is looked through to the program it runs. A shell or a sandbox launcher names
// no process: it runs many programs (the agent's own commands among them), so an entry
// that starts one must not put its id on every shell or launcher of the account; a
// sandboxed application is named by its Flatpak id or snap name instead.
std::optional<std::string> launchedProgram(const std::vector<std::string>& arguments) {
  static const std::set<std::string, std::less<>> kLaunchers = {"sh",   "bash",    "dash", "zsh",     "ksh",
                                                                "fish", "flatpak", "snap", "xdg-open"};
  size_t index = 0;
  auto baseName = [](const std::string& path) { return std::filesystem::path(path).filename().string(); };
  if (index < arguments.size() && baseName(arguments[index]) == "env") {
    ++index;
    // Options and variable assignments come before the program.
    while (index < arguments.size() &&
           (arguments[index].starts_with('-') || arguments[index].find('=') != std::string::npos)) {
      const auto& option = arguments[index++];
      if (option == "-u" || option == "-C" || option == "--unset" || option == "--chdir") ++index;  // takes a value
    }
  }
  if (index >= arguments.size() || kLaunchers.contains(baseName(arguments[index]))) return std::nullopt;
  return arguments[index];
}

// The desktop entries by the file their Exec program or TryExec resolves to.
struct DesktopIndex {
  struct FolderStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    long long seconds = 0;
    long nanoseconds = 0;
    bool operator==(const FolderStamp&) const = default;
  };

  std::vector<FolderStamp> stamps;
  std::chrono::steady_clock::time_point builtAt;
  unsigned long generation = 0;  // 0: never built
  std::unordered_map<FileIdentity, std::vector<std::string>, FileIdentityHash> idsByExecutable;

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

  // Indexes the folders again when one of them changed or the index is old (a program
  // replaced by an update is another file).
  void refresh(const std::vector<std::string>& folders, const std::string& childPath) {
    auto now = std::chrono::steady_clock::now();
    auto current = stampsOf(folders);
    if (generation != 0 && current == stamps && now - builtAt < kMaxAge) return;
    idsByExecutable.clear();
    for (const auto& folder : folders) {
      for (const auto& file : desktopFilesIn(folder)) {
        auto entry = readDesktopEntry(file);
        if (!entry) continue;
        std::vector<std::string> programs;
        if (auto program = launchedProgram(desktopEntryArguments(*entry))) programs.push_back(*program);
        if (!entry->tryExec.empty()) programs.push_back(entry->tryExec);
        for (const auto& program : programs) {
          auto path = findExecutable(program, childPath);
          auto resolved = path ? identityOf(*path) : std::nullopt;
          if (resolved) addName(idsByExecutable[*resolved], entry->id);
        }
      }
    }
    stamps = std::move(current);
    builtAt = now;
    ++generation;
  }

  const std::vector<std::string>* ids(const std::optional<FileIdentity>& file) const {
    if (!file) return nullptr;
    auto found = idsByExecutable.find(*file);
    return found == idsByExecutable.end() ? nullptr : &found->second;
  }
};

// What was read of one process, valid while its start time and executable stay.
struct CachedProcess {
  std::string startTime;
  ExecutableKey executable;
  bool visible = false;  // passes the user check
  bool complete = true;  // false: caught while starting a program, read again next time
  RunningApplication::Info info;
  std::string executableName;
  std::vector<std::string> extraNames;  // from the sandbox, the control group, the environment
  unsigned long namesGeneration = 0;    // the desktop index that info.names was made with
  unsigned long listing = 0;            // the last listing that saw it
};

}  // namespace

struct LinuxWorkspace::Cache {
  std::mutex mutex;
  std::unordered_map<pid_t, CachedProcess> processes;
  DesktopIndex desktop;
  unsigned long listing = 0;
  std::string buffer;  // reused for /proc/<pid>/stat
};

namespace {

// Reads everything that names a process, at its first sight under this key.
void readProcess(const WorkspaceOptions& options, pid_t pid, const std::string& dir, const StatFields& stat,
                 CachedProcess& cached) {
  cached.visible = true;
  cached.complete = true;
  cached.info = {};
  cached.executableName.clear();
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

  // What the system records: the sandbox's application id, the snap's control group.
  if (auto id = flatpakApplicationId(dir)) addName(cached.extraNames, *id);
  if (auto cgroup = readSmallFile(dir + "/cgroup")) {
    for (auto& name : snapNames(*cgroup)) addName(cached.extraNames, std::move(name));
  }

  auto environText = readSmallFile(dir + "/environ");
  // A process in the middle of starting its program shows the new executable before
  // its environment is in place: read it again next time.
  if (environText && environText->empty() && info.executablePath) cached.complete = false;
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
  if (desktopFile) entry = readDesktopEntry(*desktopFile);
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
std::shared_ptr<RunningApplication> LinuxWorkspace::lookUp(pid_t pid) {
  if (pid <= 0) return nullptr;
  if (options_.includeProcess && !options_.includeProcess(pid)) return nullptr;
  const std::string dir = options_.procRoot + "/" + std::to_string(pid);
  Cache& cache = *cache_;
  if (!readRegularFile(dir + "/stat", cache.buffer, 4096)) return nullptr;
  auto stat = parseStat(cache.buffer);
  if (!stat || stat->state == 'Z' || stat->state == 'X') return nullptr;  // exited, not yet reaped

  const bool kernelThread = (stat->flags & kKernelThreadFlag) != 0;
  ExecutableKey executable = kernelThread ? ExecutableKey{} : executableKey(dir + "/exe");
  auto [it, inserted] = cache.processes.try_emplace(pid);
  CachedProcess& cached = it->second;
  cached.listing = cache.listing;
  if (inserted || !cached.complete || cached.startTime != stat->startTime || !(cached.executable == executable)) {
    readProcess(options_, pid, dir, *stat, cached);
    cached.startTime = stat->startTime;
    cached.executable = std::move(executable);
  }
  if (!cached.visible) return nullptr;

  if (cached.namesGeneration != cache.desktop.generation) {
    std::vector<std::string> names;
    if (!cached.executableName.empty()) {
      addName(names, cached.executableName);
      if (const auto* ids = cache.desktop.ids(cached.executable.file)) {
        for (const auto& id : *ids) addName(names, id);
      }
      for (const auto& name : cached.extraNames) addName(names, name);
    }
    cached.info.names = std::move(names);
    cached.namesGeneration = cache.desktop.generation;
  }
  return std::make_shared<ProcRunningApplication>(cached.info, options_.procRoot, cached.startTime);
}

std::shared_ptr<RunningApplication> LinuxWorkspace::application(pid_t pid) {
  std::lock_guard lock(cache_->mutex);
  cache_->desktop.refresh(options_.applicationFolders, childPath());
  return lookUp(pid);
}

RunningApplications LinuxWorkspace::runningApplications() {
  std::vector<pid_t> pids;
  if (DIR* dir = ::opendir(options_.procRoot.c_str())) {
    // readdir is safe on a stream that only this thread reads (readdir_r is deprecated).
    while (dirent* entry = ::readdir(dir)) {  // NOLINT(concurrency-mt-unsafe)
      std::string_view name(entry->d_name);
      if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        continue;
      }
      long value = std::strtol(entry->d_name, nullptr, 10);
      if (value > 0) pids.push_back(static_cast<pid_t>(value));
    }
    ::closedir(dir);
  }
  std::sort(pids.begin(), pids.end());
  RunningApplications applications;
  applications.reserve(pids.size());
  std::lock_guard lock(cache_->mutex);
  cache_->desktop.refresh(options_.applicationFolders, childPath());
  const unsigned long listing = ++cache_->listing;
  for (pid_t pid : pids) {
    if (auto app = lookUp(pid)) applications.push_back(std::move(app));
  }
  // What this listing did not see has ended.
  std::erase_if(cache_->processes, [listing](const auto& entry) { return entry.second.listing != listing; });
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
      auto entry = readDesktopEntry(nameOrPath);
      return entry && launchEntry(*entry, childPath());
    }
    return isExecutableFile(nameOrPath) && launchArguments({nameOrPath}, kNoDesktopFile, childPath());
  }
  std::string name = nameOrPath;
  if (lowercase(name).ends_with(".app") && name.size() > 4) name.resize(name.size() - 4);
  const std::string wanted = lowercase(name);
  for (const auto& folder : options_.applicationFolders) {
    for (const auto& file : desktopFilesIn(folder)) {
      auto entry = readDesktopEntry(file);
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
