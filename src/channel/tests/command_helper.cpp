// Connects the command channel the way the agent does (main queue, process exit) and
// serves commands until one of them ends the process.
//
//   channel_command_helper <socket URL> <CA file>
//
// HOME (user defaults, the stored token) comes from the environment.
#include <cstdio>
#include <string>

#include "channel/socket_handler.h"
#include "networks/shared_settings.h"
#include "platform/file_manager.h"
#include "platform/run_loop.h"
#include "platform/settings.h"
#include "platform/user_defaults.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <socket URL> <CA file>\n", argv[0]);
    return 2;
  }
  // As main does: one file manager over the environment's settings, and the user
  // defaults in its home.
  auto* files = new platform::FileManager(platform::Settings::fromEnvironment());  // lives until the process ends
  platform::UserDefaults::installStandardFile([path = platform::UserDefaults::standardPath(*files)] { return path; });
  networks::installSharedSuite(
      [files] { return platform::UserDefaults::suite(*files, std::string(networks::kAppGroup)); });

  channel::SocketHandlerOptions options;
  options.socketURL = argv[1];
  options.caFile = argv[2];
  options.fileManager = files;
  auto* handler = new channel::SocketHandler(std::move(options));  // lives until the process ends
  handler->connectToWebsocket();
  platform::RunLoop::main().run();
  return 1;  // the loop is never stopped: reaching this is a failure
}
