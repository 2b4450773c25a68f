#pragma once
// A temporary HOME for one test: user defaults, Documents and the app-group container
// all land inside it, and it is removed afterwards.
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace testsupport {

class TempHome {
 public:
  TempHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mopet-home-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
    if (const char* old = std::getenv("HOME")) previous_ = old;
    ::setenv("HOME", path_.c_str(), 1);
  }
  ~TempHome() {
    if (previous_) ::setenv("HOME", previous_->c_str(), 1);
    else ::unsetenv("HOME");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::optional<std::string> previous_;
};

}  // namespace testsupport
