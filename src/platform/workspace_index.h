#pragma once
// The desktop entries' index: which entries name the processes that run a program,
// keyed by the program's file. Internal to the workspace.
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/workspace_files.h"

namespace platform::workspace_detail {

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
EntryNames indexDesktopEntries(const std::vector<std::string>& folders, const std::string& childPath);

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
                   std::chrono::steady_clock::duration minInterval);

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

  static std::vector<FolderStamp> stampsOf(const std::vector<std::string>& folders);

  struct State {
    std::mutex mutex;
    Snapshot built;
    std::vector<FolderStamp> stamps;  // as they were when the last build started
    std::chrono::steady_clock::time_point startedAt;
    bool building = false;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace platform::workspace_detail
