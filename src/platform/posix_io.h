#pragma once
// Small POSIX helpers shared by the platform's file writers.
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace platform::posix {

// Writes every byte, retrying after interruptions; false on any other failure.
inline bool writeAll(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace platform::posix
