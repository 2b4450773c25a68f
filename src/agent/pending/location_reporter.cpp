// Stand-in until the location reporter is in place: start-up's two reporter steps do
// nothing.
#include "agent/app_delegate.h"

namespace agent {

LocationReporterHooks defaultLocationReporterHooks() { return {}; }

}  // namespace agent
