// VelmorMopetAgent: the child-side agent. It runs as a status-bar agent: the main
// storyboard makes the application delegate, which builds the status menu, runs
// start-up and then, every 5 seconds, enforces the parent's rules. No command-line
// options.
//
// How a parent's rule names a Linux application. A rule's identifier ("pk") is
// compared, exactly and case-sensitively, with the bundle identifier the workspace
// gives each running process of the user, taken in this order (platform/workspace.h):
//   1. MOPET_BUNDLE_IDENTIFIER in the process's environment, when set;
//   2. the flatpak application id (FLATPAK_ID), e.g. "org.mozilla.firefox";
//   3. the snap name (SNAP_NAME), e.g. "discord";
//   4. the desktop-entry id that launched it (GIO_LAUNCHED_DESKTOP_FILE for that very
//      process, else BAMF_DESKTOP_FILE_HINT): the .desktop file's name without
//      ".desktop", e.g. "org.gnome.Nautilus" or "steam";
//   5. otherwise the file name of its executable, e.g. "minecraft-launcher".
// Processes of other users are not seen. Each tick ends at most one process per
// identifier.
#include <memory>

#include "agent/app_delegate.h"
#include "agent/preferences.h"
#include "platform/ui.h"
#include "platform/ui_window.h"

int main(int argc, char** argv) {
  // The classes the storyboard and the NIBs name.
  agent::registerInterfaceClasses();
  platform::ui::ClassRegistry::add("AppDelegate", [] {
    return std::make_shared<agent::AppDelegate>(agent::Platform::system());
  });
  // Loads "Main" (the delegate, its menu and outlets, awakeFromNib), finishes
  // launching and runs the main run loop until the application terminates.
  return platform::ui::applicationMain(argc, argv);
}
