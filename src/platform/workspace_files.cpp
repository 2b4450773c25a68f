#include "platform/workspace_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>

#include "platform/process.h"
#include "platform/settings.h"

namespace platform::workspace_detail {

bool readRegularFile(const std::string& path, std::string& out, std::size_t limit, bool followLinks,
                     bool refuseLarger) {
  out.clear();
  int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  if (!followLinks) flags |= O_NOFOLLOW;
  const int fd = ::open(path.c_str(), flags);
  if (fd < 0) return false;
  struct stat info {};
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  if (ok && refuseLarger && static_cast<unsigned long long>(info.st_size) > limit) ok = false;
  // One byte more than the limit tells a file that grew while it was read.
  const std::size_t wanted = refuseLarger ? limit + 1 : limit;
  std::array<char, 4096> buffer;
  while (ok && out.size() < wanted) {
    const ssize_t count = ::read(fd, buffer.data(), std::min(buffer.size(), wanted - out.size()));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) ok = false;
    if (count <= 0) break;
    out.append(buffer.data(), static_cast<std::size_t>(count));
  }
  ::close(fd);
  if (refuseLarger && out.size() > limit) ok = false;
  return ok;
}

std::optional<std::string> readSmallFile(const std::string& path, bool followLinks) {
  std::string text;
  if (!readRegularFile(path, text, kSmallFileLimit, followLinks)) return std::nullopt;
  return text;
}

std::string baseName(std::string_view path) {
  auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

bool isExecutableFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> findExecutable(const std::string& name, const std::string& childPath) {
  return Process::findProgram(name, Process::childSearchPath(childPath, Settings::current().inheritedPath),
                              isExecutableFile);
}

std::string trim(std::string_view text) {
  auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  auto last = text.find_last_not_of(" \t\r");
  return std::string(text.substr(first, last - first + 1));
}

std::optional<FileIdentity> identityOf(const std::string& path, int dirFd) {
  struct stat info {};
  if (::fstatat(dirFd, path.c_str(), &info, 0) != 0) return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino};
}

void addName(std::vector<std::string>& names, std::string name) {
  if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
}

bool isRegularFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace platform::workspace_detail
