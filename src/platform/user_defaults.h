#pragma once
// User defaults kept as property-list files, in the home of a file manager:
//   the standard domain  -> <home>/Library/Preferences/<bundle identifier>.plist
//   a suite "group.X"    -> <home>/Library/Group Containers/group.X/Library/Preferences/group.X.plist
//   any other suite name -> <home>/Library/Preferences/<name>.plist
// Every read sees the file as another process last wrote it (reloaded when it changed);
// reads take no lock. Every write takes an exclusive file lock, waiting at most 100 ms
// for another process that holds it, re-reads, changes one entry and replaces the file
// atomically. A missing file reads as an empty domain. A file that cannot be read (corrupt,
// over 16 MiB or the limits of propertylist, unreadable, a folder or FIFO in its place)
// reads as the values this process last read from it (empty when none) and is never
// rewritten: what it held would be lost. A write that is not made (the lock not had in
// time, such a file, a failing disk) is reported on standard error; a set() or
// removeObject() then waits in memory, seen by every read of the file in this process,
// and is written by the next write of it (synchronize() tries at once). Files are written
// as XML property lists, mode 0600; XML and binary files are read. Safe to use from
// several threads and processes.
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/data.h"

namespace platform {

class FileManager;

// One property-list value.
class PlistValue {
 public:
  using Array = std::vector<PlistValue>;
  using Dictionary = std::map<std::string, PlistValue>;
  using Storage = std::variant<std::string, Data, bool, std::int64_t, double, Array, Dictionary>;

  PlistValue(std::string v) : storage_(std::move(v)) {}
  PlistValue(const char* v) : storage_(std::string(v)) {}
  PlistValue(std::string_view v) : storage_(std::string(v)) {}
  PlistValue(Data v) : storage_(std::move(v)) {}
  PlistValue(bool v) : storage_(v) {}
  // Any integer type but bool is kept as a signed 64-bit integer.
  template <std::integral T>
    requires(!std::same_as<T, bool>)
  PlistValue(T v) : storage_(static_cast<std::int64_t>(v)) {}
  PlistValue(double v) : storage_(v) {}
  PlistValue(Array v) : storage_(std::move(v)) {}
  PlistValue(Dictionary v) : storage_(std::move(v)) {}

  const Storage& storage() const { return storage_; }
  template <class T>
  bool is() const {
    return std::holds_alternative<T>(storage_);
  }
  template <class T>
  const T* get() const {
    return std::get_if<T>(&storage_);
  }
  bool operator==(const PlistValue&) const = default;

 private:
  Storage storage_;
};

// The reader and writer behind the file stores, on bytes (for tests and fuzzing).
namespace propertylist {
// The deepest nesting of arrays and dictionaries read; the root dictionary is level 1.
inline constexpr std::size_t kDeepestNesting = 512;
// The most nodes (values and keys) a property list may come to, and the most bytes of
// text and data. libplist builds a copy of a binary file's object for every reference to
// it, so a few hundred bytes of arrays sharing their items could come to gigabytes: such
// a file is measured, each shared object counted once per reference, and refused before
// libplist reads it. Preferences hold a few hundred values at most; reading the most
// nodes allowed costs libplist about a quarter of a second and 20 MiB.
inline constexpr std::size_t kMostNodes = 100'000;
inline constexpr std::size_t kMostExpandedBytes = 16u << 20;
// The dictionary at the root of an XML or binary property list; none when the bytes are
// not a property list, its root is not a dictionary, it nests deeper than the limit or
// it expands beyond the limits above.
// Values of other types (dates, UIDs) are left out.
std::optional<PlistValue::Dictionary> read(std::string_view bytes);
// The XML property list the stores write; none when a value cannot be written (a text
// or key holding a NUL).
std::optional<std::string> writeXML(const PlistValue::Dictionary& dictionary);
}  // namespace propertylist

class UserDefaults {
 public:
  virtual ~UserDefaults() = default;

  // The domain named by the main bundle's identifier ("so.velmorhome.mopet.agent"), in
  // the file installStandardFile() gave last: main gives the one in the home of the file
  // manager it built (standardPath()); until a file is given (in tests), the domain's
  // file in the home of Settings::current(), at each use.
  static UserDefaults& standard();
  // Where the standard store's file is, asked at each use; empty, as above. Installs
  // `file` and returns the one before, so that a test can give the standard store a
  // file of its own and put the one before back.
  using StandardFile = std::function<std::string()>;
  static StandardFile installStandardFile(StandardFile file);
  // The standard domain's file in the home of `files`.
  static std::string standardPath(const FileManager& files);
  // A named suite in the home of `files` (which must outlive the store); nullptr when
  // the name cannot name a domain (empty, or holding "/" or a NUL). A new object on
  // every call; objects over the same file see each other.
  static std::shared_ptr<UserDefaults> suite(const FileManager& files, const std::string& name);
  // A store over the property-list file at `path` (as the suites use, for other stores
  // and tests).
  static std::shared_ptr<UserDefaults> atPath(std::string path);

  // The object under `key`, absent when there is none.
  virtual std::optional<PlistValue> object(const std::string& key) const = 0;
  // Text under `key`; numbers are given as their decimal text; anything else: absent.
  virtual std::optional<std::string> string(const std::string& key) const = 0;
  // Data under `key`; absent for any other type.
  virtual std::optional<Data> data(const std::string& key) const = 0;
  // A boolean, a non-zero number, or the texts "YES"/"true"/"1" (any case) are true;
  // anything else, absent included, is false.
  virtual bool boolean(const std::string& key) const = 0;
  // An integer, a real (truncated toward zero, NaN 0, saturated beyond the range), a
  // boolean (0 or 1) or a text of decimal digits with an optional sign; anything else 0.
  virtual std::int64_t integer(const std::string& key) const = 0;

  // A text or key holding a NUL cannot be stored: such a set() changes nothing and says
  // so on standard error. A write that fails says so too, and its value waits in memory
  // for the next write of the file (see the top).
  virtual void set(const std::string& key, PlistValue value) = 0;
  virtual void removeObject(const std::string& key) = 0;
  // Read-modify-write of one entry: `change` gets the current value (absent when none),
  // edits it in place (reset() removes the entry) and returns whether to write. The file
  // stores do this under the file lock, so concurrent updates from threads and
  // processes are never lost; `change` must not call back into this store. Returns
  // false when the write failed (the lock not had within its wait, a file that cannot be
  // read, a failing disk, a NUL); the change is then not kept, and is the caller's to make
  // again (values set() before and waiting are still written by the next write). The
  // default (for fakes) is object() then set().
  virtual bool update(const std::string& key, const std::function<bool(std::optional<PlistValue>&)>& change);
  // Writes the values that wait in memory, if any (false when they still cannot be
  // written); otherwise only re-reads and returns true.
  virtual bool synchronize() = 0;
  // Removes every entry of the named domain (its file): the main bundle's identifier
  // names the standard domain, any other name the suite of that name (in the home of
  // the file manager a suite was opened with; for other stores, the current home).
  virtual void removePersistentDomain(const std::string& domainName) = 0;

  // The property-list file behind this store.
  virtual std::string path() const = 0;
};

}  // namespace platform
