#pragma once
// User defaults of one test's own: the standard store's file and the app-group suite
// (ScopedSharedSuite) both in fresh temporary folders, for the test's lifetime; then
// what was there before is put back and the folders removed. Neither HOME nor the
// settings change, so a test that needs nothing else of a home needs no home.
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

#include "platform/user_defaults.h"
#include "support/scoped_shared_suite.h"
#include "support/temp_folder.h"

namespace testsupport {

class ScopedUserDefaults {
 public:
  ScopedUserDefaults() : folder_(makeTemporaryFolder("mopet-defaults")) {
    previous_ =
        platform::UserDefaults::installStandardFile([path = (folder_ / "standard.plist").string()] { return path; });
  }
  ~ScopedUserDefaults() {
    platform::UserDefaults::installStandardFile(std::move(previous_));
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  ScopedUserDefaults(const ScopedUserDefaults&) = delete;
  ScopedUserDefaults& operator=(const ScopedUserDefaults&) = delete;

  platform::UserDefaults& standard() const { return platform::UserDefaults::standard(); }
  platform::UserDefaults& suite() const { return suite_.suite(); }

 private:
  std::filesystem::path folder_;
  platform::UserDefaults::StandardFile previous_;
  ScopedSharedSuite suite_;
};

}  // namespace testsupport
