#pragma once
// The fields of /proc/<pid>/stat that the workspace reads at every listing. The line is
// read for every process at every listing, so it is split without allocating beyond
// the two texts it keeps.
#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct StatFields {
  std::string comm;
  char state = '?';
  int parent = 0;  // the parent's pid (field 4)
  unsigned long flags = 0;
  std::string startTime;
  // Where the process's program image lies: fields 26-28 (code and stack) and 45-51
  // (data, heap, arguments, environment), as text. They are set at each exec, and with
  // address randomisation never alike twice; empty when the kernel does not show them
  // (another user's or a non-dumpable process) or the line lacks them.
  std::string_view codeImage;
  std::string_view dataImage;
};

// /proc/<pid>/stat: "pid (comm) state ppid ...". comm may hold blanks and
// parentheses, so the fields start after the last ')'. The views point into `text`.
// Absent when the line has no "(comm)", fewer than 20 fields after it, or a state that
// is not one character.
std::optional<StatFields> parseStat(std::string_view text);

}  // namespace platform
