#include "platform/bundle.h"

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace platform {
namespace {

bool isFolder(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string executableFolder() {
  std::string buffer(4096, '\0');
  const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return {};
  buffer.resize(static_cast<std::size_t>(length));
  const auto slash = buffer.find_last_of('/');
  return slash == std::string::npos ? std::string() : buffer.substr(0, slash);
}

std::string findResources() {
  std::vector<std::string> candidates;
  if (const auto folder = executableFolder(); !folder.empty()) {
    candidates.push_back(folder + "/resources");
    candidates.push_back(folder + "/../share/velmor-mopet-agent");  // installed: <prefix>/bin, <prefix>/share
  }
#ifdef MOPET_SOURCE_DIR
  candidates.push_back(std::string(MOPET_SOURCE_DIR) + "/resources");
#endif
  for (const auto& candidate : candidates) {
    if (isFolder(candidate)) return candidate;
  }
  return {};
}

// A name stays inside the resources folder when none of its components is "..".
bool staysInside(const std::string& name) {
  if (name.empty() || name.front() == '/') return false;
  std::size_t start = 0;
  for (;;) {
    const auto slash = name.find('/', start);
    if (name.compare(start, slash == std::string::npos ? std::string::npos : slash - start, "..") == 0) return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

}  // namespace

Bundle::Bundle() : identifier_("so.velmorhome.mopet.agent"), resourcePath_(findResources()) {}

Bundle& Bundle::main() {
  static auto* bundle = new Bundle();  // never destroyed: usable from code running at exit
  return *bundle;
}

const std::string& Bundle::bundleIdentifier() const { return identifier_; }

std::optional<std::string> Bundle::path(const std::string& name, const std::string& type) const {
  const std::string file = type.empty() ? name : name + "." + type;
  if (!staysInside(file) || file.find('\0') != std::string::npos) return std::nullopt;
  const std::string folder = resourcePath();
  if (folder.empty()) return std::nullopt;
  std::string candidate = folder + "/" + file;
  struct stat info {};
  if (::stat(candidate.c_str(), &info) != 0) return std::nullopt;
  return candidate;
}

std::string Bundle::resourcePath() const {
  std::lock_guard lock(mutex_);
  return resourcePath_;
}

void Bundle::setResourcePath(std::string folder) {
  if (folder.empty()) folder = findResources();
  std::lock_guard lock(mutex_);
  resourcePath_ = std::move(folder);
}

}  // namespace platform
