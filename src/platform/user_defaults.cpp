#include "platform/user_defaults.h"
#include "platform/posix_io.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/bundle.h"
#include "platform/file_manager.h"
#include "platform/settings.h"

namespace platform {
namespace {

// A larger file is not taken for preferences: it is refused unread, so that a huge file
// in the child's folder costs a reader one stat, not a parse of all of it.
constexpr std::size_t kLargestFile = 16u << 20;
constexpr const char* kLargestFileText = "16 MiB";

struct NodeDeleter {
  void operator()(void* node) const {
    if (node != nullptr) plist_free(static_cast<plist_t>(node));
  }
};
using Node = std::unique_ptr<void, NodeDeleter>;

struct Freed {
  void operator()(void* memory) const { std::free(memory); }
};

// Calls `visit(key, item)` for each item of a dictionary node, in the file's order.
template <typename Visit>
void forEachItem(plist_t dictionary, Visit visit) {
  plist_dict_iter iterator = nullptr;
  plist_dict_new_iter(dictionary, &iterator);
  std::unique_ptr<void, Freed> ownedIterator(iterator);
  for (;;) {
    char* rawKey = nullptr;
    plist_t item = nullptr;
    plist_dict_next_item(dictionary, iterator, &rawKey, &item);
    std::unique_ptr<char, Freed> key(rawKey);
    if (item == nullptr) break;
    visit(key.get(), item);
  }
}

void complain(const std::string& text) { std::cerr << "UserDefaults: " << text << '\n'; }

std::string errorText(int error) {
  if (error == EFBIG) return std::string("larger than ") + kLargestFileText + ", not parsed";
  return std::generic_category().message(error);
}

// ---- values <-> libplist nodes ----------------------------------------------------

PlistValue::Dictionary dictionaryOf(plist_t node);

std::optional<PlistValue> toValue(plist_t node) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      std::uint8_t value = 0;
      plist_get_bool_val(node, &value);
      return PlistValue(value != 0);
    }
    case PLIST_UINT: {
      // libplist keeps every integer as 64 bits; negative numbers come back two's complement.
      std::uint64_t value = 0;
      plist_get_uint_val(node, &value);
      return PlistValue(static_cast<std::int64_t>(value));
    }
    case PLIST_REAL: {
      double value = 0;
      plist_get_real_val(node, &value);
      return PlistValue(value);
    }
    case PLIST_STRING: {
      // By pointer and length: libplist's copying accessor aborts on a text holding a
      // NUL, which the readers refuse before parsing anyway.
      std::uint64_t length = 0;
      const char* raw = plist_get_string_ptr(node, &length);
      return PlistValue(raw != nullptr ? std::string(raw, ::strnlen(raw, length)) : std::string());
    }
    case PLIST_DATA: {
      char* raw = nullptr;
      std::uint64_t length = 0;
      plist_get_data_val(node, &raw, &length);
      std::unique_ptr<char, Freed> bytes(raw);
      const auto* begin = reinterpret_cast<const std::uint8_t*>(raw);
      return PlistValue(raw != nullptr ? Data(begin, begin + length) : Data());
    }
    case PLIST_ARRAY: {
      PlistValue::Array array;
      const std::uint32_t size = plist_array_get_size(node);
      for (std::uint32_t i = 0; i < size; ++i) {
        if (auto item = toValue(plist_array_get_item(node, i))) array.push_back(std::move(*item));
      }
      return PlistValue(std::move(array));
    }
    case PLIST_DICT:
      return PlistValue(dictionaryOf(node));
    default:  // dates, UIDs: not among our values; left untouched in the file
      return std::nullopt;
  }
}

PlistValue::Dictionary dictionaryOf(plist_t node) {
  PlistValue::Dictionary dictionary;
  forEachItem(node, [&](const char* key, plist_t item) {
    if (auto value = toValue(item); value && key != nullptr) dictionary.emplace(key, std::move(*value));
  });
  return dictionary;
}

PlistValue::Dictionary toDictionary(plist_t root) {
  if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) return {};
  return dictionaryOf(root);
}

bool holdsNul(const std::string& text) { return text.find('\0') != std::string::npos; }

// Nothing when the value cannot be written (a text or key holding a NUL).
Node toNode(const PlistValue& value) {
  struct Maker {
    Node operator()(const std::string& text) const {
      return holdsNul(text) ? Node() : Node(plist_new_string(text.c_str()));
    }
    Node operator()(const Data& data) const {
      return Node(plist_new_data(reinterpret_cast<const char*>(data.data()), data.size()));
    }
    Node operator()(bool flag) const { return Node(plist_new_bool(flag ? 1 : 0)); }
    Node operator()(std::int64_t number) const { return Node(plist_new_uint(static_cast<std::uint64_t>(number))); }
    Node operator()(double number) const { return Node(plist_new_real(number)); }
    Node operator()(const PlistValue::Array& array) const {
      Node node(plist_new_array());
      for (const auto& item : array) {
        Node child = toNode(item);
        if (!child) return Node();
        plist_array_append_item(node.get(), child.release());
      }
      return node;
    }
    Node operator()(const PlistValue::Dictionary& dictionary) const {
      Node node(plist_new_dict());
      for (const auto& [key, item] : dictionary) {
        Node child = toNode(item);
        if (!child || holdsNul(key)) return Node();
        plist_dict_set_item(node.get(), key.c_str(), child.release());
      }
      return node;
    }
  };
  return std::visit(Maker{}, value.storage());
}

// ---- nesting limit -----------------------------------------------------------------
//
// libplist's binary parser, its free and its writers recurse once per level of nesting,
// as does the conversion into PlistValue: a file of deeply nested arrays would overflow
// the stack. So the bytes are measured before libplist sees them, and the tree once more
// after parsing (without recursion), and anything deeper than the limit is refused.

using propertylist::kDeepestNesting;

bool isNameCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-' || c == ':' || c == '.';
}

// Whether the XML text names the character NUL by reference ("&#0;", "&#x00;"): a text or
// key holding it would abort libplist's accessors.
bool xmlNamesNul(std::string_view text) {
  for (std::size_t at = text.find("&#"); at != std::string_view::npos; at = text.find("&#", at + 2)) {
    std::size_t i = at + 2;
    const bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
    if (hex) ++i;
    const std::size_t digits = i;
    bool zero = true;
    while (i < text.size() && (hex ? std::isxdigit(static_cast<unsigned char>(text[i])) != 0
                                   : std::isdigit(static_cast<unsigned char>(text[i])) != 0)) {
      zero = zero && text[i] == '0';
      ++i;
    }
    if (i > digits && zero) return true;
  }
  return false;
}

bool isValueTag(std::string_view name) {
  return name == "array" || name == "dict" || name == "key" || name == "string" || name == "integer" ||
         name == "real" || name == "true" || name == "false" || name == "date" || name == "data";
}

// XML: no NUL, as a byte or a character reference; <array> and <dict> open a level (not when written <array/>),
// </array> and </dict> close one; comments, CDATA sections, declarations and processing instructions hold no tags.
// No more than kMostNodes values and keys. Anything left unterminated is refused.
bool xmlNestingWithinLimit(std::string_view text) {
  if (text.find('\0') != std::string_view::npos || xmlNamesNul(text)) return false;
  std::size_t depth = 0;
  std::size_t nodes = 0;
  std::size_t at = text.find('<');
  while (at != std::string_view::npos) {
    const std::string_view rest = text.substr(at);
    std::string_view skipTo;
    if (rest.starts_with("<!--")) skipTo = "-->";
    else if (rest.starts_with("<![CDATA[")) skipTo = "]]>";
    else if (rest.starts_with("<?")) skipTo = "?>";
    else if (rest.starts_with("<!")) skipTo = ">";
    if (!skipTo.empty()) {
      const std::size_t end = text.find(skipTo, at + 2);
      if (end == std::string_view::npos) return false;
      at = text.find('<', end + skipTo.size());
      continue;
    }
    const bool closing = rest.size() > 1 && rest[1] == '/';
    std::size_t nameEnd = closing ? 2 : 1;
    while (nameEnd < rest.size() && isNameCharacter(rest[nameEnd])) ++nameEnd;
    const std::string_view name = rest.substr(closing ? 2 : 1, nameEnd - (closing ? 2 : 1));
    const std::size_t tagEnd = text.find('>', at);
    if (tagEnd == std::string_view::npos) return false;
    if (!closing && isValueTag(name) && ++nodes > propertylist::kMostNodes) return false;
    if (name == "array" || name == "dict") {
      if (closing) {
        if (depth > 0) --depth;
      } else if (text[tagEnd - 1] != '/' && ++depth > kDeepestNesting) {
        return false;
      }
    }
    at = text.find('<', tagEnd + 1);
  }
  return true;
}

std::uint64_t bigEndian(std::string_view bytes, std::size_t at, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// ---- binary property lists: depth and expanded size ---------------------------------
//
// libplist's binary reader builds a copy of an object for every reference to it, so a
// few hundred bytes of arrays that share their items expand to millions of nodes. Before
// libplist sees the bytes, each object of the file is measured once, from the measures of
// its children (its depth, and the nodes and bytes of text and data its copies come to,
// shared objects counted once per reference), and a file beyond a limit is refused.

using propertylist::kMostExpandedBytes;
using propertylist::kMostNodes;

// The trailer's description of the object table.
struct BinaryLayout {
  std::string_view bytes;
  std::size_t offsetSize = 0;
  std::size_t refSize = 0;
  std::uint64_t objects = 0;
  std::uint64_t top = 0;
  std::uint64_t table = 0;  // where the offset table starts; the objects lie before it

  std::uint64_t offsetOf(std::uint64_t index) const {
    return bigEndian(bytes, static_cast<std::size_t>(table + index * offsetSize), offsetSize);
  }
  std::uint64_t reference(std::size_t refs, std::uint64_t at) const {
    return bigEndian(bytes, static_cast<std::size_t>(refs + at * refSize), refSize);
  }
};

constexpr std::size_t kBinaryHeader = 8, kBinaryTrailer = 32;

// None when the trailer does not describe a table inside the file, or one of more
// objects than could ever be read.
std::optional<BinaryLayout> binaryLayout(std::string_view bytes) {
  if (bytes.size() < kBinaryHeader + kBinaryTrailer) return std::nullopt;
  const std::size_t trailer = bytes.size() - kBinaryTrailer;
  BinaryLayout layout;
  layout.bytes = bytes;
  layout.offsetSize = static_cast<unsigned char>(bytes[trailer + 6]);
  layout.refSize = static_cast<unsigned char>(bytes[trailer + 7]);
  layout.objects = bigEndian(bytes, trailer + 8, 8);
  layout.top = bigEndian(bytes, trailer + 16, 8);
  layout.table = bigEndian(bytes, trailer + 24, 8);
  if (layout.offsetSize < 1 || layout.offsetSize > 8 || layout.refSize < 1 || layout.refSize > 8 ||
      layout.objects == 0 || layout.objects > kMostNodes || layout.top >= layout.objects ||
      layout.table < kBinaryHeader || layout.table > trailer ||
      layout.objects > (trailer - layout.table) / layout.offsetSize) {
    return std::nullopt;
  }
  return layout;
}

// One object of the table: a container, with where its references start and how many
// it has (a dictionary's keys, then its values), or a leaf with the bytes of text or
// data it holds.
struct BinaryObject {
  bool container = false;
  std::size_t refs = 0;
  std::uint64_t count = 0;
  std::uint64_t payload = 0;
};

// The count in an object's marker, or in the integer after it (marker nibble 0xF), and
// where what it counts starts; none when that does not fit before the offset table.
std::optional<std::pair<std::uint64_t, std::size_t>> binaryCount(const BinaryLayout& layout, std::size_t offset) {
  std::uint64_t count = static_cast<unsigned char>(layout.bytes[offset]) & 0x0F;
  std::size_t start = offset + 1;
  if (count != 0x0F) return std::pair(count, start);
  if (start >= layout.table) return std::nullopt;
  const auto sizeMarker = static_cast<unsigned char>(layout.bytes[start]);
  if ((sizeMarker >> 4) != 0x1 || (sizeMarker & 0x0F) > 3) return std::nullopt;
  const std::size_t sizeBytes = std::size_t{1} << (sizeMarker & 0x0F);
  if (start + 1 + sizeBytes > layout.table) return std::nullopt;
  count = bigEndian(layout.bytes, start + 1, sizeBytes);
  return std::pair(count, start + 1 + sizeBytes);
}

// None for an object that does not fit the file (libplist could not read it either) or
// a text holding a NUL.
std::optional<BinaryObject> binaryObject(const BinaryLayout& layout, std::uint64_t index) {
  const std::uint64_t offset = layout.offsetOf(index);
  if (offset < kBinaryHeader || offset >= layout.table) return std::nullopt;
  const unsigned type = static_cast<unsigned char>(layout.bytes[offset]) >> 4;
  const bool text = type == 0x5 || type == 0x6;
  if (type != 0x4 && type != 0xA && type != 0xC && type != 0xD && !text) return BinaryObject{};
  const auto counted = binaryCount(layout, static_cast<std::size_t>(offset));
  if (!counted) return std::nullopt;
  auto [count, start] = *counted;
  const std::uint64_t room = layout.table - start;
  if (type == 0x4) {  // data: bytes
    if (count > room) return std::nullopt;
    return BinaryObject{.payload = count};
  }
  if (text) {  // ASCII bytes, or UTF-16 units of two bytes (up to three bytes each as UTF-8); none may be NUL
    const std::size_t unit = type == 0x5 ? 1 : 2;
    if (count > room / unit) return std::nullopt;
    for (std::size_t i = 0; i < count; ++i) {
      if (bigEndian(layout.bytes, start + i * unit, unit) == 0) return std::nullopt;
    }
    return BinaryObject{.payload = type == 0x5 ? count : count * 3};
  }
  if (type == 0xD) {
    if (count > std::numeric_limits<std::uint64_t>::max() / 2) return std::nullopt;
    count *= 2;  // the keys' references, then the values'
  }
  if (count > room / layout.refSize) return std::nullopt;
  return BinaryObject{.container = true, .refs = start, .count = count};
}

// Walks the references from the top object without recursion, each object measured once:
// a reference cycle, an object that does not fit, a nesting deeper than the limit, or an
// expansion beyond the limits is refused.
class BinaryMeasure {
 public:
  explicit BinaryMeasure(const BinaryLayout& layout)
      : layout_(layout), measured_(static_cast<std::size_t>(layout.objects)) {}

  bool withinLimits() {
    if (!enter(layout_.top)) return false;
    while (!stack_.empty()) {
      Frame& frame = stack_.back();
      if (frame.next == frame.object.count) {
        if (!finish()) return false;
        continue;
      }
      const std::uint64_t child = layout_.reference(frame.object.refs, frame.next);
      ++frame.next;
      if (!enter(child)) return false;
    }
    return true;
  }

 private:
  // Per object: its depth + 1 (0 not measured yet, kOpen being measured), and the nodes
  // and bytes its copy comes to.
  static constexpr std::uint16_t kOpen = 0xFFFF;
  struct Measure {
    std::uint16_t depth = 0;
    std::uint32_t nodes = 0;
    std::uint32_t bytes = 0;
  };
  struct Frame {
    std::uint64_t index;
    BinaryObject object;
    std::uint64_t next = 0;
    Measure measure{};  // so far: the deepest child, and the nodes and bytes with the children counted
  };

  // Counts `index` into the container being measured (or as the top), measured already
  // or now; opens a frame for a container not measured yet.
  bool enter(std::uint64_t index) {
    if (index >= layout_.objects || measured_[index].depth == kOpen) return false;
    if (measured_[index].depth != 0) return add(measured_[index]);
    const auto object = binaryObject(layout_, index);
    if (!object) return false;
    if (!object->container) {
      if (object->payload > kMostExpandedBytes) return false;
      measured_[index] = Measure{1, 1, static_cast<std::uint32_t>(object->payload)};
      return add(measured_[index]);
    }
    if (stack_.size() >= kDeepestNesting) return false;
    measured_[index].depth = kOpen;
    stack_.push_back(Frame{index, *object, 0, Measure{0, 1, 0}});
    return true;
  }

  bool finish() {
    Frame frame = stack_.back();
    stack_.pop_back();
    frame.measure.depth = static_cast<std::uint16_t>(frame.measure.depth + 2);  // its own level, and the + 1
    measured_[frame.index] = frame.measure;
    return add(frame.measure);
  }

  // Adds a measured child to the container on top of the stack.
  bool add(const Measure& child) {
    if (stack_.empty()) return true;
    Measure& into = stack_.back().measure;
    into.depth = std::max<std::uint16_t>(into.depth, static_cast<std::uint16_t>(child.depth - 1));
    const std::uint64_t nodes = std::uint64_t{into.nodes} + child.nodes;
    const std::uint64_t bytes = std::uint64_t{into.bytes} + child.bytes;
    if (nodes > kMostNodes || bytes > kMostExpandedBytes) return false;
    into.nodes = static_cast<std::uint32_t>(nodes);
    into.bytes = static_cast<std::uint32_t>(bytes);
    return true;
  }

  const BinaryLayout& layout_;
  std::vector<Measure> measured_;
  std::vector<Frame> stack_;
};

// Binary ("bplist00"): within the nesting and expansion limits, every object reached
// fits the file, no text holds a NUL and no reference makes a cycle.
bool binaryWithinLimits(std::string_view bytes) {
  const auto layout = binaryLayout(bytes);
  return layout && BinaryMeasure(*layout).withinLimits();
}

bool nestingWithinLimit(std::string_view bytes) {
  return bytes.starts_with("bplist00") ? binaryWithinLimits(bytes) : xmlNestingWithinLimit(bytes);
}

// The same measure over a parsed tree, without recursion.
bool treeWithinLimit(plist_t root) {
  std::vector<std::pair<plist_t, std::size_t>> pending{{root, 1}};
  while (!pending.empty()) {
    auto [node, depth] = pending.back();
    pending.pop_back();
    const plist_type type = plist_get_node_type(node);
    if (type != PLIST_ARRAY && type != PLIST_DICT) continue;
    if (depth > kDeepestNesting) return false;
    if (type == PLIST_ARRAY) {
      const std::uint32_t size = plist_array_get_size(node);
      for (std::uint32_t i = 0; i < size; ++i) pending.emplace_back(plist_array_get_item(node, i), depth + 1);
      continue;
    }
    forEachItem(node, [&](const char*, plist_t item) { pending.emplace_back(item, depth + 1); });
  }
  return true;
}

// The dictionary at the root of a property list; nothing when the bytes are not one,
// nest too deeply, or hold another type at the root.
Node parseDictionary(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > kLargestFile || !nestingWithinLimit(bytes)) return Node();
  plist_t parsed = nullptr;
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &parsed);
  Node root(parsed);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT || !treeWithinLimit(root.get())) return Node();
  return root;
}

// ---- files ------------------------------------------------------------------------

enum class FileState { Missing, Folder, Unreadable, Corrupt, Good };

struct LoadedFile {
  LoadedFile() = default;
  LoadedFile(LoadedFile&& other) noexcept
      : state(other.state),
        root(std::move(other.root)),
        fd(std::exchange(other.fd, -1)),
        info(other.info),
        error(other.error) {}
  LoadedFile& operator=(LoadedFile&&) = delete;
  ~LoadedFile() {
    if (fd >= 0) ::close(fd);
  }

  static LoadedFile unreadable(int error) {
    LoadedFile file;
    file.state = FileState::Unreadable;
    file.error = error;
    return file;
  }

  FileState state = FileState::Missing;
  Node root;    // the dictionary, when Good
  int fd = -1;  // the file that was read, kept open so that its inode stays unique
  struct stat info {};
  int error = 0;
};

LoadedFile load(const std::string& path) {
  LoadedFile file;
  // Not blocking: a FIFO put in the file's place is refused below, never waited on.
  file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (file.fd < 0) {
    file.error = errno;
    file.state = (errno == ENOENT || errno == ENOTDIR) ? FileState::Missing : FileState::Unreadable;
    return file;
  }
  if (::fstat(file.fd, &file.info) != 0) {
    file.error = errno;
    file.state = FileState::Unreadable;
    return file;
  }
  if (S_ISDIR(file.info.st_mode)) {
    file.state = FileState::Folder;
    return file;
  }
  if (!S_ISREG(file.info.st_mode)) {
    file.state = FileState::Corrupt;
    return file;
  }
  if (static_cast<std::size_t>(file.info.st_size) > kLargestFile) {
    file.error = EFBIG;
    file.state = FileState::Unreadable;
    return file;
  }
  std::string bytes;
  char buffer[16 * 1024];
  for (;;) {
    const ssize_t got = ::read(file.fd, buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      file.error = errno;
      file.state = FileState::Unreadable;
      return file;
    }
    bytes.append(buffer, static_cast<std::size_t>(got));
    if (bytes.size() > kLargestFile) {  // it grew while being read
      file.error = EFBIG;
      file.state = FileState::Unreadable;
      return file;
    }
  }
  file.root = parseDictionary(bytes);
  file.state = file.root ? FileState::Good : FileState::Corrupt;
  return file;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_mode == b.st_mode &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

std::string parentOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates the folder and its missing parents, private to the user (0700).
bool makeFolders(const std::string& folder) {
  std::size_t position = 0;
  for (;;) {
    position = folder.find('/', position + 1);
    const std::string prefix = folder.substr(0, position);
    if (!prefix.empty() && prefix.back() != '/' && ::mkdir(prefix.c_str(), 0700) != 0) {
      struct stat info {};
      if (errno != EEXIST || ::stat(prefix.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
    }
    if (position == std::string::npos) return true;
  }
}

// How long a write waits for another process's lock on a domain's file before it gives
// up and leaves the write for the next one. The child's own account can hold the lock
// for as long as it likes, and writes run on the main thread's tick, so the wait is kept
// far below a tick's budget; the writers of this system hold it for a few milliseconds.
constexpr auto kLongestLockWait = std::chrono::milliseconds(100);
constexpr auto kLockRetry = std::chrono::milliseconds(2);
constexpr const char* kLongestLockWaitText = "100 ms";

using Deadline = std::chrono::steady_clock::time_point;

Deadline lockDeadline() { return std::chrono::steady_clock::now() + kLongestLockWait; }

// An exclusive lock on the lock file beside a domain's file, held while alive; waits for
// another holder until `deadline` at most (then error() is EWOULDBLOCK).
class DomainLock {
 public:
  DomainLock(const std::string& path, Deadline deadline) {
    if (!makeFolders(parentOf(path))) {
      error_ = errno != 0 ? errno : ENOTDIR;
      return;
    }
    // Not blocking: a FIFO put in the lock file's place is never waited on either.
    fd_ = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd_ < 0) {
      error_ = errno;
      return;
    }
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      if (error == EINTR) continue;
      if (error != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
        error_ = error;
        ::close(fd_);
        fd_ = -1;
        return;
      }
      std::this_thread::sleep_for(kLockRetry);
    }
  }
  ~DomainLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  DomainLock(const DomainLock&) = delete;
  DomainLock& operator=(const DomainLock&) = delete;
  bool held() const { return fd_ >= 0; }
  int error() const { return error_; }

 private:
  int fd_ = -1;
  int error_ = 0;
};

void complainNotLocked(const std::string& path, int error) {
  if (error == EDEADLK) {
    complain("cannot write " + path + ": another write of it in this process has taken over " + kLongestLockWaitText +
             "; not written now");
  } else if (error == EWOULDBLOCK) {
    complain("cannot lock " + path + ".lock: another process has held it for " + kLongestLockWaitText +
             "; not written now");
  } else {
    complain("cannot lock " + path + ".lock: " + errorText(error));
  }
}

// A mutex with a bounded wait that polls try_lock. std::timed_mutex's timed wait goes
// through pthread_mutex_clocklock, which the thread sanitizer does not follow, so every
// unlock after it would be reported; writers hold this one only for one write.
class PollingTimedMutex {
 public:
  void lock() { mutex_.lock(); }
  bool try_lock() { return mutex_.try_lock(); }
  template <class Clock, class Duration>
  bool try_lock_until(const std::chrono::time_point<Clock, Duration>& deadline) {
    while (!mutex_.try_lock()) {
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  void unlock() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// What this process keeps of one domain's file beyond the life of a store (a suite is
// opened anew for each use): the values last read from it, which stand in for the file
// while it cannot be read, and the set() and removeObject() changes not written yet,
// which reads see and the next write of the file writes. Never destroyed; one per file
// used.
struct DomainMemory {
  PollingTimedMutex writing;  // one write of the file at a time in this process; taken before `mutex`
  std::mutex mutex;    // guards the rest
  PlistValue::Dictionary lastRead;
  struct Kept {
    std::optional<PlistValue> value;  // absent: removed
    std::uint64_t serial = 0;         // which keeping this is, so that a write drops only what it wrote
  };
  std::map<std::string, Kept> pending;
  std::uint64_t keptSoFar = 0;
};
using KeptChanges = std::map<std::string, DomainMemory::Kept>;

DomainMemory& memoryOf(const std::string& path) {
  static std::mutex registryMutex;
  static auto* registry = new std::map<std::string, std::unique_ptr<DomainMemory>>();
  std::lock_guard lock(registryMutex);
  auto& memory = (*registry)[path];
  if (!memory) memory = std::make_unique<DomainMemory>();
  return *memory;
}

// What one write came to.
enum class Outcome {
  Written,     // the file was replaced
  Unchanged,   // nothing to write
  Refused,     // a value that cannot be written (a text or key holding a NUL)
  NotWritten,  // the lock was not had, the file could not be read, or writing failed
};

using posix::writeAll;

// Writes `root` as XML to a temporary file beside `path`, flushes it and renames it over
// `path`. Returns the open descriptor of the new file, or -1 with errno set.
int replaceFile(const std::string& path, plist_t root) {
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(root, &xml, &length);
  if (xml == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  std::unique_ptr<char, Freed> owned(xml);
  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return -1;
  if (!writeAll(fd, xml, length) || ::fchmod(fd, 0600) != 0 || ::fsync(fd) != 0 ||
      ::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::close(fd);
    ::unlink(temporary.c_str());
    errno = error;
    return -1;
  }
  return fd;
}

// ---- names and paths --------------------------------------------------------------

bool validDomainName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos && !holdsNul(name);
}

std::optional<std::string> domainPath(const FileManager& files, const std::string& name) {
  if (!validDomainName(name)) return std::nullopt;
  if (name.starts_with("group.")) {
    auto container = files.containerPath(name);
    if (!container) return std::nullopt;
    return *container + "/Library/Preferences/" + name + ".plist";
  }
  return files.homeDirectory() + "/Library/Preferences/" + name + ".plist";
}

// A domain's file for a store that was given no file manager: in the home of the
// settings installed now (the standard store before main gives it its file, in tests).
std::optional<std::string> domainPathInCurrentHome(const std::string& name) {
  return domainPath(FileManager(Settings::current()), name);
}

std::mutex standardFileMutex;
UserDefaults::StandardFile standardFile;  // guarded by standardFileMutex; empty: the current home's

std::string standardFilePath() {
  {
    std::lock_guard lock(standardFileMutex);
    if (standardFile) return standardFile();
  }
  return domainPathInCurrentHome(Bundle::main().bundleIdentifier()).value_or(std::string());
}

// ---- the file-backed store --------------------------------------------------------

class FileUserDefaults final : public UserDefaults {
 public:
  // `files`, when given, names the domains that removePersistentDomain() removes; it
  // must outlive the store.
  explicit FileUserDefaults(std::function<std::string()> pathOf, const FileManager* files = nullptr)
      : pathOf_(std::move(pathOf)), files_(files) {}
  ~FileUserDefaults() override { forget(); }
  FileUserDefaults(const FileUserDefaults&) = delete;
  FileUserDefaults& operator=(const FileUserDefaults&) = delete;

  std::optional<PlistValue> object(const std::string& key) const override {
    std::lock_guard lock(mutex_);
    refresh();
    return visible(key);
  }

  std::optional<std::string> string(const std::string& key) const override {
    const auto value = object(key);
    if (!value) return std::nullopt;
    if (const auto* text = value->get<std::string>()) return *text;
    if (const auto* number = value->get<std::int64_t>()) return std::to_string(*number);
    if (const auto* real = value->get<double>()) {
      char buffer[64];
      const auto result = std::to_chars(buffer, buffer + sizeof buffer, *real);
      return std::string(buffer, result.ptr);
    }
    return std::nullopt;
  }

  std::optional<Data> data(const std::string& key) const override {
    const auto value = object(key);
    if (const auto* bytes = value ? value->get<Data>() : nullptr) return *bytes;
    return std::nullopt;
  }

  bool boolean(const std::string& key) const override {
    const auto value = object(key);
    if (!value) return false;
    if (const auto* flag = value->get<bool>()) return *flag;
    if (const auto* number = value->get<std::int64_t>()) return *number != 0;
    if (const auto* real = value->get<double>()) return *real != 0 && !std::isnan(*real);
    if (const auto* text = value->get<std::string>()) {
      std::string lower;
      for (const char c : *text) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
      return lower == "yes" || lower == "true" || lower == "1";
    }
    return false;
  }

  std::int64_t integer(const std::string& key) const override {
    const auto value = object(key);
    if (!value) return 0;
    if (const auto* number = value->get<std::int64_t>()) return *number;
    if (const auto* flag = value->get<bool>()) return *flag ? 1 : 0;
    if (const auto* real = value->get<double>()) {
      if (std::isnan(*real)) return 0;
      if (*real >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
      if (*real <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
      return static_cast<std::int64_t>(*real);
    }
    if (const auto* text = value->get<std::string>()) {
      std::string_view digits = *text;
      if (digits.starts_with('+')) digits.remove_prefix(1);
      if (digits.empty() || digits.front() == '+' || (digits.front() == '-' && digits.size() == 1)) return 0;
      std::int64_t parsed = 0;
      const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), parsed);
      if (result.ec != std::errc() || result.ptr != digits.data() + digits.size()) return 0;
      return parsed;
    }
    return 0;
  }

  // A value that cannot be written now waits in memory for the next write (see
  // DomainMemory); one that can never be written (a NUL) is dropped.
  void set(const std::string& key, PlistValue value) override {
    write(
        key,
        [&value](std::optional<PlistValue>& current) {
          current = value;  // a copy: the change runs again when the value is kept for later
          return true;
        },
        true);
  }

  void removeObject(const std::string& key) override {
    write(
        key,
        [](std::optional<PlistValue>& current) {
          current.reset();
          return true;
        },
        true);
  }

  bool update(const std::string& key, const std::function<bool(std::optional<PlistValue>&)>& change) override {
    return write(key, change, false);
  }

  bool synchronize() override {
    std::lock_guard lock(mutex_);
    const std::string path = currentPath();
    DomainMemory& memory = memoryOf(path);
    if (pendingIn(memory)) return commit(path, memory, std::string(), nullptr) == Outcome::Written;
    refresh();
    return true;
  }

  void removePersistentDomain(const std::string& domainName) override {
    const auto target = domainName == Bundle::main().bundleIdentifier() ? std::optional(standardFilePath())
                        : files_ != nullptr                             ? domainPath(*files_, domainName)
                                                                        : domainPathInCurrentHome(domainName);
    if (!target || target->empty()) return;
    std::lock_guard lock(mutex_);
    DomainMemory& memory = memoryOf(*target);
    // Removing is one step that needs no re-read: when another writer holds the lock past
    // the wait, the file goes all the same.
    const Deadline deadline = lockDeadline();
    std::unique_lock writing(memory.writing, deadline);
    DomainLock domainLock(*target, deadline);
    struct stat info {};
    if (::lstat(target->c_str(), &info) == 0) {
      if (S_ISDIR(info.st_mode)) {
        complain("cannot remove " + *target + ": it is a folder");
      } else if (::unlink(target->c_str()) != 0) {
        complain("cannot remove " + *target + ": " + errorText(errno));
      }
    }
    {
      std::lock_guard memoryLock(memory.mutex);
      memory.pending.clear();
      memory.lastRead.clear();
    }
    if (*target == currentPath()) forget();
  }

  std::string path() const override {
    std::lock_guard lock(mutex_);
    return currentPath();
  }

 private:
  using Change = std::function<bool(std::optional<PlistValue>&)>;

  // The path now (the standard domain follows HOME); a change drops what was read.
  std::string currentPath() const {
    std::string now = pathOf_();
    if (now != path_) {
      forget();
      path_ = now;
    }
    return now;
  }

  void forget() const {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    seenValid_ = false;
    cache_.clear();
  }

  // A change not written yet, else what was read.
  std::optional<PlistValue> visible(const std::string& key) const {
    {
      DomainMemory& memory = memoryOf(path_);
      std::lock_guard lock(memory.mutex);
      if (const auto found = memory.pending.find(key); found != memory.pending.end()) return found->second.value;
    }
    const auto found = cache_.find(key);
    if (found == cache_.end()) return std::nullopt;
    return found->second;
  }

  // Drops the kept changes that are now on disk (not any kept since).
  static void forgetWritten(DomainMemory& memory, const KeptChanges& written) {
    std::lock_guard lock(memory.mutex);
    for (const auto& [key, kept] : written) {
      const auto found = memory.pending.find(key);
      if (found != memory.pending.end() && found->second.serial == kept.serial) memory.pending.erase(found);
    }
  }

  static bool pendingIn(DomainMemory& memory) {
    std::lock_guard lock(memory.mutex);
    return !memory.pending.empty();
  }

  // Re-reads the file when it is not the one read last (another inode, size or time).
  // The last file's descriptor stays open, so its inode number cannot be reused by a
  // newer file while we compare against it.
  void refresh() const {
    const std::string path = currentPath();
    struct stat now {};
    if (::stat(path.c_str(), &now) != 0) {
      const int error = errno;
      forget();
      if (error == ENOENT || error == ENOTDIR) {
        adopt(LoadedFile());  // missing: an empty domain
      } else if (std::exchange(statError_, error) != error) {
        complain("cannot read " + path + ": " + errorText(error) + standIn(adopt(LoadedFile::unreadable(error))));
      } else {
        adopt(LoadedFile::unreadable(error));
      }
      return;
    }
    statError_ = 0;
    if (seenValid_ && sameFile(now, seen_)) return;
    LoadedFile file = load(path);
    if (file.fd < 0) file.info = now;  // unreadable: remember it so as not to retry on every read
    const FileState state = file.state;
    const int error = file.error;
    const bool lastValues = adopt(std::move(file));
    if (state == FileState::Folder) complain(path + " is a folder" + standIn(lastValues, "; reading it as empty"));
    if (state == FileState::Corrupt) {
      complain(path + " is not a readable property list" + standIn(lastValues, "; reading it as empty"));
    }
    if (state == FileState::Unreadable) complain("cannot read " + path + ": " + errorText(error) + standIn(lastValues));
  }

  static std::string standIn(bool lastValues, const char* otherwise = "") {
    return lastValues ? "; using the values last read from it" : otherwise;
  }

  // Takes `file` as what was read. One that cannot be read stands in the values last read
  // from it; returns whether there were any.
  bool adopt(LoadedFile file) const {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(file.fd, -1);
    seen_ = file.info;
    seenValid_ = file.state != FileState::Missing;
    DomainMemory& memory = memoryOf(path_);
    std::lock_guard lock(memory.mutex);
    if (file.state == FileState::Good || file.state == FileState::Missing) {
      cache_ = toDictionary(file.root.get());
      memory.lastRead = cache_;
      return false;
    }
    cache_ = memory.lastRead;
    return !cache_.empty();
  }

  // One write of `key`; a value not written is kept for the next write when `keep`.
  // Returns false when nothing was written and something was to be.
  bool write(const std::string& key, const Change& change, bool keep) {
    std::lock_guard lock(mutex_);
    const std::string path = currentPath();
    if (holdsNul(key)) {
      complain("a key holding a NUL cannot be stored in " + path);
      return false;
    }
    DomainMemory& memory = memoryOf(path);
    const Outcome outcome = commit(path, memory, key, &change);
    if (outcome == Outcome::NotWritten && keep) keepForLater(memory, key, change);
    return outcome == Outcome::Written || outcome == Outcome::Unchanged;
  }

  void keepForLater(DomainMemory& memory, const std::string& key, const Change& change) {
    std::optional<PlistValue> value = visible(key);
    if (!change(value)) return;
    if (value && !toNode(*value)) {
      complain("a text or key holding a NUL cannot be stored under \"" + key + "\" in " + path_);
      return;
    }
    std::lock_guard lock(memory.mutex);
    memory.pending.insert_or_assign(key, DomainMemory::Kept{std::move(value), ++memory.keptSoFar});
  }

  // Under the file lock: re-reads the file, applies the changes kept from earlier writes
  // and `change` of `key` (when given), and replaces the file. A file that could not be
  // read is never replaced: what it held would be lost.
  Outcome commit(const std::string& path, DomainMemory& memory, const std::string& key, const Change* change) {
    const Deadline deadline = lockDeadline();
    std::unique_lock writing(memory.writing, deadline);
    if (!writing.owns_lock()) {
      complainNotLocked(path, EDEADLK);
      return Outcome::NotWritten;
    }
    DomainLock domainLock(path, deadline);
    if (!domainLock.held()) {
      complainNotLocked(path, domainLock.error());
      return Outcome::NotWritten;
    }
    LoadedFile file = load(path);
    if (file.state == FileState::Folder || file.state == FileState::Corrupt || file.state == FileState::Unreadable) {
      complain("cannot write " + path +
               (file.state == FileState::Folder ? ": a folder is in the way"
                                                : ": it could not be read, and is left as it is"));
      adopt(std::move(file));
      return Outcome::NotWritten;
    }
    Node root = file.state == FileState::Good ? std::move(file.root) : Node(plist_new_dict());
    KeptChanges pending;
    {
      std::lock_guard lock(memory.mutex);
      pending = memory.pending;
    }
    for (const auto& [pendingKey, kept] : pending) store(root.get(), pendingKey, kept.value);  // checked when kept
    const Outcome changed = change != nullptr ? apply(root.get(), key, *change) : Outcome::Unchanged;
    if (changed == Outcome::Refused) return Outcome::Refused;
    if (pending.empty() && changed != Outcome::Written) {
      file.root = std::move(root);
      adopt(std::move(file));
      return Outcome::Unchanged;
    }
    const int fd = replaceFile(path, root.get());
    if (fd < 0) {
      complain("cannot write " + path + ": " + errorText(errno));
      return Outcome::NotWritten;
    }
    forgetWritten(memory, pending);
    LoadedFile written;
    written.state = FileState::Good;
    written.fd = fd;
    written.root = std::move(root);
    ::fstat(fd, &written.info);
    adopt(std::move(written));
    return Outcome::Written;
  }

  // Runs `change` on the entry of `root` under `key`: Written when the entry changed.
  Outcome apply(plist_t root, const std::string& key, const Change& change) {
    plist_t existing = plist_dict_get_item(root, key.c_str());
    std::optional<PlistValue> value;
    if (existing != nullptr) value = toValue(existing);
    if (!change(value) || (!value && existing == nullptr)) return Outcome::Unchanged;
    if (!store(root, key, value)) {
      complain("a text or key holding a NUL cannot be stored under \"" + key + "\" in " + path_);
      return Outcome::Refused;
    }
    return Outcome::Written;
  }

  // Puts `value` under `key` in `root` (an absent value removes the entry); false when it
  // cannot be written.
  static bool store(plist_t root, const std::string& key, const std::optional<PlistValue>& value) {
    if (!value) {
      plist_dict_remove_item(root, key.c_str());
      return true;
    }
    Node node = toNode(*value);
    if (!node) return false;
    plist_dict_set_item(root, key.c_str(), node.release());
    return true;
  }

  std::function<std::string()> pathOf_;
  const FileManager* files_;
  mutable std::mutex mutex_;
  mutable std::string path_;
  mutable int fd_ = -1;
  mutable struct stat seen_ {};
  mutable bool seenValid_ = false;
  mutable int statError_ = 0;  // why the file could not be looked at last, so as to say it once
  mutable PlistValue::Dictionary cache_;
};

}  // namespace

bool UserDefaults::update(const std::string& key, const std::function<bool(std::optional<PlistValue>&)>& change) {
  auto value = object(key);
  if (!change(value)) return true;
  if (value) {
    set(key, std::move(*value));
  } else {
    removeObject(key);
  }
  return true;
}

UserDefaults& UserDefaults::standard() {
  // Never destroyed, so that code running at exit can still use it.
  static auto* store = new FileUserDefaults(standardFilePath);
  return *store;
}

UserDefaults::StandardFile UserDefaults::installStandardFile(StandardFile file) {
  std::lock_guard lock(standardFileMutex);
  return std::exchange(standardFile, std::move(file));
}

std::string UserDefaults::standardPath(const FileManager& files) {
  return domainPath(files, Bundle::main().bundleIdentifier()).value_or(std::string());
}

std::shared_ptr<UserDefaults> UserDefaults::suite(const FileManager& files, const std::string& name) {
  auto path = domainPath(files, name);
  if (!path) return nullptr;
  return std::make_shared<FileUserDefaults>([path = std::move(*path)] { return path; }, &files);
}

std::shared_ptr<UserDefaults> UserDefaults::atPath(std::string path) {
  return std::make_shared<FileUserDefaults>([path = std::move(path)] { return path; });
}

namespace propertylist {

std::optional<PlistValue::Dictionary> read(std::string_view bytes) {
  const Node root = parseDictionary(bytes);
  if (!root) return std::nullopt;
  return toDictionary(root.get());
}

std::optional<std::string> writeXML(const PlistValue::Dictionary& dictionary) {
  const Node root = toNode(PlistValue(dictionary));
  if (!root) return std::nullopt;
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(root.get(), &xml, &length);
  if (xml == nullptr) return std::nullopt;
  std::unique_ptr<char, Freed> owned(xml);
  return std::string(xml, length);
}

}  // namespace propertylist

}  // namespace platform
