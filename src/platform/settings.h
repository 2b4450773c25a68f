#pragma once
// The settings that tests and the local demo use to redirect the agent's effects.
// Every one is read here and nowhere else; with none set the agent behaves as on a
// real machine.
//
// The agent's own settings form a value (Settings) that the composition root reads
// from the environment once and installs; what uses one takes it as a value (a
// Process's childPath, a session configuration's connectTo and caFile, ...), and
// tests build a value instead of changing the environment. HOME and the desktop's
// folders stay functions of the environment (namespace settings below).
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
  // the command channel's defaults): those given to install(); until something is
  // installed, fromEnvironment() at every call, so that tests which still change the
  // environment see each change at once.
  static Settings current();
  // Called once by the composition root, before the first shared object is made.
  static void install(Settings settings);
};

}  // namespace platform

namespace platform::settings {

// The variable of the agent's own environment, or empty when unset; read on every call.
// Everything outside the settings reads the environment through this.
std::string variable(const char* name);
// $HOME, or the password database's home of the current user.
std::string homeDirectory();
// The folders where desktop data lives, the user's first: $XDG_DATA_HOME (else
// $HOME/.local/share), then each folder of $XDG_DATA_DIRS (else /usr/local/share and
// /usr/share). Relative folders are ignored, as the desktop ignores them; each folder
// comes once, at its first place.
std::vector<std::string> dataDirectories();
// $XDG_CONFIG_HOME (an absolute folder), else $HOME/.config.
std::string configHome();

}  // namespace platform::settings
