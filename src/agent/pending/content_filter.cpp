// Stand-in for the content-filter configuration until its own file is in place: an
// installed extension is never replaced and nothing is configured.
#include "agent/app_delegate.h"

namespace agent {

platform::ExtensionReplacementAction AppDelegate::actionForReplacingExtension(platform::SystemExtensionRequest&,
                                                                             const platform::ExtensionProperties&,
                                                                             const platform::ExtensionProperties&) {
  return platform::ExtensionReplacementAction::cancel;
}

void AppDelegate::requestNeedsUserApproval(platform::SystemExtensionRequest&) {}

void AppDelegate::didFinishWithResult(platform::SystemExtensionRequest&, platform::SystemExtensionRequestResult) {}

void AppDelegate::didFailWithError(platform::SystemExtensionRequest&, const platform::Error&) {}

}  // namespace agent
