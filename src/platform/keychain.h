#pragma once
// Generic-password items: one block of data per account name, with the platform's
// status codes. The Linux store keeps them in a property-list file, mode 0600, in a
// 0700 folder: <home>/Library/Keychains/login.keychain.plist, in the home of the file
// manager it is built over.
// Every store is safe to use from several threads; the file store also from several
// processes (file lock, atomic rewrite).
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/data.h"
#include "platform/file_manager.h"

namespace platform {

using OSStatus = std::int32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecIO = -36;               // the store could not be read or written
inline constexpr OSStatus errSecParam = -50;            // an account name holding a NUL
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;

class KeychainStore {
 public:
  virtual ~KeychainStore() = default;

  // Removes the account's item: errSecSuccess, or errSecItemNotFound when there is none.
  virtual OSStatus deleteItem(const std::string& account) = 0;
  // Adds an item: errSecSuccess, or errSecDuplicateItem when the account has one (the
  // stored data is then left as it was).
  virtual OSStatus add(const std::string& account, const Data& value) = 0;
  // Copies the account's data into `value`: errSecSuccess, or errSecItemNotFound
  // (`value` untouched).
  virtual OSStatus copyMatching(const std::string& account, Data& value) = 0;

  // The process-wide store: the one installed last with setShared() (main installs a
  // FileKeychainStore over its file manager); until then, and after setShared(nullptr),
  // a MemoryKeychainStore of its own.
  static std::shared_ptr<KeychainStore> shared();
  // Replaces the process-wide store and returns the one before; nullptr puts the
  // memory store back.
  static std::shared_ptr<KeychainStore> setShared(std::shared_ptr<KeychainStore> store);
};

class FileKeychainStore final : public KeychainStore {
 public:
  // The default file in the home of `files`.
  explicit FileKeychainStore(const FileManager& files);
  // A fixed file.
  explicit FileKeychainStore(std::string path);

  OSStatus deleteItem(const std::string& account) override;
  OSStatus add(const std::string& account, const Data& value) override;
  OSStatus copyMatching(const std::string& account, Data& value) override;

  // The file in use.
  const std::string& path() const { return path_; }
  // <home of files>/Library/Keychains/login.keychain.plist.
  static std::string defaultPath(const FileManager& files);

 private:
  std::string path_;
};

// Items in memory only.
class MemoryKeychainStore : public KeychainStore {
 public:
  OSStatus deleteItem(const std::string& account) override;
  OSStatus add(const std::string& account, const Data& value) override;
  OSStatus copyMatching(const std::string& account, Data& value) override;

 private:
  std::mutex mutex_;
  std::map<std::string, Data> items_;
};

}  // namespace platform
