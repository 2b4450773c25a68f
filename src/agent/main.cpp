// VelmorMopetAgent: the child-side agent. It runs as a status-bar agent: the main
// storyboard makes the application delegate, which builds the status menu, runs
// start-up and then, every 5 seconds, enforces the parent's rules. No command-line
// options.
//
// How a parent's rule names a Linux application. A rule's identifier ("pk") is
// compared, exactly and case-sensitively, with every name the workspace knows a
// running process of the user by (platform/workspace.h), and matches when any of them
// is equal:
//   - the file name of its executable, e.g. "minecraft-launcher";
//   - the id of each desktop entry whose Exec or TryExec is that very file, e.g.
//     "org.gnome.Nautilus" for org.gnome.Nautilus.desktop;
//   - its flatpak application id as its sandbox records it, e.g. "org.mozilla.firefox";
//   - its snap name as its control group records it, e.g. "discord";
//   - what its environment adds: MOPET_BUNDLE_IDENTIFIER, FLATPAK_ID, SNAP_NAME and the
//     desktop entry that launched it (GIO_LAUNCHED_DESKTOP_FILE for that very process,
//     BAMF_DESKTOP_FILE_HINT). These only add names; none hides another.
// Processes of other users are not seen, and the agent's own process is never ended.
// Each tick ends at most one process per identifier.
#include <memory>

#include "agent/app_delegate.h"
#include "agent/preferences.h"
#include "agent/services.h"
#include "platform/settings.h"
#include "platform/ui.h"
#include "platform/ui_window.h"

int main(int argc, char** argv) {
  // The settings are read from the environment here, once; what the process makes
  // takes them from here on.
  platform::Settings::install(platform::Settings::fromEnvironment());
  // Every shared service, built once over those settings; never released, as threads
  // may still use them while the process ends.
  auto* services = new agent::Services(platform::Settings::current());
  // The classes the storyboard and the NIBs name.
  agent::registerInterfaceClasses();
  platform::ui::ClassRegistry::add(
      "AppDelegate", [services] { return std::make_shared<agent::AppDelegate>(services->delegatePlatform()); });
  // Loads "Main" (the delegate, its menu and outlets, awakeFromNib), finishes
  // launching and runs the main run loop until the application terminates.
  return platform::ui::applicationMain(argc, argv);
}
