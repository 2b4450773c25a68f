#include "platform/keychain.h"

#include <utility>

#include "platform/shared_slot.h"
#include "platform/user_defaults.h"

namespace platform {
namespace {

detail::SharedSlot<KeychainStore>& sharedStore() {
  static auto* store =
      new detail::SharedSlot<KeychainStore>(std::make_shared<MemoryKeychainStore>());  // lives to the end
  return *store;
}

bool holdsNul(const std::string& text) { return text.find('\0') != std::string::npos; }

// The items live in a property-list dictionary, account -> data, written through the
// file store of the user defaults (lock file, atomic rewrite, mode 0600, missing
// folders made 0700).
std::shared_ptr<UserDefaults> openFile(const std::string& path) { return UserDefaults::atPath(path); }

}  // namespace

std::shared_ptr<KeychainStore> KeychainStore::shared() { return sharedStore().get(); }

std::shared_ptr<KeychainStore> KeychainStore::setShared(std::shared_ptr<KeychainStore> store) {
  if (!store) store = std::make_shared<MemoryKeychainStore>();
  return sharedStore().exchange(std::move(store));
}

FileKeychainStore::FileKeychainStore(const FileManager& files) : path_(defaultPath(files)) {}

FileKeychainStore::FileKeychainStore(std::string path) : path_(std::move(path)) {}

std::string FileKeychainStore::defaultPath(const FileManager& files) {
  return files.homeDirectory() + "/Library/Keychains/login.keychain.plist";
}

OSStatus FileKeychainStore::deleteItem(const std::string& account) {
  if (holdsNul(account)) return errSecParam;
  bool found = false;
  const bool written = openFile(path())->update(account, [&found](std::optional<PlistValue>& value) {
    found = value.has_value();
    value.reset();
    return found;
  });
  if (!written) return errSecIO;
  return found ? errSecSuccess : errSecItemNotFound;
}

OSStatus FileKeychainStore::add(const std::string& account, const Data& data) {
  if (holdsNul(account)) return errSecParam;
  bool duplicate = false;
  const bool written = openFile(path())->update(account, [&](std::optional<PlistValue>& value) {
    duplicate = value.has_value();
    if (!duplicate) value = PlistValue(data);
    return !duplicate;
  });
  if (!written) return errSecIO;
  return duplicate ? errSecDuplicateItem : errSecSuccess;
}

OSStatus FileKeychainStore::copyMatching(const std::string& account, Data& value) {
  if (holdsNul(account)) return errSecParam;
  auto stored = openFile(path())->data(account);
  if (!stored) return errSecItemNotFound;
  value = std::move(*stored);
  return errSecSuccess;
}

OSStatus MemoryKeychainStore::deleteItem(const std::string& account) {
  std::lock_guard lock(mutex_);
  return items_.erase(account) > 0 ? errSecSuccess : errSecItemNotFound;
}

OSStatus MemoryKeychainStore::add(const std::string& account, const Data& value) {
  std::lock_guard lock(mutex_);
  return items_.try_emplace(account, value).second ? errSecSuccess : errSecDuplicateItem;
}

OSStatus MemoryKeychainStore::copyMatching(const std::string& account, Data& value) {
  std::lock_guard lock(mutex_);
  const auto found = items_.find(account);
  if (found == items_.end()) return errSecItemNotFound;
  value = found->second;
  return errSecSuccess;
}

}  // namespace platform
