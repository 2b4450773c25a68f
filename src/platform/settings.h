#pragma once
// The settings that tests and the local demo use to redirect the agent's effects, and
// the variables of the desktop session that the agent follows. Every one is read here
// and nowhere else; with none set the agent behaves as on a real machine.
//
// They form one value (Settings) that the composition root reads from the environment
// once and installs. What is built with settings takes them as a value (a Process's
// childPath, a session configuration's connectTo and caFile, the inventory's PATH,
// ..., the file manager that main builds and hands to whatever keeps files: the user
// defaults, the keychain, the content blocker and filter, the safe-search engine, the
// delegate's jobs); what the process makes without being given them reads
// Settings::current() (see current() below).
//
// Tests never change the process environment. A test that needs Documents, the
// app-group container or the XDG folders builds a file manager over a temporary home
// (testsupport::TempFiles in tests/support/temp_files.h) and hands it in;
// testsupport::ScopedUserDefaults gives a test its own user-defaults files. A test
// whose subject is the installed settings installs a value for its own duration
// (testsupport::ScopedSettings in tests/support/scoped_settings.h, over
// Settings::exchange; testsupport::TempHome installs one whose home is a fresh folder).
// A test that starts one of our programs as a child process gives it the variables
// it needs in the child's own environment.
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct Settings {
  // MOPET_HOSTS_FILE: the file that the tick's move replaces.
  std::string hostsFile = "/etc/hosts";
  // MOPET_CHILD_PATH: folders (colon-separated) put first in the PATH of every child
  // process; unset, the install's own tool folder ("tools" in the resources folder)
  // when it exists, else empty.
  std::string childPath;
  // MOPET_CONNECT_TO: "HOST:PORT:ADDRESS:PORT" entries (separated by commas, blanks
  // around each ignored) that HTTPS and WSS connections use instead of name resolution.
  std::vector<std::string> connectTo;
  // SSL_CERT_FILE: the certificate authorities trusted for TLS; empty, the system's.
  std::string caFile;
  // MOPET_LOCATION_FILE: a JSON file with the position fix(es) the location provider
  // reports; empty, the provider asks the desktop's location service (GeoClue2).
  std::string locationFile;

  // HOME: where the user defaults, Documents, the app-group container, the keychain
  // file, the content blocker's and the content filter's files live; unset or empty,
  // the password database's home of the current user ("/" when it has none). read()
  // always fills it; a value for install() starts from read() or current().
  std::string homeDirectory;
  // XDG_DATA_HOME when it is an absolute folder; empty, homeDirectory/.local/share.
  std::string xdgDataHome;
  // The absolute folders of XDG_DATA_DIRS (colon-separated), in order; unset or empty,
  // /usr/local/share and /usr/share.
  std::vector<std::string> xdgDataDirs = {"/usr/local/share", "/usr/share"};
  // XDG_CONFIG_HOME when it is an absolute folder; empty, homeDirectory/.config.
  std::string xdgConfigHome;
  // PATH as the agent inherited it: searched after childPath for the programs children
  // run (Process::childSearchPath); empty when unset.
  std::string inheritedPath;
  // DISPLAY: the X display asked for the active window; empty when unset.
  std::string display;

  // Not read from the environment (tests shorten them in the value they install):
  // How long the main thread waits for the service's replies at most: the waits of one
  // enforcement tick together, a safe-search pass of the command channel, a location
  // upload; a usage report waits half of it. A reply that comes later is still handled.
  std::chrono::milliseconds replyWaitBudget{3000};
  // How long a privileged command (sudo) may run before it is ended.
  std::chrono::milliseconds privilegedCommandDeadline{10000};
  // The one hosts file that root replaces (through sudo); any other hostsFile is
  // replaced by the agent itself. Tests point it at a file of their own; it has no
  // environment variable.
  std::string systemHostsFile = "/etc/hosts";

  // The folders where desktop data lives, the user's first: the data home, then each
  // of xdgDataDirs. Trailing slashes are dropped, relative folders ignored (as the
  // desktop ignores them); each folder comes once, at its first place.
  std::vector<std::string> dataDirectories() const;
  // The user's configuration folder: xdgConfigHome, else homeDirectory/.config.
  std::string configHome() const;

  bool operator==(const Settings&) const = default;

  // A variable's value, or nullopt when it is not set.
  using Lookup = std::function<std::optional<std::string>(const char* name)>;
  // Each setting from its variable as `lookup` gives it; an unset or empty variable
  // gives the setting's default.
  static Settings read(const Lookup& lookup);
  // read() from the process environment.
  static Settings fromEnvironment();

  // The settings of what the process makes without being given them (the shared
  // session and workspace, a Process's default childPath, LocationManager::make(),
  // the command channel's defaults, the standard user defaults until they are given
  // their file): those installed last; until something is installed, fromEnvironment(), read once at the
  // first call.
  static Settings current();
  // Called once by the composition root, before the first shared object is made.
  static void install(Settings settings);
  // Installs `settings` and returns what current() gave until now, so that a test can
  // put it back when it ends (tests/support/scoped_settings.h does).
  static Settings exchange(Settings settings);
};

}  // namespace platform
