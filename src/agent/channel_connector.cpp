// Connecting the command channel: the process-wide channel, once a child is paired.
#include "agent/app_delegate.h"
#include "channel/socket_handler.h"

namespace agent {

std::function<void()> defaultChannelConnector() {
  return [] { channel::SocketHandler::shared().connectToWebsocket(); };
}

}  // namespace agent
