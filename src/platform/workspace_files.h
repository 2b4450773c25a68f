#pragma once
// Small file and path helpers shared by the workspace's parts (desktop entries, their
// index, process naming). Internal to the workspace.
#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::workspace_detail {

// Reads at most `limit` bytes of a regular file into `out`. It never waits: a FIFO or
// a device put where a file is expected (a child's own folders, a child's sandbox
// root) is refused instead of blocking the caller. /proc files count as regular.
// With `refuseLarger`, a file of more than `limit` bytes is refused rather than cut.
bool readRegularFile(const std::string& path, std::string& out, std::size_t limit, bool followLinks = true,
                     bool refuseLarger = false);

inline constexpr std::size_t kSmallFileLimit = 1 << 20;

// A regular file of at most kSmallFileLimit bytes (cut there).
std::optional<std::string> readSmallFile(const std::string& path, bool followLinks = true);

std::string baseName(std::string_view path);
std::string lowercase(std::string text);
// Without leading and trailing blanks, tabs and carriage returns.
std::string trim(std::string_view text);

bool isRegularFile(const std::string& path);
bool isExecutableFile(const std::string& path);
// The executable `name` in the PATH children get (`childPath` first, then the PATH the
// agent inherited); a name with a slash is taken as is.
std::optional<std::string> findExecutable(const std::string& name, const std::string& childPath);

// A file as the kernel knows it: what a link by another name leads to as well.
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
std::optional<FileIdentity> identityOf(const std::string& path, int dirFd = AT_FDCWD);

// Adds a name to a list of names once; an empty one never.
void addName(std::vector<std::string>& names, std::string name);

}  // namespace platform::workspace_detail
