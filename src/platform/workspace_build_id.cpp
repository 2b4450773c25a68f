#include "platform/workspace_build_id.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <tuple>
#include <vector>

namespace platform::workspace_detail {

namespace {

// What is read of one file: its program headers and each note segment, within bounds.
constexpr std::size_t kMaxProgramHeaders = 64;
constexpr std::size_t kMaxNoteBytes = 4096;

bool readAt(int fd, void* buffer, std::size_t size, off_t offset) {
  auto* bytes = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t count = ::pread(fd, bytes + done, size - done, offset + static_cast<off_t>(done));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    done += static_cast<std::size_t>(count);
  }
  return true;
}

std::string hexOf(const unsigned char* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0x0f];
  }
  return out;
}

// The GNU build-id among the notes of one segment.
std::optional<std::string> buildIdInNotes(const std::vector<unsigned char>& notes) {
  std::size_t at = 0;
  while (at + 12 <= notes.size()) {
    std::uint32_t nameSize = 0;
    std::uint32_t descSize = 0;
    std::uint32_t type = 0;
    std::memcpy(&nameSize, &notes[at], 4);
    std::memcpy(&descSize, &notes[at + 4], 4);
    std::memcpy(&type, &notes[at + 8], 4);
    const std::size_t name = at + 12;
    const std::size_t desc = name + ((static_cast<std::size_t>(nameSize) + 3) & ~std::size_t{3});
    const std::size_t next = desc + ((static_cast<std::size_t>(descSize) + 3) & ~std::size_t{3});
    if (desc > notes.size() || desc + descSize > notes.size()) return std::nullopt;
    if (type == NT_GNU_BUILD_ID && nameSize == 4 && std::memcmp(&notes[name], "GNU", 4) == 0 && descSize > 0) {
      return hexOf(&notes[desc], descSize);
    }
    at = next;
  }
  return std::nullopt;
}

// One program header's type, offset and size, for 32- and 64-bit files alike.
struct Segment {
  std::uint32_t type = 0;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

template <typename Header, typename ProgramHeader>
std::vector<Segment> segmentsOf(int fd) {
  Header header{};
  if (!readAt(fd, &header, sizeof header, 0) || header.e_phentsize != sizeof(ProgramHeader)) return {};
  std::vector<Segment> segments;
  const std::size_t count = std::min<std::size_t>(header.e_phnum, kMaxProgramHeaders);
  for (std::size_t i = 0; i < count; ++i) {
    ProgramHeader program{};
    const auto offset = static_cast<off_t>(header.e_phoff + i * sizeof(ProgramHeader));
    if (!readAt(fd, &program, sizeof program, offset)) break;
    segments.push_back({program.p_type, program.p_offset, program.p_filesz});
  }
  return segments;
}

std::optional<std::string> readBuildId(int fd) {
  std::array<unsigned char, EI_NIDENT> ident{};
  if (!readAt(fd, ident.data(), ident.size(), 0) || std::memcmp(ident.data(), ELFMAG, SELFMAG) != 0) {
    return std::nullopt;
  }
  // Only files of this machine's byte order are read (another one's cannot run here).
  const bool littleEndian = std::endian::native == std::endian::little;
  if (ident[EI_DATA] != (littleEndian ? ELFDATA2LSB : ELFDATA2MSB)) return std::nullopt;
  const auto segments = ident[EI_CLASS] == ELFCLASS64   ? segmentsOf<Elf64_Ehdr, Elf64_Phdr>(fd)
                        : ident[EI_CLASS] == ELFCLASS32 ? segmentsOf<Elf32_Ehdr, Elf32_Phdr>(fd)
                                                        : std::vector<Segment>{};
  for (const auto& segment : segments) {
    if (segment.type != PT_NOTE || segment.size == 0) continue;
    std::vector<unsigned char> notes(std::min<std::uint64_t>(segment.size, kMaxNoteBytes));
    if (!readAt(fd, notes.data(), notes.size(), static_cast<off_t>(segment.offset))) continue;
    if (auto id = buildIdInNotes(notes)) return id;
  }
  return std::nullopt;
}

using FileStamp = std::tuple<dev_t, ino_t, long long, long, off_t>;

// What was found per file; emptied when it holds more than a listing needs.
struct BuildIdCache {
  static constexpr std::size_t kMaxFiles = 8192;
  std::mutex mutex;
  std::map<FileStamp, std::optional<std::string>> found;
};

BuildIdCache& cache() {
  static BuildIdCache instance;
  return instance;
}

}  // namespace

std::optional<std::string> elfBuildId(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  const FileStamp stamp{info.st_dev, info.st_ino, static_cast<long long>(info.st_mtim.tv_sec), info.st_mtim.tv_nsec,
                        info.st_size};
  BuildIdCache& kept = cache();
  {
    std::lock_guard lock(kept.mutex);
    if (auto it = kept.found.find(stamp); it != kept.found.end()) {
      ::close(fd);
      return it->second;
    }
  }
  auto id = readBuildId(fd);
  ::close(fd);
  std::lock_guard lock(kept.mutex);
  if (kept.found.size() >= BuildIdCache::kMaxFiles) kept.found.clear();
  kept.found.emplace(stamp, id);
  return id;
}

}  // namespace platform::workspace_detail
