#pragma once
// Desktop entries as the workspace reads them: the [Desktop Entry] group of a file,
// its Exec line split into words, and the command processes are matched against.
// Internal to the workspace; readDesktopEntry, desktopEntryArguments and
// defaultApplicationFolders (workspace.h) are the public part.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/workspace.h"

namespace platform::workspace_detail {

// The desktop-entry id of a ".desktop" path: its file name without the extension.
std::string desktopIdFromPath(std::string_view path);

// A value with the escapes \s \n \t \r \\ resolved.
std::string unescapeDesktopValue(std::string_view value);

// The words of an Exec value: split at blanks; inside double quotes a backslash
// escapes `"`, '`', '$' and '\'. Field codes are left in. Nullopt when a quote is open.
std::optional<std::vector<std::string>> splitExecLine(const std::string& exec);

// The [Desktop Entry] group of a file's text; nullopt when it has none.
std::optional<DesktopEntry> parseDesktopEntry(const std::string& path, const std::string& text);

// The largest desktop entry the workspace reads. Real entries are a few KiB; the
// folders belong to the child's account, so a huge file there must not cost a listing.
inline constexpr std::size_t kDesktopEntryLimit = std::size_t{64} * 1024;

// A desktop entry as the workspace reads it: a file above the limit is skipped.
std::optional<DesktopEntry> loadDesktopEntry(const std::string& path);

// Each file with its desktop-entry id (DesktopFile, workspace.h).
struct DesktopFiles {
  std::vector<DesktopFile> files;
  bool truncated = false;  // more than the most asked for were there
};

// The desktop entries of one folder and its subfolders, in path order; at most
// `maxFiles` of them (the first ones the folders list).
DesktopFiles desktopFilesIn(const std::string& folder, std::size_t maxFiles = SIZE_MAX);

// The desktop entry with this id in the folders, if any.
std::optional<DesktopEntry> findDesktopEntryById(const std::vector<std::string>& folders, const std::string& id);

// Shells and sandbox launchers: they run many programs (the agent's own commands
// among them), so an entry that starts one must not put its id on every shell or
// launcher of the account; a sandboxed application is named by its Flatpak id or snap
// name instead.
bool isLauncher(std::string_view program);

// The command of an entry as processes are matched against it: its program and its
// fixed arguments, the words after the program up to the first field code.
// An option word directly before a field code belongs to that code and is not fixed
// ("kpat -qwindowtitle %c %u" has none). A Steam entry ("steam steam://rungameid/570")
// names the game the client runs, not the client: steamGame is its id.
struct EntryCommand {
  std::string program;
  std::vector<std::string> fixedArguments;
  std::optional<std::string> steamGame;
};

// Nullopt when the Exec line is malformed, names no program or runs a launcher.
std::optional<EntryCommand> entryCommand(const DesktopEntry& entry);

}  // namespace platform::workspace_detail
