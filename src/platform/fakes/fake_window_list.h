#pragma once
// A window list that returns scripted windows and records each query.
#include <mutex>
#include <optional>
#include <vector>

#include "platform/window_list.h"

namespace platform {

class FakeWindowList final : public WindowList {
 public:
  struct Query {
    unsigned options;
    std::uint32_t relativeToWindow;
    bool operator==(const Query&) const = default;
  };

  // The scripted windows, front to back. The options onScreenOnly and
  // excludeDesktopElements drop the windows they exclude; the others are ignored.
  std::optional<std::vector<WindowInfo>> windows(unsigned options, std::uint32_t relativeToWindow) const override;

  // Absent: the window server gives no list at all.
  void setWindows(std::optional<std::vector<WindowInfo>> windows);
  std::vector<Query> queries() const;

 private:
  mutable std::mutex mutex_;
  std::optional<std::vector<WindowInfo>> windows_ = std::vector<WindowInfo>{};
  mutable std::vector<Query> queries_;
};

}  // namespace platform
