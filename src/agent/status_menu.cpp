// The status item, its menu and the menu's actions.
#include "agent/app_delegate.h"
#include "agent/date_time_view.h"
#include "agent/preferences.h"
#include "platform/ui_nib.h"

namespace agent {
namespace {

constexpr const char* kStatusImageName = "Layer_x0020_2";
constexpr const char* kUserGuidePath = "/user-guide/documents";

}  // namespace

void AppDelegate::awakeFromNib() {
  Object::awakeFromNib();
  statusItem = platform_.statusBar.statusItem(platform::ui::StatusBar::variableLength);

  auto image = platform::ui::Image::named(kStatusImageName);
  if (image) image->setTemplate(true);
  if (auto button = statusItem->button()) button->setImage(image);

  if (auto statusMenu = menu.lock()) {
    statusItem->setMenu(statusMenu);
    statusMenu->setDelegate(this);
  }
  if (auto item = firstMenuItem.lock()) {
    dateTimeView =
        std::make_shared<DateTimeView>(platform::ui::Rect{{0, 0}, {250, 170}}, platform_.childUser.userDefault);
    item->setView(dateTimeView);
  }
  (void)UninstallMenuItem.lock();
}

void AppDelegate::menuWillOpen(platform::ui::Menu&) {
  if (dateTimeView) dateTimeView->startTimer();
}

void AppDelegate::menuDidClose(platform::ui::Menu&) {
  if (dateTimeView) dateTimeView->stopTimer();
}

void AppDelegate::ManageButton(platform::ui::Object&) { platform_.workspace.launchApplication(kMainApplicationName); }

void AppDelegate::uninstallItem(platform::ui::Object&) { platform_.workspace.launchApplication(kMainApplicationName); }

void AppDelegate::helpItem(platform::ui::Object&) {
  platform_.workspace.open(std::string("https://") + kPublicWebHost + kUserGuidePath);
}

void AppDelegate::showPreferences(platform::ui::Object&) {
  auto storyboard = platform::ui::Storyboard::named("Main");
  if (!storyboard) return;
  auto controller = std::dynamic_pointer_cast<ViewController>(storyboard->instantiateController("preferencesID"));
  if (!controller) return;
  auto window = platform::ui::Window::withContentViewController(controller);
  window->makeKeyAndOrderFront();
}

std::string AppDelegate::getString(const std::string& title, const std::string& question,
                                   const std::string& defaultValue) {
  platform::ui::Alert alert;
  alert.addButton("OK");
  alert.addButton("Cancel");
  alert.setMessageText(title);
  alert.setInformativeText(question);
  auto field = std::make_shared<platform::ui::TextField>(platform::ui::Rect{{0, 0}, {200, 24}});
  field->setStringValue(defaultValue);
  alert.setAccessoryView(field);
  long response = alert.runModal();
  if (response == platform::ui::ModalResponse::alertFirstButtonReturn) return field->stringValue();
  return "";
}

}  // namespace agent
