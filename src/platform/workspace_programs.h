#pragma once
// What a process runs: its executable, and what that runs in turn through the dynamic
// loader or an interpreter. Internal to the workspace.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/workspace_files.h"

namespace platform::workspace_detail {

// A program that a process runs, and the arguments it was given.
struct ProgramView {
  std::optional<FileIdentity> file;
  std::string name;      // as the process named it
  std::string fileName;  // the file's own name, where a link by another name led to it
  std::vector<std::string> arguments;
};

// True for the interpreters and runtimes known by name (shells, python, perl, node,
// java, love...; a trailing version is ignored: "python3.11").
bool isInterpreter(std::string_view name);
// Where the script is among an interpreter's arguments, its options (and the values
// they take) skipped; nullopt when it is no known interpreter or runs no file.
std::optional<std::size_t> scriptArgument(std::string_view interpreter, const std::vector<std::string>& arguments);

// True for the interpreters and runtimes known by name (shells, python, perl, node,
// java, love...; a trailing version is ignored: "python3.11").
bool isInterpreter(std::string_view name);
// Where the script is among an interpreter's arguments, its options (and the values
// they take) skipped; nullopt when it is no known interpreter or runs no file.
std::optional<std::size_t> scriptArgument(std::string_view interpreter, const std::vector<std::string>& arguments);

// What a process runs: its executable with the arguments of its command line, where
// that cannot be read the program its command line starts with (when that is a path),
// and then what each runs in turn through a loader or an interpreter.
// `executable`: the file /proc/<pid>/exe names, if it could be looked at.
std::vector<ProgramView> programsOf(const std::string& processDir, const std::vector<std::string>& commandLine,
                                    const std::optional<FileIdentity>& executable, const std::string& executableName,
                                    bool executableKnown, const std::string& childPath);

}  // namespace platform::workspace_detail
