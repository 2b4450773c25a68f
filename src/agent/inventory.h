#pragma once
// The installed-application inventory: the applications the desktop lists, each named
// by the scripting tool, sent to the service once at start-up; and the application-list
// sync and the text-file writer, which nothing calls.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "networks/network_manager.h"
#include "platform/file_manager.h"

namespace agent {

// An installed application's metadata item, as the inventory collects it.
struct MetadataItem {
  std::string path;                        // the entry's full path
  std::optional<std::string> displayName;  // absent when it has none
};

// One element of the application list (the delegate's `appList`, never filled).
struct ApplicationListElement {
  std::string name;
  std::string pk;  // a bundle identifier
  std::int64_t firstInstalledTime = 0;
  std::string status;
  std::string currentVersion;
};

// Built with the file manager (desktop entries, Documents), the request runner (the
// report, the sync), the runner of the scripting command (its output), and the folders
// put first in the children's PATH and the PATH the agent inherited (together, where an
// entry's program is looked for; Settings::childPath and Settings::inheritedPath).
class Inventory {
 public:
  using CommandRunner = std::function<std::string(const std::string&)>;
  Inventory(const platform::FileManager& files, networks::NetworkManager& requests, CommandRunner runCommand,
            const std::string& childPath, const std::string& inheritedPath);

  // The installed applications; sends their report and prints the application list.
  std::vector<MetadataItem> collect();
  // Posts the application list as text and waits for the reply. Always the empty text:
  // the reply is only printed.
  std::string syncApps();
  // Writes a text file "<to>.txt" under Documents/<folder>.
  void write(const std::string& text, const std::string& to, const std::string& folder) const;
  // The application list; nothing fills it.
  std::vector<ApplicationListElement>& appList() { return appList_; }

 private:
  const platform::FileManager& files_;
  networks::NetworkManager& requests_;
  CommandRunner runCommand_;
  // The PATH where an entry's program is looked for: childPath, then inheritedPath.
  std::string searchPath_;
  std::vector<ApplicationListElement> appList_;
};

}  // namespace agent
