#pragma once
// The window server's list of windows (owner process, owner name, layer, name).
//
// Linux has no portable way to list other programs' windows: Wayland compositors do
// not hand them out, and X11 would need a connection to a display this agent may not
// have. The Linux list is therefore always present and empty; callers treat that as
// "no window on screen". Tests use FakeWindowList (fakes/fake_window_list.h).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Options of a window-list query; combine with |.
namespace WindowListOption {
inline constexpr unsigned all = 0;
inline constexpr unsigned onScreenOnly = 1;
inline constexpr unsigned onScreenAboveWindow = 2;
inline constexpr unsigned onScreenBelowWindow = 4;
inline constexpr unsigned includingWindow = 8;
inline constexpr unsigned excludeDesktopElements = 16;
}  // namespace WindowListOption

inline constexpr std::uint32_t kNullWindowID = 0;

struct WindowBounds {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  bool operator==(const WindowBounds&) const = default;
};

// One entry of the list. Entries may lack fields, as the window server's do.
struct WindowInfo {
  std::uint32_t number = 0;
  std::optional<std::uint32_t> ownerPID;
  std::optional<std::string> ownerName;
  std::optional<std::string> name;
  int layer = 0;
  bool isOnscreen = true;
  bool isDesktopElement = false;
  WindowBounds bounds;
  bool operator==(const WindowInfo&) const = default;
};

class WindowList {
 public:
  virtual ~WindowList() = default;

  // The process's window list (the Linux one).
  static WindowList& system();

  // The windows front to back, as `options` select them relative to the window
  // `relativeToWindow`; absent when the window server gives no list at all.
  virtual std::optional<std::vector<WindowInfo>> windows(unsigned options,
                                                         std::uint32_t relativeToWindow = kNullWindowID) const = 0;
};

class LinuxWindowList final : public WindowList {
 public:
  // Always an empty list (see above).
  std::optional<std::vector<WindowInfo>> windows(unsigned options, std::uint32_t relativeToWindow) const override;
};

}  // namespace platform
