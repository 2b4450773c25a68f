#include "platform/ui_menu.h"

#include <algorithm>

namespace platform::ui {

// ---- MenuItem -----------------------------------------------------------------

std::shared_ptr<MenuItem> MenuItem::separatorItem() {
  auto item = std::make_shared<MenuItem>();
  item->separator_ = true;
  item->enabled_ = false;
  return item;
}

Menu* MenuItem::menu() const { return static_cast<Menu*>(menu_.get()); }

bool MenuItem::performAction() { return targetAction_.send(*this); }

// ---- Menu ---------------------------------------------------------------------

Menu::~Menu() {
  for (auto& item : items_) item->menu_ = {};
  if (open_) RunLoop::main().setCurrentMode(previousMode_);
}

bool Menu::addItem(std::shared_ptr<MenuItem> item) { return insertItem(std::move(item), items_.size()); }

bool Menu::insertItem(std::shared_ptr<MenuItem> item, std::size_t index) {
  if (!item || item->menu() != nullptr) return false;
  item->menu_ = ref();
  index = std::min(index, items_.size());
  items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(index), std::move(item));
  return true;
}

void Menu::removeItem(const std::shared_ptr<MenuItem>& item) {
  auto found = std::find(items_.begin(), items_.end(), item);
  if (found == items_.end()) return;
  (*found)->menu_ = {};
  items_.erase(found);
}

void Menu::removeAllItems() {
  for (auto& item : items_) item->menu_ = {};
  items_.clear();
}

std::shared_ptr<MenuItem> Menu::item(std::size_t index) const {
  return index < items_.size() ? items_[index] : nullptr;
}

std::shared_ptr<MenuItem> Menu::itemWithTag(long tag) const {
  auto found = std::find_if(items_.begin(), items_.end(), [&](const auto& i) { return i->tag() == tag; });
  return found != items_.end() ? *found : nullptr;
}

std::shared_ptr<MenuItem> Menu::itemWithTitle(const std::string& title) const {
  auto found = std::find_if(items_.begin(), items_.end(), [&](const auto& i) { return i->title() == title; });
  return found != items_.end() ? *found : nullptr;
}

void Menu::setDelegate(MenuDelegate* delegate) {
  delegate_ = delegate;
  delegateAlive_ = delegate != nullptr ? delegate->alive_.weak() : Lifeline<MenuDelegate>::Weak();
}

MenuDelegate* Menu::delegate() const { return delegateAlive_.expired() ? nullptr : delegate_; }

void Menu::open() {
  if (open_) return;
  open_ = true;
  previousMode_ = RunLoop::main().currentMode();
  RunLoop::main().setCurrentMode(RunLoopMode::eventTracking);
  if (MenuDelegate* d = delegate()) d->menuWillOpen(*this);
}

void Menu::close() {
  if (!open_) return;
  open_ = false;
  if (MenuDelegate* d = delegate()) d->menuDidClose(*this);
  RunLoop::main().setCurrentMode(previousMode_);
}

bool Menu::choose(std::size_t index) {
  auto chosen = item(index);  // kept alive through the close and the action
  close();
  if (!chosen || chosen->isSeparator() || !chosen->isEnabled()) return false;
  return chosen->performAction();
}

// ---- StatusBar ----------------------------------------------------------------

StatusBar& StatusBar::system() {
  static StatusBar* instance = new StatusBar();
  return *instance;
}

std::shared_ptr<StatusItem> StatusBar::statusItem(double length) {
  auto item = std::make_shared<StatusItem>(length);
  std::erase_if(items_, [](const auto& weak) { return weak.expired(); });
  items_.push_back(item);
  return item;
}

void StatusBar::removeStatusItem(const std::shared_ptr<StatusItem>& item) {
  std::erase_if(items_, [&](const auto& weak) { return weak.expired() || weak.lock() == item; });
}

std::vector<std::shared_ptr<StatusItem>> StatusBar::statusItems() const {
  std::vector<std::shared_ptr<StatusItem>> live;
  for (const auto& weak : items_) {
    if (auto item = weak.lock()) live.push_back(std::move(item));
  }
  return live;
}

}  // namespace platform::ui
