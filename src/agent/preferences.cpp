#include "agent/preferences.h"

#include <atomic>

#include "agent/app_delegate.h"
#include "agent/date_time_view.h"

namespace agent {

namespace {

std::atomic<platform::Workspace*> workspaceOverride{nullptr};

platform::Workspace& workspace() {
  platform::Workspace* chosen = workspaceOverride.load();
  return chosen != nullptr ? *chosen : platform::Workspace::shared();
}

// An address that the workspace can open: a scheme, "://", and no blanks or control
// characters.
bool isURL(const std::string& text) {
  const auto scheme = text.find("://");
  if (scheme == std::string::npos || scheme == 0) return false;
  for (unsigned char c : text) {
    if (c <= 0x20 || c == 0x7f) return false;
  }
  return true;
}

}  // namespace

// ---- PreferencesView ----------------------------------------------------------

PreferencesView::PreferencesView(platform::ui::Rect frame) : platform::ui::View(frame) {
  if (load(kNibName)) populateTimezoneIDs();
}

PreferencesView::PreferencesView(ArchiveCoder) {}

bool PreferencesView::setOutlet(const std::string& name, const platform::ui::ObjectPtr& value) {
  if (name == "timezoneIDsPopup") {
    auto popup = std::dynamic_pointer_cast<platform::ui::PopUpButton>(value);
    if (value && !popup) return false;
    timezoneIDsPopup = popup;
    return true;
  }
  return platform::ui::View::setOutlet(name, value);
}

platform::ui::Action PreferencesView::action(const std::string& selector) {
  using Method = void (PreferencesView::*)(platform::ui::Object&);
  Method method = nullptr;
  if (selector == "applySelection:") method = &PreferencesView::applySelection;
  if (selector == "dismissPreferences:") method = &PreferencesView::dismissPreferences;
  if (method == nullptr) return platform::ui::View::action(selector);
  return [self = ref(), method](platform::ui::Object& sender) {
    if (auto* view = static_cast<PreferencesView*>(self.get())) (view->*method)(sender);
  };
}

void PreferencesView::applySelection(platform::ui::Object&) {
  if (auto* window = this->window()) window->performClose(*this);
}

std::string PreferencesView::aboutUsAddress() { return "https://" + std::string(kPublicWebHost) + "/about-us"; }

void PreferencesView::dismissPreferences(platform::ui::Object&) {
  const std::string address = aboutUsAddress();
  if (!isURL(address)) return;
  workspace().open(address);
}

void PreferencesView::setWorkspace(platform::Workspace* workspace) { workspaceOverride = workspace; }

// ---- ViewController -----------------------------------------------------------

void ViewController::viewDidLoad() { platform::ui::ViewController::viewDidLoad(); }

void ViewController::viewWillAppear() {
  platform::ui::ViewController::viewWillAppear();
  auto content = view();
  if (auto* window = content->window()) {
    window->setStyleMask(window->styleMask() & ~platform::ui::WindowStyle::resizable);
    window->setStyleMask(window->styleMask() & ~platform::ui::WindowStyle::miniaturizable);
    window->center();
  }
  auto preferences = std::make_shared<PreferencesView>(content->bounds());
  preferences->add(*content);
}

// ---- class registry -----------------------------------------------------------

void registerInterfaceClasses() {
  platform::ui::ClassRegistry::add("ViewController", [] { return std::make_shared<ViewController>(); });
  platform::ui::ClassRegistry::add("DateTimeView", [] { return std::make_shared<DateTimeView>(ArchiveCoder{}); });
  platform::ui::ClassRegistry::add("PreferencesView", [] { return std::make_shared<PreferencesView>(ArchiveCoder{}); });
}

namespace {
// The storyboard must make the agent's controller wherever it names "ViewController".
const bool registered = (registerInterfaceClasses(), true);
}  // namespace

}  // namespace agent
