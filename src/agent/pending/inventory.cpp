// Stand-in for the installed-application inventory until its own file is in place:
// it finds nothing, sends nothing and writes nothing.
#include "agent/app_delegate.h"

namespace agent {

std::string AppDelegate::syncApps() { return ""; }

void AppDelegate::write(const std::string&, const std::string&, const std::string&) {}

std::vector<MetadataItem> AppDelegate::getAllApplications() { return {}; }

}  // namespace agent
