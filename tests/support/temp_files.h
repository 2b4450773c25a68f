#pragma once
// A file manager of one test's own, over a fresh temporary folder as its home (the
// user's data and configuration folders under it), removed afterwards. Nothing global
// changes: the test hands files() to what it builds (the keychain, the content blocker,
// a suite of user defaults, the safe-search engine, the delegate's jobs).
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/file_manager.h"
#include "platform/settings.h"
#include "support/temp_folder.h"

namespace testsupport {

class TempFiles {
 public:
  TempFiles() : path_(makeTemporaryFolder("mopet-home")), settings_(homeAt(path_)), files_(settings_) {}
  ~TempFiles() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFiles(const TempFiles&) = delete;
  TempFiles& operator=(const TempFiles&) = delete;

  // The home folder.
  const std::filesystem::path& path() const { return path_; }
  // The settings the manager is built over: the current ones with this home.
  const platform::Settings& settings() const { return settings_; }
  platform::FileManager& files() { return files_; }

  // The current settings with `home` as the home and the user's data and configuration
  // folders under it.
  static platform::Settings homeAt(const std::filesystem::path& home) {
    platform::Settings settings = platform::Settings::current();
    settings.homeDirectory = home.string();
    settings.xdgDataHome.clear();
    settings.xdgConfigHome.clear();
    return settings;
  }

 private:
  std::filesystem::path path_;
  platform::Settings settings_;
  platform::FileManager files_;
};

}  // namespace testsupport
