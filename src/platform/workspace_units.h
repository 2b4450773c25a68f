#pragma once
// The names that a process's control groups give it (/proc/<pid>/cgroup): the systemd
// unit the desktop launched it in, and the snap it belongs to. Internal to the
// workspace.
#include <string>
#include <string_view>
#include <vector>

namespace platform::workspace_detail {

struct UnitNames {
  std::vector<std::string> names;
  // A unit's name gave an application's id (an "app-..." unit, or a snap's).
  bool namesApplication = false;
};

// The names in the text of /proc/<pid>/cgroup:
//   - from the systemd hierarchy (cgroup v2's "0::" line, the hybrid layout's
//     "name=systemd" line), the entry id of each application unit on the path, as the
//     desktops name them: app[-<launcher>]-<id>-<random>.scope,
//     app[-<launcher>]-<id>[@<random>].service (the older app-<launcher>-<id>-<random>
//     too) and app[-<launcher>]-<id>.slice; the id unescaped ("\x2d" is "-");
//   - from any hierarchy, a snap's: "snap.<instance>.<app>..." names the instance, for
//     a parallel install "<name>_<key>" also "<name>", and the entry id of the snap's
//     application, "<instance>_<app>" ("<name>+<key>_<app>" for a parallel one).
UnitNames unitNames(std::string_view cgroupText);

// A unit-name part with systemd's escapes ("\xNN") resolved.
std::string unescapeUnitName(std::string_view text);

}  // namespace platform::workspace_detail
