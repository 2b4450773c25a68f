#include "platform/settings.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/bundle.h"

namespace platform::settings {

std::string variable(const char* name) {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the agent itself never changes its environment.
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

std::string homeDirectory() {
  if (auto home = variable("HOME"); !home.empty()) return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* result = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
      result->pw_dir != nullptr) {
    return result->pw_dir;
  }
  return "/";
}

std::vector<std::string> dataDirectories() {
  std::vector<std::string> folders;
  auto add = [&](std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (folder.empty() || folder.front() != '/') return;
    if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.push_back(std::move(folder));
  };
  const std::string dataHome = variable("XDG_DATA_HOME");
  add(!dataHome.empty() && dataHome.front() == '/' ? dataHome : homeDirectory() + "/.local/share");
  std::string dataDirs = variable("XDG_DATA_DIRS");
  if (dataDirs.empty()) dataDirs = "/usr/local/share:/usr/share";
  std::size_t start = 0;
  while (start <= dataDirs.size()) {
    auto colon = dataDirs.find(':', start);
    if (colon == std::string::npos) colon = dataDirs.size();
    add(dataDirs.substr(start, colon - start));
    start = colon + 1;
  }
  return folders;
}

std::string configHome() {
  if (auto folder = variable("XDG_CONFIG_HOME"); !folder.empty() && folder.front() == '/') return folder;
  return homeDirectory() + "/.config";
}

}  // namespace platform::settings

namespace platform {

namespace {

std::vector<std::string> connectToEntries(const std::string& text) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  while (start <= text.size()) {
    auto comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    std::string entry = text.substr(start, comma - start);
    auto first = entry.find_first_not_of(" \t");
    auto last = entry.find_last_not_of(" \t");
    if (first != std::string::npos) entries.push_back(entry.substr(first, last - first + 1));
    start = comma + 1;
  }
  return entries;
}

std::string installedToolFolder() {
  const std::string tools = Bundle::main().resourcePath() + "/tools";
  struct stat info {};
  return ::stat(tools.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? tools : std::string();
}

std::mutex installedMutex;
std::optional<Settings>& installed() {
  static auto* settings = new std::optional<Settings>;  // lives to the end
  return *settings;
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
  return settings;
}

Settings Settings::fromEnvironment() {
  return read([](const char* name) -> std::optional<std::string> {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read once by the composition root, before any thread.
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  });
}

Settings Settings::current() {
  {
    std::lock_guard lock(installedMutex);
    if (installed()) return *installed();
  }
  return fromEnvironment();
}

void Settings::install(Settings settings) {
  std::lock_guard lock(installedMutex);
  installed() = std::move(settings);
}

}  // namespace platform
