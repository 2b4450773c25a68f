#pragma once
// Reading and writing whole files as text, for tests that arrange and check files.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace testsupport {

// The whole file, byte for byte; empty when it cannot be read.
inline std::string readText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Replaces the file with `text`, making the folders above it when they are missing;
// `executable` adds the owner's execute bit (and read for all).
inline void writeText(const std::filesystem::path& path, const std::string& text, bool executable = false) {
  namespace fs = std::filesystem;
  std::error_code ignored;
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ignored);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  if (executable) fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
}

}  // namespace testsupport
