#pragma once
// User defaults kept as property-list files:
//   the standard domain  -> $HOME/Library/Preferences/<bundle identifier>.plist
//   a suite "group.X"    -> $HOME/Library/Group Containers/group.X/Library/Preferences/group.X.plist
//   any other suite name -> $HOME/Library/Preferences/<name>.plist
// Every read sees the file as another process last wrote it (reloaded when it changed);
// every write takes an exclusive file lock, re-reads, changes one entry and replaces the
// file atomically. A missing, corrupt or unreadable file reads as an empty domain, and
// the next write replaces it whole. Safe to use from several threads.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/data.h"

namespace platform {

// One property-list value.
class PlistValue {
 public:
  using Array = std::vector<PlistValue>;
  using Dictionary = std::map<std::string, PlistValue>;
  using Storage = std::variant<std::string, Data, bool, std::int64_t, double, Array, Dictionary>;

  PlistValue(std::string v) : storage_(std::move(v)) {}
  PlistValue(const char* v) : storage_(std::string(v)) {}
  PlistValue(Data v) : storage_(std::move(v)) {}
  PlistValue(bool v) : storage_(v) {}
  PlistValue(std::int64_t v) : storage_(v) {}
  PlistValue(int v) : storage_(std::int64_t{v}) {}
  PlistValue(double v) : storage_(v) {}
  PlistValue(Array v) : storage_(std::move(v)) {}
  PlistValue(Dictionary v) : storage_(std::move(v)) {}

  const Storage& storage() const { return storage_; }
  template <class T> bool is() const { return std::holds_alternative<T>(storage_); }
  template <class T> const T* get() const { return std::get_if<T>(&storage_); }
  bool operator==(const PlistValue&) const = default;

 private:
  Storage storage_;
};

class UserDefaults {
 public:
  virtual ~UserDefaults() = default;

  // The domain named by the main bundle's identifier ("so.velmorhome.mopet.agent").
  static UserDefaults& standard();
  // A named suite; nullptr when the name cannot name a domain (empty, or holding "/").
  static std::shared_ptr<UserDefaults> suite(const std::string& name);

  // The object under `key`, absent when there is none.
  virtual std::optional<PlistValue> object(const std::string& key) const = 0;
  // Text under `key`; numbers are given as their decimal text; anything else: absent.
  virtual std::optional<std::string> string(const std::string& key) const = 0;
  // Data under `key`; absent for any other type.
  virtual std::optional<Data> data(const std::string& key) const = 0;
  // A boolean, a non-zero number, or the texts "YES"/"true"/"1" (any case) are true;
  // anything else, absent included, is false.
  virtual bool boolean(const std::string& key) const = 0;
  // An integer, a real (truncated), a boolean or a text of digits; anything else 0.
  virtual std::int64_t integer(const std::string& key) const = 0;

  virtual void set(const std::string& key, PlistValue value) = 0;
  virtual void removeObject(const std::string& key) = 0;
  // Writes are already on disk when set() returns; this only re-reads. Returns true.
  virtual bool synchronize() = 0;
  // Removes every entry of the named domain (its file).
  virtual void removePersistentDomain(const std::string& domainName) = 0;

  // The property-list file behind this store.
  virtual std::string path() const = 0;
};

}  // namespace platform
