// Stand-in until the command channel can be connected: connecting does nothing.
#include "agent/app_delegate.h"

namespace agent {

std::function<void()> defaultChannelConnector() { return {}; }

}  // namespace agent
