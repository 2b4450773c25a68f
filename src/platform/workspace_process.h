#pragma once
// Reading one process for the workspace: what its /proc folder says that names it (its
// executable, what that runs, its sandbox and control group, its environment's hints),
// kept with the key that tells when it must be read again. Internal to the workspace.
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/proc_stat.h"
#include "platform/workspace.h"
#include "platform/workspace_files.h"
#include "platform/workspace_index.h"
#include "platform/workspace_programs.h"

namespace platform::workspace_detail {

inline constexpr unsigned long kKernelThreadFlag = 0x00200000;  // PF_KTHREAD

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

// The key of the executable that `exeLink` (relative to `dirFd`) names.
ExecutableKey executableKey(int dirFd, const std::string& exeLink);
// The key again, for a process seen before, in one call: where its file could not be
// looked at last time, only the link is read, and the same text (or the same reason it
// cannot be read) keeps the key.
ExecutableKey executableKeyAgain(int dirFd, const std::string& exeLink, const ExecutableKey& previous);

// Reads a listing's /proc/<pid>/stat in as few calls as it takes: one read, as the
// file is far smaller than the buffer (a short read is its end). The tree is the
// kernel's (or a test's), not a file of the child's; O_NONBLOCK still keeps a FIFO put
// there from blocking.
using StatBuffer = std::array<char, 4096>;

std::optional<std::string_view> readStatFile(int dirFd, const std::string& path, StatBuffer& buffer);

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
  std::vector<std::string> steamGames;  // the Steam game ids in its environment
  std::optional<std::string> buildId;   // its executable's ELF build-id
  bool applicationUnit = false;         // a unit of its control group names an application
  pid_t parent = 0;                     // as the last stat line read gave it
  // Its names without those passed on by the processes that started it, and the ids of
  // the entries that name it through a script (which it passes on in turn).
  std::vector<std::string> ownNames;
  std::vector<std::string> scriptIds;
  std::vector<std::string> inheritedIds;  // those passed on, as the last listing found them
};

// Reads everything that names a process, at its first sight under this key: the user
// check, the executable and what it runs, the sandbox's and control group's names,
// the environment's hints, the bundle identifier and the display name.
void readProcess(const WorkspaceOptions& options, const std::string& childPath, pid_t pid, const std::string& dir,
                 const StatFields& stat, const ExecutableKey& executable, CachedProcess& cached);

// Brings what is kept of a process up to date with its stat line: reads it again
// (readProcess) at its first sight, after it was caught starting a program, and when
// its start time or its executable changed. `exeLink`: its /proc/<pid>/exe relative to
// `dirFd`; the executable is looked at only where the program image changed.
void refreshProcess(const WorkspaceOptions& options, pid_t pid, int dirFd, const std::string& exeLink,
                    const StatFields& stat, bool firstSight, CachedProcess& cached);

struct ProcessNames {
  std::vector<std::string> names;
  std::vector<std::string> scriptIds;  // the entries among them that name it through a script
};

// The process's names with the desktop index given (null: none built): its
// executable's name, each program it runs and the entries whose command it runs (by
// file, by the executable's build-id, by the Steam game of its environment), then the
// names read from the system and the environment.
ProcessNames namesOf(const CachedProcess& cached, const EntryIndex* index);

// Where no unit names an application for a process, the processes that started it
// pass on the ids of the entries that name them through a script: a wrapper's game is
// named by the wrapper's entry. Updates the names (and drops the snapshot) of each of
// `pids` whose passed-on ids changed; the parents are looked up in `processes`.
void passOnScriptIds(std::unordered_map<pid_t, CachedProcess>& processes, const std::vector<pid_t>& pids);

}  // namespace platform::workspace_detail
