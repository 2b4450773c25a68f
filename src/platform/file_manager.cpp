#include "platform/file_manager.h"
#include "platform/posix_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <utility>

#include "platform/settings.h"

namespace platform {
namespace {

std::unexpected<FileError> failure(int error, std::string operation, std::string path) {
  return std::unexpected(
      FileError{std::error_code(error, std::generic_category()), std::move(operation), std::move(path)});
}

std::string parentOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string baseNameOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string join(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

// The process's umask without changing it (umask(2) would race with other threads).
mode_t currentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
  }
  return 022;
}

using posix::writeAll;

FileResult<> copyRegularFile(const std::string& from, const std::string& to, mode_t mode) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return failure(errno, "copy", from);
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) {
    const int error = errno;
    ::close(in);
    return failure(error, "copy", to);
  }
  char buffer[64 * 1024];
  int error = 0;
  for (;;) {
    const ssize_t got = ::read(in, buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    if (!writeAll(out, buffer, static_cast<std::size_t>(got))) {
      error = errno;
      break;
    }
  }
  if (error == 0 && ::fchmod(out, mode & 07777) != 0) error = errno;
  ::close(in);
  if (::close(out) != 0 && error == 0) error = errno;
  if (error != 0) {
    ::unlink(to.c_str());
    return failure(error, "copy", to);
  }
  return {};
}

FileResult<> copyTree(const FileManager& files, const std::string& from, const std::string& to) {
  struct stat info {};
  if (::lstat(from.c_str(), &info) != 0) return failure(errno, "copy", from);
  if (S_ISLNK(info.st_mode)) {
    std::string target(static_cast<std::size_t>(info.st_size) + 256, '\0');
    const ssize_t length = ::readlink(from.c_str(), target.data(), target.size());
    if (length < 0) return failure(errno, "copy", from);
    target.resize(static_cast<std::size_t>(length));
    if (::symlink(target.c_str(), to.c_str()) != 0) return failure(errno, "copy", to);
    return {};
  }
  if (S_ISREG(info.st_mode)) return copyRegularFile(from, to, info.st_mode);
  if (!S_ISDIR(info.st_mode)) return failure(ENOTSUP, "copy", from);

  if (::mkdir(to.c_str(), 0700) != 0) return failure(errno, "copy", to);
  auto entries = files.contentsOfDirectory(from);
  if (!entries) return std::unexpected(entries.error());
  for (const auto& entry : *entries) {
    if (auto copied = copyTree(files, entry, join(to, baseNameOf(entry))); !copied) return copied;
  }
  if (::chmod(to.c_str(), info.st_mode & 07777) != 0) return failure(errno, "copy", to);
  return {};
}

// The documents folder that the desktop's user-dirs.dirs names (XDG_DOCUMENTS_DIR="...",
// either "$HOME/..." or an absolute path; a backslash takes the next character as it
// is; the last such line counts), or nothing when the file names none. Only the file's
// first 64 KiB are read, and a FIFO there is not waited on.
std::optional<std::string> userDirsDocuments(const std::string& configHome, const std::string& home) {
  const std::string path = join(configHome, "user-dirs.dirs");
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  std::string text;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    constexpr std::size_t kLargest = std::size_t{64} * 1024;
    text.resize(kLargest);
    std::size_t filled = 0;
    while (filled < kLargest) {
      const ssize_t got = ::read(fd, text.data() + filled, kLargest - filled);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      filled += static_cast<std::size_t>(got);
    }
    text.resize(filled);
  }
  ::close(fd);

  std::optional<std::string> found;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + start, end - start);
    start = end + 1;

    std::size_t at = line.find_first_not_of(" \t");
    auto take = [&](std::string_view word) {
      if (at == std::string_view::npos || line.substr(at, word.size()) != word) return false;
      at += word.size();
      return true;
    };
    auto skipBlanks = [&] {
      if (at != std::string_view::npos) at = line.find_first_not_of(" \t", at);
    };
    if (!take("XDG_DOCUMENTS_DIR")) continue;
    skipBlanks();
    if (!take("=")) continue;
    skipBlanks();
    if (!take("\"")) continue;
    std::string folder;
    if (take("$HOME")) {
      if (at >= line.size() || (line[at] != '/' && line[at] != '"')) continue;
      folder = home;
    } else if (at >= line.size() || line[at] != '/') {
      continue;  // neither under the home nor absolute: the desktop ignores it
    }
    bool closed = false;
    for (; at < line.size(); ++at) {
      if (line[at] == '"') {
        closed = true;
        break;
      }
      if (line[at] == '\\' && at + 1 < line.size()) ++at;
      folder += line[at];
    }
    if (!closed) continue;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    found = folder.empty() ? home : folder;
  }
  return found;
}

// Creates the folder and whichever of its parents are missing, with `mode` (less the
// umask); an existing folder is success, stops at the first that cannot be made.
FileResult<> makeFolders(const std::string& path, mode_t mode) {
  if (path.empty()) return failure(ENOENT, "create folder", path);
  std::size_t position = 0;
  for (;;) {
    position = path.find('/', position + 1);
    const std::string prefix = path.substr(0, position);
    if (!prefix.empty() && prefix.back() != '/' && ::mkdir(prefix.c_str(), mode) != 0) {
      const int error = errno;
      struct stat info {};
      if (error != EEXIST) return failure(error, "create folder", prefix);
      if (::stat(prefix.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return failure(ENOTDIR, "create folder", prefix);
    }
    if (position == std::string::npos) return {};
  }
}

}  // namespace

std::string FileError::localizedDescription() const {
  return "Could not " + operation + " \"" + path + "\": " + code.message();
}

FileManager::FileManager(Settings settings) : settings_(std::move(settings)) {}

std::string FileManager::homeDirectory() const { return settings_.homeDirectory; }

std::string FileManager::documentsDirectory() const {
  const std::string& home = settings_.homeDirectory;
  std::string folder = userDirsDocuments(settings_.configHome(), home).value_or(join(home, "Documents"));
  // Made when missing, it and its missing parents private to the user; when that fails
  // the write that follows says why.
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0) (void)makeFolders(folder, 0700);
  return folder;
}

std::optional<std::string> FileManager::containerPath(const std::string& group) const {
  if (group.empty() || group == "." || group == ".." || group.find('/') != std::string::npos ||
      group.find('\0') != std::string::npos)
    return std::nullopt;
  return join(homeDirectory(), "Library/Group Containers/" + group);
}

std::vector<std::string> FileManager::applicationDirectories() const {
  std::vector<std::string> applications;
  for (const auto& data : settings_.dataDirectories()) applications.push_back(join(data, "applications"));
  return applications;
}

std::string FileManager::autostartDirectory() const { return join(settings_.configHome(), "autostart"); }

FileResult<> FileManager::write(const std::string& path, const Data& bytes, bool atomically) const {
  return write(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), atomically);
}

FileResult<> FileManager::write(const std::string& path, std::string_view bytes, bool atomically) const {
  if (path.empty()) return failure(ENOENT, "write", path);
  if (!atomically) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return failure(errno, "write", path);
    const bool ok = writeAll(fd, bytes.data(), bytes.size());
    const int error = errno;
    if (::close(fd) != 0 && ok) return failure(errno, "write", path);
    if (!ok) return failure(error, "write", path);
    return {};
  }

  mode_t mode = 0666 & ~currentUmask();
  struct stat existing {};
  if (::stat(path.c_str(), &existing) == 0) {
    if (S_ISDIR(existing.st_mode)) return failure(EISDIR, "write", path);
    mode = existing.st_mode & 07777;
  }
  std::string temporary = join(parentOf(path), "." + baseNameOf(path) + ".XXXXXX");
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return failure(errno, "write", path);
  int error = 0;
  if (!writeAll(fd, bytes.data(), bytes.size()) || ::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    return failure(error, "write", path);
  }
  return {};
}

FileResult<Data> FileManager::contents(const std::string& path) const {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return failure(errno, "read", path);
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(fd);
    return failure(EISDIR, "read", path);
  }
  Data data;
  std::uint8_t buffer[64 * 1024];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      return failure(error, "read", path);
    }
    data.insert(data.end(), buffer, buffer + got);
  }
  ::close(fd);
  return data;
}

FileResult<> FileManager::removeItem(const std::string& path) const {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return failure(errno, "remove", path);
  if (S_ISDIR(info.st_mode)) {
    auto entries = contentsOfDirectory(path);
    if (!entries) return std::unexpected(FileError{entries.error().code, "remove", path});
    for (const auto& entry : *entries) {
      if (auto removed = removeItem(entry); !removed) return removed;
    }
    if (::rmdir(path.c_str()) != 0) return failure(errno, "remove", path);
    return {};
  }
  if (::unlink(path.c_str()) != 0) return failure(errno, "remove", path);
  return {};
}

bool FileManager::fileExists(const std::string& path) const {
  bool isDirectory = false;
  return fileExists(path, isDirectory);
}

bool FileManager::fileExists(const std::string& path, bool& isDirectory) const {
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0) return false;
  isDirectory = S_ISDIR(info.st_mode);
  return true;
}

bool FileManager::isExecutableFile(const std::string& path) const {
  return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

FileResult<> FileManager::createDirectory(const std::string& path, bool withIntermediateDirectories) const {
  if (path.empty()) return failure(ENOENT, "create folder", path);
  if (!withIntermediateDirectories) {
    if (::mkdir(path.c_str(), 0777) != 0) return failure(errno, "create folder", path);
    return {};
  }
  return makeFolders(path, 0777);
}

FileResult<std::vector<std::string>> FileManager::contentsOfDirectory(const std::string& path) const {
  DIR* folder = ::opendir(path.c_str());
  if (folder == nullptr) return failure(errno, "list", path);
  std::vector<std::string> names;
  errno = 0;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): readdir is safe on a stream no other thread uses.
  while (const dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  const int error = errno;
  ::closedir(folder);
  if (error != 0) return failure(error, "list", path);
  std::sort(names.begin(), names.end());
  for (auto& name : names) name = join(path, name);
  return names;
}

FileResult<> FileManager::moveItem(const std::string& from, const std::string& to) const {
  struct stat info {};
  if (::lstat(from.c_str(), &info) != 0) return failure(errno, "move", from);
  if (::lstat(to.c_str(), &info) == 0) return failure(EEXIST, "move", to);
  if (::rename(from.c_str(), to.c_str()) == 0) return {};
  if (errno != EXDEV) return failure(errno, "move", from);
  if (auto copied = copyTree(*this, from, to); !copied) {
    (void)removeItem(to);
    return copied;
  }
  return removeItem(from);
}

FileResult<> FileManager::copyItem(const std::string& from, const std::string& to) const {
  struct stat info {};
  if (::lstat(to.c_str(), &info) == 0) return failure(EEXIST, "copy", to);
  if (to.starts_with(from + "/")) return failure(EINVAL, "copy", to);  // a folder into itself
  auto copied = copyTree(*this, from, to);
  if (!copied && ::lstat(to.c_str(), &info) == 0) (void)removeItem(to);  // leave no half copy
  return copied;
}

}  // namespace platform
