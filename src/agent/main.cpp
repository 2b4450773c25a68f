// VelmorMopetAgent: the child-side agent. It runs as a status-bar agent: the main
// storyboard makes the application delegate, which builds the status menu, runs
// start-up and then, every 5 seconds, enforces the parent's rules. No command-line
// options.
//
// How a parent's rule names a Linux application. A rule's identifier ("pk") is
// compared, exactly and case-sensitively, with every name the workspace knows a
// running process of the user by, and matches when any of them is equal: the file
// name of its executable (or of the script or file it runs through the loader or an
// interpreter), the ids of the desktop entries that run its command, the entry id of
// the systemd unit the desktop put it in, its sandbox ids, and the entries its wrapper
// or its environment passes on. Names only ever add; platform/workspace.h says how
// each is read, and the README's naming section what each launch style gives.
// Every process of a blocked application is sent SIGTERM in the same tick, and one
// still alive two ticks later SIGKILL; the desktop's own processes, other users'
// (setuid programs among them), the login session's leader and the agent's own
// process and helpers are never signalled (platform/signal_guard.h).
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
