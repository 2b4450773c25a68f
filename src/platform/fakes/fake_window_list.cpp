#include "platform/fakes/fake_window_list.h"

namespace platform {

std::optional<std::vector<WindowInfo>> FakeWindowList::windows(unsigned options, std::uint32_t relativeToWindow) const {
  std::lock_guard lock(mutex_);
  queries_.push_back({options, relativeToWindow});
  if (!windows_) return std::nullopt;
  std::vector<WindowInfo> selected;
  for (const auto& window : *windows_) {
    if ((options & WindowListOption::onScreenOnly) != 0 && !window.isOnscreen) continue;
    if ((options & WindowListOption::excludeDesktopElements) != 0 && window.isDesktopElement) continue;
    selected.push_back(window);
  }
  return selected;
}

void FakeWindowList::setWindows(std::optional<std::vector<WindowInfo>> windows) {
  std::lock_guard lock(mutex_);
  windows_ = std::move(windows);
}

std::vector<FakeWindowList::Query> FakeWindowList::queries() const {
  std::lock_guard lock(mutex_);
  return queries_;
}

}  // namespace platform
