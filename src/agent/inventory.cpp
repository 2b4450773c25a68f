// The installed-application inventory, the uncalled application-list sync and the
// uncalled text-file writer.
//
// On Linux an installed application is a desktop entry, found in the folders of desktop
// entries in the order the desktop uses (FileManager::applicationDirectories). Of each
// folder entry, and of each desktop entry in its subfolders:
//   - a desktop entry ("*.desktop" with a [Desktop Entry] group) is listed when a menu
//     would show it (Type=Application, neither NoDisplay nor Hidden) and the program it
//     launches (TryExec when given, and the first word of Exec, looked up in the PATH
//     children get) is an executable file; its display name is its Name;
//   - anything else but a folder is listed when it is executable as the file manager
//     says, and is named by its file name, as a metadata store names any file.
// The scripting tool is "osascript" in the children's PATH (the stand-in in tools/
// answers with the desktop entry's identifier).
#include "agent/inventory.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_set>
#include <utility>
#include <vector>

#include "networks/network_manager.h"
#include "networks/print_line.h"
#include "networks/shared_settings.h"
#include "platform/dispatch.h"
#include "platform/process.h"
#include "platform/user_defaults.h"
#include "platform/workspace.h"

namespace agent {

namespace {

constexpr std::string_view kPlaceholderIdentifier = "com.apple.com";

std::string baseName(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The executable file `program` names: as given when it holds a slash, else the first
// match in `searchPath` (the PATH that children get).
std::optional<std::string> resolveProgram(const platform::FileManager& files, const std::string& searchPath,
                                          const std::string& program) {
  auto runnable = [&](const std::string& path) {
    bool isDirectory = false;
    return files.fileExists(path, isDirectory) && !isDirectory && files.isExecutableFile(path);
  };
  return platform::Process::findProgram(program, searchPath, runnable);
}

std::optional<platform::DesktopEntry> desktopEntryAt(const std::string& path) {
  if (!path.ends_with(".desktop")) return std::nullopt;
  return platform::readDesktopEntry(path);
}

bool isExecutableEntry(const platform::FileManager& files, const std::string& searchPath, const std::string& path) {
  auto entry = desktopEntryAt(path);
  if (!entry) {
    // A folder is a menu's group: the entries in it are listed, not the folder.
    bool isDirectory = false;
    return files.fileExists(path, isDirectory) && !isDirectory && files.isExecutableFile(path);
  }
  // Only what a menu shows: an application entry, neither hidden from menus
  // (NoDisplay: the desktop's shell, a runtime's own entry) nor deleted (Hidden).
  if (entry->type != "Application" || entry->noDisplay || entry->hidden) return false;
  if (!entry->tryExec.empty() && !resolveProgram(files, searchPath, entry->tryExec)) return false;
  const auto arguments = platform::desktopEntryArguments(*entry);
  return !arguments.empty() && resolveProgram(files, searchPath, arguments.front()).has_value();
}

std::optional<MetadataItem> metadataItem(const std::string& path) {
  auto entry = desktopEntryAt(path);
  if (!entry) return MetadataItem{path, baseName(path)};
  if (entry->hidden) return std::nullopt;
  MetadataItem item{path, std::nullopt};
  if (!entry->name.empty()) item.displayName = entry->name;
  return item;
}

// The scripting command that prints the identifier of the application named `name`.
// Inside the script's string literal a backslash and a double quote are escaped; the
// whole script is one single-quoted word for the shell, an apostrophe written as '\''.
// So the shell runs the one command and the tool reads the name whole.
std::string identifierCommand(const std::string& name) {
  std::string literal;
  for (char c : name) {
    if (c == '\\' || c == '"') literal += '\\';
    literal += c;
  }
  std::string quoted;
  for (char c : literal) {
    if (c == '\'') quoted += "'\\''";
    else quoted += c;
  }
  return "osascript -e 'id of app \"" + quoted + "\"'";
}

std::string withoutLineFeeds(std::string text) {
  std::erase(text, '\n');
  return text;
}

// `bytes` as UTF-8 text; each invalid sequence becomes U+FFFD.
std::string utf8Text(const platform::Data& bytes) {
  std::string out;
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  while (i < n) {
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) length = 1;
    else if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    std::size_t valid = length == 0 ? 0 : 1;
    while (valid > 0 && valid < length && i + valid < n) {
      const unsigned char next = byte(i + valid);
      const unsigned char min = valid == 1 ? low : 0x80;
      const unsigned char max = valid == 1 ? high : 0xBF;
      if (next < min || next > max) break;
      ++valid;
    }
    if (length != 0 && valid == length) {
      out.append(reinterpret_cast<const char*>(bytes.data()) + i, length);
      i += length;
    } else {
      out += "\xEF\xBF\xBD";
      i += valid == 0 ? 1 : valid;
    }
  }
  return out;
}

std::string quotedText(const std::string& text) { return "\"" + text + "\""; }

// The standard textual description of the application list.
std::string appListDescription(const std::vector<ApplicationListElement>& list) {
  std::string text = "[";
  for (std::size_t i = 0; i < list.size(); ++i) {
    const auto& element = list[i];
    if (i > 0) text += ", ";
    text += "VelmorMopetAgent.AppDelegate.ApplicationListElement(name: " + quotedText(element.name) +
            ", pk: " + quotedText(element.pk) + ", firstInstalledTime: " + std::to_string(element.firstInstalledTime) +
            ", status: " + quotedText(element.status) + ", currentVersion: " + quotedText(element.currentVersion) + ")";
  }
  return text + "]";
}

}  // namespace

Inventory::Inventory(const platform::FileManager& files, networks::NetworkManager& requests, CommandRunner runCommand,
                     const std::string& childPath, const std::string& inheritedPath)
    : files_(files),
      requests_(requests),
      runCommand_(std::move(runCommand)),
      searchPath_(platform::Process::childSearchPath(childPath, inheritedPath)) {}

std::vector<MetadataItem> Inventory::collect() {
  const auto& files = files_;
  // Every folder of desktop entries, the user's first; a folder that is not there holds
  // nothing. An entry's id is its file name: the first folder that holds an id wins, so
  // the user's own entry (a Hidden one included) stands in for the system's.
  std::vector<std::string> entries;
  std::unordered_set<std::string> ids;
  for (const auto& folder : files.applicationDirectories()) {
    auto listing = files.contentsOfDirectory(folder);
    if (!listing) {
      const auto missing = std::error_code(ENOENT, std::generic_category());
      const auto notAFolder = std::error_code(ENOTDIR, std::generic_category());
      if (listing.error().code == missing || listing.error().code == notAFolder) continue;
      return {};
    }
    for (auto& entry : *listing) {
      if (ids.insert(baseName(entry)).second) entries.push_back(std::move(entry));
    }
    // The desktop entries of its subfolders (as Wine writes them), named by their
    // desktop-entry id: "wine/Programs/Game.desktop" stands for "wine-Programs-Game.desktop".
    for (auto& file : platform::desktopFilesOf(folder)) {
      if (file.path.find('/', folder.size() + 1) == std::string::npos) continue;  // listed above
      if (ids.insert(file.id + ".desktop").second) entries.push_back(std::move(file.path));
    }
  }

  std::vector<MetadataItem> items;
  for (const auto& entry : entries) {
    if (!isExecutableEntry(files, searchPath_, entry)) continue;
    if (auto item = metadataItem(entry)) items.push_back(std::move(*item));
  }

  std::vector<networks::Norule> norules;
  for (const auto& item : items) {
    if (!item.displayName) continue;
    // A NUL would cut the command line short; no application can be named so.
    if (item.displayName->find('\0') != std::string::npos) continue;
    const std::string output = runCommand_(identifierCommand(*item.displayName));
    if (output.find("0:2:") != std::string::npos) continue;
    norules.push_back(networks::Norule{*item.displayName, withoutLineFeeds(output)});
  }

  networks::SendAppListModel report;
  report.norules = std::move(norules);
  report.allowed = std::vector{networks::Allowed{"System", 0, std::string(kPlaceholderIdentifier), "22222", "empty"}};
  report.blocked = std::vector{networks::Blocked{"System Extentions", std::string(kPlaceholderIdentifier), "empty"}};
  // The inventory runs off the main thread, where no tick is held: its upload waits for
  // the reply, however slow (the request's own deadline bounds it), so that the reply's
  // line comes before the list's. A runner of its own over the same session, as the
  // shared runner's wait is cut to the main thread's budget.
  networks::NetworkManager upload(requests_.session());
  upload.setReplyWaitLimit(networks::NetworkManager::kNoReplyWaitLimit);
  upload.sendAppList(report, [](networks::Result<networks::AcceptanceModel> result) {
    networks::printLine(result ? "success sendAppList" : "failed sendAppList");
  });

  networks::printLine("appList: " + appListDescription(appList_));
  return items;
}

std::string Inventory::syncApps() {
  platform::DispatchSemaphore semaphore(0);
  const std::string body = appListDescription(appList_);

  const auto token = networks::storedChildToken();
  if (!token) return "";
  const auto school = networks::ChildEndPoint::backendChoice();
  networks::printLine("USE SCHOOL SSS: " + (school ? "Optional(" + quotedText(*school) + ")" : std::string("nil")));
  if (networks::ChildEndPoint::schoolChosen()) networks::printLine("USE SCHOOL FOR APP SYNC");

  const bool sent = requests_.send(
      networks::ChildEndPoint::syncApps(body), *token,
      [&semaphore](std::optional<platform::Data> data, const std::shared_ptr<const platform::URLResponse>&,
                   std::optional<platform::Error> error) {
        if (!data) {
          networks::printLine(error ? "Optional(" + error->description() + ")" : std::string("nil"));
        } else {
          networks::printLine(utf8Text(*data));
        }
        semaphore.signal();
      });
  if (sent) semaphore.wait();
  return "";
}

void Inventory::write(const std::string& text, const std::string& to, const std::string& folder) const {
  const auto& files = files_;
  const std::string documents = files.documentsDirectory();
  if (documents.empty()) return;
  const std::string directory = documents + "/" + folder;
  (void)files.createDirectory(directory, true);
  (void)files.write(directory + "/" + to + ".txt", text, false);
}

}  // namespace agent
