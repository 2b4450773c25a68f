// Connects the command channel the way the agent does (main queue, process exit) and
// serves commands until one of them ends the process.
//
//   channel_command_helper <socket URL> <CA file>
//
// HOME (user defaults, the stored token) comes from the environment.
#include <cstdio>

#include "channel/socket_handler.h"
#include "platform/run_loop.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <socket URL> <CA file>\n", argv[0]);
    return 2;
  }
  channel::SocketHandlerOptions options;
  options.socketURL = argv[1];
  options.caFile = argv[2];
  auto* handler = new channel::SocketHandler(std::move(options));  // lives until the process ends
  handler->connectToWebsocket();
  platform::RunLoop::main().run();
  return 1;  // the loop is never stopped: reaching this is a failure
}
