#include "platform/settings.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/bundle.h"

namespace platform {

namespace {

// The pieces of `text` between separators, empty ones included.
std::vector<std::string> pieces(const std::string& text, char separator) {
  std::vector<std::string> result;
  std::size_t start = 0;
  while (start <= text.size()) {
    auto end = text.find(separator, start);
    if (end == std::string::npos) end = text.size();
    result.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return result;
}

// The comma-separated entries, blanks and tabs around each trimmed, empty ones dropped.
std::vector<std::string> connectToEntries(const std::string& text) {
  std::vector<std::string> entries;
  for (const auto& entry : pieces(text, ',')) {
    auto first = entry.find_first_not_of(" \t");
    auto last = entry.find_last_not_of(" \t");
    if (first != std::string::npos) entries.push_back(entry.substr(first, last - first + 1));
  }
  return entries;
}

// The password database's home of the current user, "/" when it has none.
std::string passwordDatabaseHome() {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* result = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
      result->pw_dir != nullptr) {
    return result->pw_dir;
  }
  return "/";
}

bool isAbsolute(const std::string& folder) { return !folder.empty() && folder.front() == '/'; }

// The absolute folders of a colon-separated list, in order.
std::vector<std::string> absoluteFolders(const std::string& list) {
  std::vector<std::string> folders;
  for (auto& folder : pieces(list, ':')) {
    if (isAbsolute(folder)) folders.push_back(std::move(folder));
  }
  return folders;
}

std::string installedToolFolder() {
  const std::string tools = Bundle::main().resourcePath() + "/tools";
  struct stat info {};
  return ::stat(tools.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? tools : std::string();
}

std::mutex installedMutex;
// The installed value; empty until install(), exchange() or the first current().
std::shared_ptr<const Settings>& installed() {
  static auto* settings = new std::shared_ptr<const Settings>;  // lives to the end
  return *settings;
}

// The installed value, read from the environment at the first call when nothing is
// installed. Readers share it; install() and exchange() put a new one in its place.
std::shared_ptr<const Settings> currentValue() {
  std::lock_guard lock(installedMutex);
  if (!installed()) installed() = std::make_shared<const Settings>(Settings::fromEnvironment());
  return installed();
}

}  // namespace

Settings Settings::read(const Lookup& lookup) {
  auto value = [&](const char* name) { return lookup(name).value_or(std::string()); };
  Settings settings;
  if (auto path = value("MOPET_HOSTS_FILE"); !path.empty()) settings.hostsFile = std::move(path);
  settings.childPath = value("MOPET_CHILD_PATH");
  if (settings.childPath.empty()) settings.childPath = installedToolFolder();
  settings.connectTo = connectToEntries(value("MOPET_CONNECT_TO"));
  settings.caFile = value("SSL_CERT_FILE");
  settings.locationFile = value("MOPET_LOCATION_FILE");

  settings.homeDirectory = value("HOME");
  if (settings.homeDirectory.empty()) settings.homeDirectory = passwordDatabaseHome();
  if (auto folder = value("XDG_DATA_HOME"); isAbsolute(folder)) settings.xdgDataHome = std::move(folder);
  if (auto list = value("XDG_DATA_DIRS"); !list.empty()) settings.xdgDataDirs = absoluteFolders(list);
  if (auto folder = value("XDG_CONFIG_HOME"); isAbsolute(folder)) settings.xdgConfigHome = std::move(folder);
  settings.inheritedPath = value("PATH");
  settings.display = value("DISPLAY");
  return settings;
}

Settings Settings::fromEnvironment() {
  return read([](const char* name) -> std::optional<std::string> {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the agent never changes its environment, nor do the tests.
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  });
}

std::vector<std::string> Settings::dataDirectories() const {
  std::vector<std::string> folders;
  auto add = [&](std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (!isAbsolute(folder)) return;
    if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.push_back(std::move(folder));
  };
  add(isAbsolute(xdgDataHome) ? xdgDataHome : homeDirectory + "/.local/share");
  for (const auto& folder : xdgDataDirs) add(folder);
  return folders;
}

std::string Settings::configHome() const {
  return isAbsolute(xdgConfigHome) ? xdgConfigHome : homeDirectory + "/.config";
}

Settings Settings::current() { return *currentValue(); }

void Settings::install(Settings settings) {
  auto next = std::make_shared<const Settings>(std::move(settings));
  std::lock_guard lock(installedMutex);
  installed() = std::move(next);
}

Settings Settings::exchange(Settings settings) {
  auto next = std::make_shared<const Settings>(std::move(settings));
  std::lock_guard lock(installedMutex);
  if (!installed()) installed() = std::make_shared<const Settings>(fromEnvironment());
  installed().swap(next);
  return *next;
}

}  // namespace platform
