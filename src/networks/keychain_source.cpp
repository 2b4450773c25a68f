#include "networks/keychain_source.h"

#include "networks/uuid.h"

namespace networks {

KeyChain& KeyChain::shared() {
  static auto* instance = new KeyChain;  // never destroyed, as the other shared objects
  return *instance;
}

platform::OSStatus KeyChain::save(const std::string& key, const platform::Data& data) const {
  auto store = platform::KeychainStore::shared();
  store->deleteItem(key);  // its status does not matter: there may be no item
  return store->add(key, data);
}

std::optional<platform::Data> KeyChain::load(const std::string& key) const {
  platform::Data value;
  if (platform::KeychainStore::shared()->copyMatching(key, value) != platform::errSecSuccess) return std::nullopt;
  return value;
}

std::string KeyChain::createUniqueID() const { return createUUIDString(); }

}  // namespace networks
