#pragma once
// Settings installed for one test (or one part of it): made with the value to install,
// it puts back what was installed before when it goes. Nested ones end in the reverse
// order of their making. Tests change what the agent reads through these, never
// through the process environment.
#include <functional>
#include <utility>

#include "platform/settings.h"

namespace testsupport {

class ScopedSettings {
 public:
  // Installs `settings`.
  explicit ScopedSettings(platform::Settings settings) : previous_(platform::Settings::exchange(std::move(settings))) {}
  // Installs the current settings as `change` leaves them.
  explicit ScopedSettings(const std::function<void(platform::Settings&)>& change) : ScopedSettings(changed(change)) {}
  ~ScopedSettings() { platform::Settings::exchange(std::move(previous_)); }
  ScopedSettings(const ScopedSettings&) = delete;
  ScopedSettings& operator=(const ScopedSettings&) = delete;

 private:
  static platform::Settings changed(const std::function<void(platform::Settings&)>& change) {
    platform::Settings settings = platform::Settings::current();
    change(settings);
    return settings;
  }

  platform::Settings previous_;
};

}  // namespace testsupport
