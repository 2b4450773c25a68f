#pragma once
// A temporary home for one test: user defaults, Documents, the app-group container and
// the user's data and configuration folders (their XDG variables set aside) all land
// inside it, and it is removed afterwards. It installs the current settings with that
// home for its lifetime (ScopedSettings); the process environment is left alone, so a
// child process that must see the home gets HOME in its own environment.
#include <filesystem>
#include <optional>
#include <string>

#include "support/scoped_settings.h"
#include "support/temp_files.h"
#include "support/temp_folder.h"

namespace testsupport {

class TempHome {
 public:
  TempHome() : path_(makeTemporaryFolder("mopet-home")) { settings_.emplace(TempFiles::homeAt(path_)); }
  ~TempHome() {
    settings_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::optional<ScopedSettings> settings_;
};

}  // namespace testsupport
