#include "networks/shared_settings.h"

#include <mutex>
#include <utility>

#include "platform/user_defaults.h"

namespace networks {

namespace {

std::mutex openerMutex;
SharedSuiteOpener& installedOpener() {
  static auto* opener = new SharedSuiteOpener();  // never destroyed: read until the process ends
  return *opener;
}

}  // namespace

std::shared_ptr<platform::UserDefaults> openSharedSuite() {
  SharedSuiteOpener open;
  {
    std::lock_guard lock(openerMutex);
    open = installedOpener();
  }
  return open ? open() : nullptr;
}

SharedSuiteOpener installSharedSuite(SharedSuiteOpener open) {
  std::lock_guard lock(openerMutex);
  return std::exchange(installedOpener(), std::move(open));
}

std::optional<std::string> storedChildToken() {
  // A suite that cannot be opened holds no token.
  const auto suite = openSharedSuite();
  return suite ? storedChildToken(*suite) : std::nullopt;
}

std::optional<std::string> storedChildToken(const platform::UserDefaults& suite) {
  return suite.string(std::string(kSharedChildToken));
}

}  // namespace networks
