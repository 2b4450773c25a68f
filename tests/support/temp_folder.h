#pragma once
// A fresh folder under the temporary folder, for tests to work in. When it cannot be
// made (a TMPDIR that is missing or not writable, say), it throws with a message that
// names the place and the reason, so the test fails saying why instead of aborting.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace testsupport {

// Makes "<under>/<prefix>-XXXXXX" (mkdtemp: mode 0700, a new name).
inline std::filesystem::path makeTemporaryFolderIn(const std::filesystem::path& under, const std::string& prefix) {
  std::string pattern = (under / (prefix + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    const int reason = errno;
    throw std::runtime_error("test set-up: cannot make a temporary folder " + pattern + ": " +
                             std::generic_category().message(reason));
  }
  return pattern;
}

// Makes "<temporary folder>/<prefix>-XXXXXX".
inline std::filesystem::path makeTemporaryFolder(const std::string& prefix) {
  std::error_code error;
  const std::filesystem::path under = std::filesystem::temp_directory_path(error);
  if (error) {
    throw std::runtime_error("test set-up: no temporary folder to work in (TMPDIR, else /tmp): " + error.message());
  }
  return makeTemporaryFolderIn(under, prefix);
}

}  // namespace testsupport
