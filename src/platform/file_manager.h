#pragma once
// Files and folders as the agent uses them:
//   Documents            -> the desktop's documents folder (user-dirs.dirs), else $HOME/Documents
//   app-group container  -> $HOME/Library/Group Containers/<group>
//   application folders  -> the XDG data folders' "applications"
// Paths are plain texts. A manager is built over the settings it takes its folders from;
// the composition root builds the process's one and hands it to what uses files, and a
// test builds one over a temporary home of its own.
// Every operation that can fail returns a FileResult carrying the errno and a readable
// description. Safe to use from several threads.
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/data.h"
#include "platform/settings.h"

namespace platform {

struct FileError {
  std::error_code code;   // errno-based (std::generic_category)
  std::string operation;  // e.g. "write", "remove"
  std::string path;
  // "Could not <operation> "<path>": <reason>".
  std::string localizedDescription() const;
};

template <class T = void>
using FileResult = std::expected<T, FileError>;

class FileManager {
 public:
  // Folders from `settings`: its home, configuration and data folders.
  explicit FileManager(Settings settings);
  FileManager(const FileManager&) = delete;
  FileManager& operator=(const FileManager&) = delete;

  // $HOME (or the password database's home of the current user).
  std::string homeDirectory() const;
  // The desktop's documents folder: XDG_DOCUMENTS_DIR of $XDG_CONFIG_HOME/user-dirs.dirs
  // ("$HOME/..." or an absolute path), else $HOME/Documents. Made when missing (it and
  // its missing parents, mode 0700), so that what the agent keeps there can be written
  // on a fresh account; when that fails the path is still returned and the write that
  // follows says why.
  std::string documentsDirectory() const;
  // $HOME/Library/Group Containers/<group>; absent when `group` cannot name a folder
  // (empty, ".", "..", or holding "/" or a NUL). Not created.
  std::optional<std::string> containerPath(const std::string& group) const;

  // Where installed desktop applications live, in the order the desktop looks: the
  // "applications" folder of each data folder (Settings::dataDirectories), the user's
  // own first. Nothing is created or checked.
  std::vector<std::string> applicationDirectories() const;
  // The user's autostart folder: $XDG_CONFIG_HOME/autostart (default ~/.config/autostart).
  std::string autostartDirectory() const;

  // Replaces the file at `path` with `bytes`. Atomically: the bytes go to a temporary
  // file in the same folder, are flushed to disk and then renamed over the path, so a
  // reader sees the old file or the new one, never a part. A file that was there keeps
  // its permission bits; a new one gets 0666 less the umask. Not atomically: the file
  // is truncated and written in place.
  FileResult<> write(const std::string& path, std::string_view bytes, bool atomically = true) const;
  FileResult<> write(const std::string& path, const Data& bytes, bool atomically = true) const;
  // The whole file.
  FileResult<Data> contents(const std::string& path) const;

  // Removes a file, a symbolic link (not its target) or a folder with everything in it.
  FileResult<> removeItem(const std::string& path) const;
  // Whether something is at `path` (a dangling symbolic link counts as nothing).
  bool fileExists(const std::string& path) const;
  bool fileExists(const std::string& path, bool& isDirectory) const;
  // Whether the current user may execute the file (for a folder: search it).
  bool isExecutableFile(const std::string& path) const;
  // Creates the folder (mode 0777 less the umask). With intermediates, missing parents
  // are created and an existing folder is success; without, an existing item is EEXIST.
  FileResult<> createDirectory(const std::string& path, bool withIntermediateDirectories = true) const;
  // The full paths of the folder's direct entries, hidden ones included, "." and ".."
  // left out, sorted by name. Nothing below the entries is listed.
  FileResult<std::vector<std::string>> contentsOfDirectory(const std::string& path) const;
  // Moves an item to a path where nothing is (EEXIST otherwise); across file systems
  // by copying and removing.
  FileResult<> moveItem(const std::string& from, const std::string& to) const;
  // Copies a file, a symbolic link (as a link) or a folder with everything in it to a
  // path where nothing is (EEXIST otherwise). Permission bits are kept.
  FileResult<> copyItem(const std::string& from, const std::string& to) const;

 private:
  const Settings settings_;
};

}  // namespace platform
