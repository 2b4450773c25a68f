#include "networks/shared_settings.h"

#include "platform/user_defaults.h"

namespace networks {

std::optional<std::string> storedChildToken() {
  // A suite that cannot be opened holds no token.
  const auto suite = platform::UserDefaults::suite(std::string(kAppGroup));
  return suite ? suite->string(std::string(kSharedChildToken)) : std::nullopt;
}

}  // namespace networks
