#pragma once
// An app-group suite of one test's own: a property-list file in a fresh temporary folder,
// installed as what networks::openSharedSuite() opens for the test's lifetime, then the
// opener before it put back and the folder removed. Neither HOME nor the settings change.
#include <filesystem>
#include <memory>
#include <system_error>

#include "networks/shared_settings.h"
#include "platform/user_defaults.h"
#include "support/temp_folder.h"

namespace testsupport {

class ScopedSharedSuite {
 public:
  ScopedSharedSuite()
      : folder_(makeTemporaryFolder("mopet-suite")),
        suite_(platform::UserDefaults::atPath((folder_ / "suite.plist").string())) {
    previous_ = networks::installSharedSuite([suite = suite_] { return suite; });
  }
  ~ScopedSharedSuite() {
    networks::installSharedSuite(std::move(previous_));
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  ScopedSharedSuite(const ScopedSharedSuite&) = delete;
  ScopedSharedSuite& operator=(const ScopedSharedSuite&) = delete;

  platform::UserDefaults& suite() const { return *suite_; }

 private:
  std::filesystem::path folder_;
  std::shared_ptr<platform::UserDefaults> suite_;
  networks::SharedSuiteOpener previous_;
};

}  // namespace testsupport
