// The delegate side of a system-extension request, and the network content-filter
// configuration that a finished request switches on.
#include <chrono>

#include "agent/app_delegate.h"
#include "networks/log.h"
#include "networks/print_line.h"

namespace agent {

namespace {

constexpr const char* kFilterDataProvider = "so.velmorhome.mopet.agent.ContentFilter";
constexpr const char* kFilterDescription = "Velmor Mopet";

// Points the filter at the data provider when it has no provider yet, enables it and
// saves. Runs on the main queue.
void enableFilter(platform::ContentFilterManager& filter) {
  if (!filter.providerConfiguration()) {
    platform::FilterProviderConfiguration configuration;
    configuration.filterDataProviderBundleIdentifier = kFilterDataProvider;
    configuration.filterSockets = true;
    configuration.filterPackets = false;
    filter.setLocalizedDescription(kFilterDescription);
    filter.setProviderConfiguration(configuration);
  }
  filter.setEnabled(true);
  filter.saveToPreferences([](std::optional<platform::Error> error) {
    if (error) networks::Log::logger().write("Failed to save the filter configuration: " + error->description());
  });
}

}  // namespace

platform::ExtensionReplacementAction AppDelegate::actionForReplacingExtension(platform::SystemExtensionRequest&,
                                                                              const platform::ExtensionProperties&,
                                                                              const platform::ExtensionProperties&) {
  return platform::ExtensionReplacementAction::cancel;
}

void AppDelegate::requestNeedsUserApproval(platform::SystemExtensionRequest&) {
  networks::printLine("requestNeedsUserApproval");
}

void AppDelegate::didFinishWithResult(platform::SystemExtensionRequest&, platform::SystemExtensionRequestResult) {
  // Both results (completed, completes after a restart) are handled alike.
  networks::printLine("didFinishWithResult");
  auto& filter = platform_.contentFilter;
  filter.loadFromPreferences([](std::optional<platform::Error> error) {
    if (error) networks::Log::logger().write("Failed to load the filter configuration: " + error->description());
  });
  // Half a second later, whether or not the load has called back.
  platform_.mainQueue.asyncAfter(std::chrono::milliseconds(500), [self = ref(), &filter] {
    if (!self) return;
    enableFilter(filter);
  });
}

void AppDelegate::didFailWithError(platform::SystemExtensionRequest&, const platform::Error& error) {
  networks::printLine("didFailWithError: " + error.localizedDescription);
}

}  // namespace agent
