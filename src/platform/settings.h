#pragma once
// The settings that tests and the local demo use to redirect the agent's effects.
// Every one is read here and nowhere else; with none set the agent behaves as on a
// real machine.
#include <string>
#include <vector>

namespace platform::settings {

// $HOME, or the password database's home of the current user.
std::string homeDirectory();
// MOPET_HOSTS_FILE, else "/etc/hosts".
std::string hostsFile();
// MOPET_CHILD_PATH (folders put first in the PATH of every child process), else the
// install's own tool folder ("tools" in the resources folder) when it exists, else empty.
std::string childPath();
// MOPET_CONNECT_TO: "HOST:PORT:ADDRESS:PORT" entries separated by commas, else none.
std::vector<std::string> connectTo();
// The folders where desktop data lives, the user's first: $XDG_DATA_HOME (else
// $HOME/.local/share), then each folder of $XDG_DATA_DIRS (else /usr/local/share and
// /usr/share). Relative folders are ignored, as the desktop ignores them; each folder
// comes once, at its first place.
std::vector<std::string> dataDirectories();
// $XDG_CONFIG_HOME (an absolute folder), else $HOME/.config.
std::string configHome();
// SSL_CERT_FILE, else empty (the system's certificate authorities).
std::string caFile();
// MOPET_LOCATION_FILE: a JSON file with the position fix(es) the location provider
// reports; else empty (the provider asks the desktop's location service, GeoClue2).
std::string locationFile();

}  // namespace platform::settings
