#include "platform/workspace_entries.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "platform/settings.h"
#include "platform/workspace_files.h"

namespace platform {
namespace workspace_detail {

std::string desktopIdFromPath(std::string_view path) {
  std::string name = baseName(path);
  constexpr std::string_view suffix = ".desktop";
  if (name.size() > suffix.size() && name.ends_with(suffix)) name.resize(name.size() - suffix.size());
  return name;
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

std::optional<DesktopEntry> loadDesktopEntry(const std::string& path) {
  std::string text;
  if (!readRegularFile(path, text, kDesktopEntryLimit, true, true)) return std::nullopt;
  return parseDesktopEntry(path, text);
}

namespace {

// Subfolders deeper than this are not looked into (Wine writes two or three levels).
constexpr int kMaxFolderDepth = 8;

void addDesktopFiles(const std::string& folder, const std::string& idPrefix, int depth, DesktopFiles& found,
                     std::size_t maxFiles) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> subfolders;
  // readdir is safe on a stream that only this thread reads (readdir_r is deprecated).
  while (dirent* entry = ::readdir(dir)) {  // NOLINT(concurrency-mt-unsafe)
    const std::string_view name(entry->d_name);
    if (name.empty() || name[0] == '.') continue;
    bool isFolder = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat info {};
      isFolder = ::lstat((folder + "/" + std::string(name)).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    }
    if (isFolder) {
      if (depth < kMaxFolderDepth) subfolders.emplace_back(name);
      continue;
    }
    if (name.size() <= 8 || !name.ends_with(".desktop")) continue;
    if (found.files.size() >= maxFiles) {
      found.truncated = true;
      break;
    }
    found.files.push_back({folder + "/" + std::string(name), idPrefix + std::string(name.substr(0, name.size() - 8))});
  }
  ::closedir(dir);
  std::sort(subfolders.begin(), subfolders.end());
  for (const auto& sub : subfolders) {
    if (found.truncated) return;
    std::string subPrefix = idPrefix;
    subPrefix.append(sub).append("-");
    std::string subfolder = folder;
    subfolder.append("/").append(sub);
    addDesktopFiles(subfolder, subPrefix, depth + 1, found, maxFiles);
  }
}

}  // namespace

DesktopFiles desktopFilesIn(const std::string& folder, std::size_t maxFiles) {
  DesktopFiles found;
  addDesktopFiles(folder, "", 0, found, maxFiles);
  std::sort(found.files.begin(), found.files.end(),
            [](const DesktopFile& a, const DesktopFile& b) { return a.path < b.path; });
  return found;
}

std::optional<DesktopEntry> findDesktopEntryById(const std::vector<std::string>& folders, const std::string& id) {
  for (const auto& folder : folders) {
    if (auto entry = loadDesktopEntry(std::string(folder).append("/").append(id).append(".desktop"))) return entry;
  }
  return std::nullopt;
}

bool isLauncher(std::string_view program) {
  static const std::set<std::string, std::less<>> kLaunchers = {"sh",   "bash",    "dash", "zsh",     "ksh",
                                                                "fish", "flatpak", "snap", "xdg-open"};
  return kLaunchers.contains(baseName(program));
}

namespace {

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

}  // namespace

// The game id of a Steam entry's `steam steam://rungameid/<N>` command, if it is one.
std::optional<std::string> steamGameOf(const std::string& program, const std::vector<std::string>& arguments) {
  if (baseName(program) != "steam") return std::nullopt;
  constexpr std::string_view prefix = "steam://rungameid/";
  for (const auto& argument : arguments) {
    if (!argument.starts_with(prefix)) continue;
    std::string id = argument.substr(prefix.size());
    if (!id.empty() && std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; })) return id;
  }
  return std::nullopt;
}

std::optional<EntryCommand> entryCommand(const DesktopEntry& entry) {
  auto words = splitExecLine(entry.exec);
  if (!words) return std::nullopt;
  auto index = launchedProgramIndex(*words);
  if (!index || (*words)[*index].empty() || hasFieldCode((*words)[*index])) return std::nullopt;
  EntryCommand command{withPercentSigns((*words)[*index]), {}, std::nullopt};
  std::size_t i = *index + 1;
  for (; i < words->size() && !hasFieldCode((*words)[i]); ++i) {
    command.fixedArguments.push_back(withPercentSigns((*words)[i]));
  }
  // An option word just before a field code is that code's ("-qwindowtitle %c").
  if (i < words->size() && !command.fixedArguments.empty() && command.fixedArguments.back().starts_with('-')) {
    command.fixedArguments.pop_back();
  }
  command.steamGame = steamGameOf(command.program, command.fixedArguments);
  return command;
}

}  // namespace workspace_detail

using namespace workspace_detail;

std::optional<DesktopEntry> readDesktopEntry(const std::string& path) {
  auto text = readSmallFile(path);
  if (!text) return std::nullopt;
  return parseDesktopEntry(path, *text);
}

std::vector<DesktopFile> desktopFilesOf(const std::string& folder) {
  return workspace_detail::desktopFilesIn(folder).files;
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

}  // namespace platform
