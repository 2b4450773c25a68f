#pragma once
// The preferences window and the NIB-loading helper shared by the agent's views.
//
//   LoadableView<Self>  how a view fills itself from the NIB named after it and pins
//                       itself to a parent's edges (DateTimeView and PreferencesView)
//   PreferencesView     the window's content: a time-zone pop-up, a control that closes
//                       the window and one that opens the service's about-us page
//   ViewController      the storyboard controller "preferencesID": when its view is
//                       about to appear it fixes the window's size, centres it and
//                       fills its view with a new PreferencesView
//
// Main thread only. The window reads and stores no setting.
#include <memory>
#include <string>
#include <vector>

#include "platform/ui.h"
#include "platform/ui_nib.h"
#include "platform/ui_window.h"
#include "platform/workspace.h"

namespace agent {

// Marks the constructor that an archive (a NIB or storyboard naming the class) uses:
// such a view loads no NIB of its own.
struct ArchiveCoder {};

// Default operations for views that load their content from a NIB. `Self` derives
// from platform::ui::View and from std::enable_shared_from_this<Self>.
template <class Self>
class LoadableView {
 public:
  virtual ~LoadableView() = default;

  // Loads the main bundle's NIB `nibName` with the view as owner (connecting the
  // outlets and actions it names) and installs the first of its top-level objects that
  // is a view as the view's last subview, its four edges tied to the view's. False,
  // with nothing installed, when the NIB does not load or has no top-level view.
  bool load(const std::string& nibName) {
    auto& owner = static_cast<Self&>(*this);
    std::vector<platform::ui::ObjectPtr> topLevelObjects;
    if (!platform::ui::loadNibNamed(nibName, owner, &topLevelObjects)) return false;
    std::vector<std::shared_ptr<platform::ui::View>> views;
    for (const auto& object : topLevelObjects) {
      if (auto view = std::dynamic_pointer_cast<platform::ui::View>(object)) views.push_back(std::move(view));
    }
    if (views.empty()) return false;
    platform::ui::addPinned(views.front(), owner);
    return true;
  }

  // Adds the view as the parent's last subview, switches off its autoresizing
  // translation and ties its leading, trailing, top and bottom edges to the parent's.
  // The view must be owned by a shared_ptr.
  void add(platform::ui::View& parent) {
    platform::ui::addPinned(static_cast<Self&>(*this).shared_from_this(), parent);
  }
};

class PreferencesView final : public platform::ui::View,
                              public LoadableView<PreferencesView>,
                              public std::enable_shared_from_this<PreferencesView> {
 public:
  static constexpr const char* kNibName = "PreferencesView";
  // The service's about-us page: "https://", the public web host, "/about-us".
  static std::string aboutUsAddress();

  // Loads the NIB "PreferencesView"; the view is returned also when it did not load.
  explicit PreferencesView(platform::ui::Rect frame);
  // Loads no NIB.
  explicit PreferencesView(ArchiveCoder);
  std::string className() const override { return "PreferencesView"; }

  std::weak_ptr<platform::ui::PopUpButton> timezoneIDsPopup;  // outlet; nothing reads it

  // Closes the window the view is in, as its close button would; nothing when the view
  // is in no window. Reads nothing from the pop-up.
  void applySelection(platform::ui::Object& sender);
  // Opens the about-us page in the default browser; the window stays open.
  void dismissPreferences(platform::ui::Object& sender);

  bool setOutlet(const std::string& name, const platform::ui::ObjectPtr& value) override;
  platform::ui::Action action(const std::string& selector) override;

  // The workspace that opens the about-us page (Workspace::shared() until set;
  // nullptr restores it). For tests.
  static void setWorkspace(platform::Workspace* workspace);

 private:
  // The pop-up keeps the items the NIB gives it.
  void populateTimezoneIDs() {}
};

class ViewController final : public platform::ui::ViewController {
 public:
  ViewController() = default;
  std::string className() const override { return "ViewController"; }

  void viewDidLoad() override;
  // Removes the resizable and miniaturizable flags from the window's style, centres
  // the window and adds a new PreferencesView that fills the controller's view (one
  // more on every call).
  void viewWillAppear() override;
};

// Registers "ViewController", "DateTimeView" and "PreferencesView" with the class
// registry, so that NIBs and the storyboard make the agent's classes. Idempotent; also
// done when the program starts.
void registerInterfaceClasses();

}  // namespace agent
