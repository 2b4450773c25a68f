#pragma once
// The GNU build-id of an ELF file (its NT_GNU_BUILD_ID note): the linker's digest of
// the program's contents, the same in every copy of the file. Internal to the workspace.
#include <optional>
#include <string>

namespace platform::workspace_detail {

// The build-id of the ELF file at `path` as lowercase hex; nullopt when it is not a
// readable regular ELF file or has no such note. Reads the headers and the notes
// only (a few KiB at most), and keeps what it found by the file's device, inode,
// modification time and size, so each file is read once while it stays the same.
std::optional<std::string> elfBuildId(const std::string& path);

}  // namespace platform::workspace_detail
