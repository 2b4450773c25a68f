#pragma once
// Menus, menu items and the status bar of the headless user-interface model (see ui.h).
// Main thread only.
//
// Opening a menu stands in for the user clicking the status item: the main run loop
// switches to its event-tracking mode (timers of the default mode wait, timers of the
// common modes keep firing) and the menu's delegate hears menuWillOpen; closing does
// the reverse.
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/lifeline.h"
#include "platform/run_loop.h"
#include "platform/ui.h"

namespace platform::ui {

class Menu;

class MenuDelegate {
 public:
  MenuDelegate() : alive_(this) {}
  MenuDelegate(const MenuDelegate&) : MenuDelegate() {}
  // A copy keeps its own liveness token, so assigning changes nothing, to itself or not.
  // NOLINTNEXTLINE(bugprone-unhandled-self-assignment)
  MenuDelegate& operator=(const MenuDelegate&) { return *this; }
  virtual ~MenuDelegate() = default;

  virtual void menuWillOpen(Menu&) {}
  virtual void menuDidClose(Menu&) {}

 private:
  friend class Menu;
  Lifeline<MenuDelegate> alive_;
};

class MenuItem : public Object {
 public:
  explicit MenuItem(std::string title = "", std::string keyEquivalent = "")
      : title_(std::move(title)), keyEquivalent_(std::move(keyEquivalent)) {}
  static std::shared_ptr<MenuItem> separatorItem();
  std::string className() const override { return "MenuItem"; }

  const std::string& title() const { return title_; }
  void setTitle(std::string title) { title_ = std::move(title); }
  const std::string& keyEquivalent() const { return keyEquivalent_; }
  void setKeyEquivalent(std::string key) { keyEquivalent_ = std::move(key); }
  long tag() const { return tag_; }
  void setTag(long tag) { tag_ = tag; }
  bool isSeparator() const { return separator_; }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled) { enabled_ = enabled; }
  // A custom view shown in place of the title.
  const std::shared_ptr<View>& view() const { return view_; }
  void setView(std::shared_ptr<View> view) { view_ = std::move(view); }
  TargetAction& targetAction() { return targetAction_; }
  const TargetAction& targetAction() const { return targetAction_; }
  // The menu that holds the item, nullptr when none.
  Menu* menu() const;

  // Sends the item's action with the item as sender; false when nothing ran.
  bool performAction();

 private:
  friend class Menu;
  std::string title_;
  std::string keyEquivalent_;
  long tag_ = 0;
  bool separator_ = false;
  bool enabled_ = true;
  std::shared_ptr<View> view_;
  TargetAction targetAction_;
  Object::Ref menu_;
};

class Menu : public Object {
 public:
  explicit Menu(std::string title = "") : title_(std::move(title)) {}
  ~Menu() override;
  std::string className() const override { return "Menu"; }

  const std::string& title() const { return title_; }
  void setTitle(std::string title) { title_ = std::move(title); }

  // Adds the item last (insertItem: at `index`, clamped to the end). False, nothing
  // changed, for a null item or one already in a menu.
  bool addItem(std::shared_ptr<MenuItem> item);
  bool insertItem(std::shared_ptr<MenuItem> item, std::size_t index);
  void removeItem(const std::shared_ptr<MenuItem>& item);
  void removeAllItems();
  const std::vector<std::shared_ptr<MenuItem>>& items() const { return items_; }
  std::size_t numberOfItems() const { return items_.size(); }
  // nullptr out of range / when there is no such item.
  std::shared_ptr<MenuItem> item(std::size_t index) const;
  std::shared_ptr<MenuItem> itemWithTag(long tag) const;
  std::shared_ptr<MenuItem> itemWithTitle(const std::string& title) const;

  // The delegate is not owned; it reads as absent once destroyed.
  void setDelegate(MenuDelegate* delegate);
  MenuDelegate* delegate() const;

  // As the user opening the menu: the main run loop's current mode becomes event
  // tracking, then the delegate hears menuWillOpen. Nothing happens when it is open.
  void open();
  // As the menu closing: the delegate hears menuDidClose, then the run loop goes back
  // to the mode it had before open(). Nothing happens when it is not open.
  void close();
  bool isOpen() const { return open_; }
  // As the user choosing the item at `index`: the menu closes (when open), then the
  // item's action is sent. Returns whether an action ran (not for separators, disabled
  // items or an index out of range; the menu closes all the same).
  bool choose(std::size_t index);

 private:
  std::string title_;
  std::vector<std::shared_ptr<MenuItem>> items_;
  MenuDelegate* delegate_ = nullptr;
  Lifeline<MenuDelegate>::Weak delegateAlive_;
  bool open_ = false;
  RunLoopMode previousMode_ = RunLoopMode::defaultMode;
};

class StatusBarButton : public Button {
 public:
  std::string className() const override { return "StatusBarButton"; }
};

class StatusItem : public Object {
 public:
  explicit StatusItem(double length) : length_(length), button_(std::make_shared<StatusBarButton>()) {}
  std::string className() const override { return "StatusItem"; }

  double length() const { return length_; }
  void setLength(double length) { length_ = length; }
  // Headless status items always have a button.
  const std::shared_ptr<StatusBarButton>& button() const { return button_; }
  // The item keeps its menu alive.
  const std::shared_ptr<Menu>& menu() const { return menu_; }
  void setMenu(std::shared_ptr<Menu> menu) { menu_ = std::move(menu); }
  bool isVisible() const { return visible_; }
  void setVisible(bool visible) { visible_ = visible; }

 private:
  double length_;
  std::shared_ptr<StatusBarButton> button_;
  std::shared_ptr<Menu> menu_;
  bool visible_ = true;
};

class StatusBar {
 public:
  static constexpr double variableLength = -1.0;
  static constexpr double squareLength = -2.0;

  static StatusBar& system();

  // A new item at the end of the bar. The bar does not keep it: an item that its owner
  // lets go leaves the bar.
  std::shared_ptr<StatusItem> statusItem(double length);
  void removeStatusItem(const std::shared_ptr<StatusItem>& item);
  // The items in the bar, oldest first.
  std::vector<std::shared_ptr<StatusItem>> statusItems() const;
  double thickness() const { return 22.0; }

 private:
  StatusBar() = default;
  std::vector<std::weak_ptr<StatusItem>> items_;
};

}  // namespace platform::ui
