#include "networks/keychain_source.h"

#include "networks/uuid.h"

namespace networks {

platform::OSStatus KeyChain::save(const std::string& key, const platform::Data& data) {
  auto store = platform::KeychainStore::shared();
  store->deleteItem(key);  // its status does not matter: there may be no item
  return store->add(key, data);
}

std::optional<platform::Data> KeyChain::load(const std::string& key) {
  platform::Data value;
  if (platform::KeychainStore::shared()->copyMatching(key, value) != platform::errSecSuccess) return std::nullopt;
  return value;
}

std::string KeyChain::createUniqueID() { return createUUIDString(); }

}  // namespace networks
