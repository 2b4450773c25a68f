#pragma once
// The desktop entries' index: which entries name the processes that run a program,
// keyed by the program's file. Internal to the workspace.
#include <sys/types.h>

#include <chrono>
#include <compare>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/workspace_files.h"

namespace platform::workspace_detail {

// One desktop entry's claim on a program: its id, for the processes whose arguments
// after that program start with these. `throughScript`: the program is a script (or
// the script an interpreter runs), whose processes pass the id on to the processes
// they start.
struct EntryName {
  std::string id;
  std::vector<std::string> fixedArguments;
  bool throughScript = false;
  auto operator<=>(const EntryName&) const = default;
};

// What the entries name, by the program's file, by its ELF build-id (a copy of the
// program is that program) and by the Steam game id of the processes a Steam entry's
// game runs as.
struct EntryIndex {
  std::unordered_map<FileIdentity, std::vector<EntryName>, FileIdentityHash> byFile;
  std::unordered_map<std::string, std::vector<EntryName>> byBuildId;
  std::unordered_map<std::string, std::vector<std::string>> bySteamGame;
};

// How much of one application folder (its subfolders included) is read: a child's own
// folders may hold any number of entries of any size, and the index must stay quick.
struct IndexLimits {
  std::size_t entriesPerFolder = 20000;
  std::size_t bytesPerFolder = std::size_t{64} << 20;
};

// Indexes the entries of the folders by the file that their Exec program and their
// TryExec resolve to. TryExec names a program to look for and brings no arguments of
// its own: when it is the Exec program's file the Exec line's fixed arguments apply,
// otherwise (another file, or Exec runs a launcher) every process of it is named.
// Shells, launchers (a /snap/bin link to snap among them) and interpreters or
// runtimes without a fixed script name nothing by their program; a fixed script is
// indexed itself too, and so are the files that a script program's `exec` lines name
// by absolute path. Time linear in the entries: each program is resolved once. A
// folder over its limits is read in part, with a printed line.
EntryIndex indexDesktopEntries(const std::vector<std::string>& folders, const std::string& childPath,
                               const IndexLimits& limits = {});

// The desktop entries' index, shared by the listings. The first listing builds it; a
// later one that finds it due (an application folder changed, or it is older than a
// minute) and at least `minInterval` old starts a rebuild on a global queue and goes on
// with the last index built: a folder full of large or changing files never holds a
// listing up.
class DesktopIndex {
 public:
  struct Snapshot {
    std::shared_ptr<const EntryIndex> names;
    unsigned long generation = 0;  // 0: never built
  };

  // The index to name processes with. The first call starts the first build on a
  // global queue and waits for it at most kFirstBuildWait; a listing never builds it.
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
  static constexpr std::chrono::seconds kFirstBuildWait{2};

  // Builds on a global queue; the build's result becomes the next generation.
  void startBuild(const std::vector<std::string>& folders, const std::string& childPath);

  static std::vector<FolderStamp> stampsOf(const std::vector<std::string>& folders);

  struct State {
    std::mutex mutex;
    std::condition_variable builtChanged;
    Snapshot built;
    std::vector<FolderStamp> stamps;  // as they were when the last build started
    std::chrono::steady_clock::time_point startedAt;
    bool building = false;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace platform::workspace_detail
