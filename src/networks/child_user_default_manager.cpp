#include "networks/child_user_default_manager.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "coding/codable.h"
#include "networks/print_line.h"
#include "networks/shared_settings.h"
#include "networks/token_mask.h"
#include "networks/uuid.h"

namespace networks {

namespace {

// Never destroyed, so that code running at exit can still use it.
std::atomic<ChildUser*> instance{nullptr};
std::mutex making;

}  // namespace

ChildUser& ChildUser::make(platform::UserDefaults& store) {
  std::lock_guard lock(making);
  if (auto* made = instance.load()) return *made;
  auto* made = new ChildUser(store);
  instance.store(made);
  return *made;
}

ChildUser& ChildUser::shared() {
  auto* made = instance.load();
  if (made == nullptr) {
    std::fputs("ChildUser::shared() was asked for before main made the child state\n", stderr);
    std::abort();
  }
  return *made;
}

ChildUser::ChildUser(platform::UserDefaults& store) : userDefault(store) {}

std::string ChildUser::uniqueId() {
  if (auto stored = userDefault.string(uniqeIdKey)) return *stored;
  std::string made = createUUIDString();
  userDefault.set(uniqeIdKey, made);
  return made;
}

void ChildUser::save(const std::optional<DeviceLoginModel>& tokenModel) {
  if (!tokenModel) {
    userDefault.removeObject(accessTokenKey);
    return;
  }
  printLine("ACCESS_TOKEN: " + maskedToken(tokenModel->token));
  if (auto encoded = coding::JSONEncoder().encode(*tokenModel))
    userDefault.set(accessTokenKey, platform::toData(*encoded));
}

bool ChildUser::tokenExist() const {
  const auto data = userDefault.data(accessTokenKey);
  if (!data) return false;
  return coding::JSONDecoder().decode<DeviceLoginModel>(*data).has_value();
}

std::string ChildUser::token() const { return storedChildToken().value_or(""); }

bool ChildUser::isInstalledProfile() const { return userDefault.boolean(installProfileKey); }
bool ChildUser::isSyncedApps() const { return userDefault.boolean(syncedApps); }
bool ChildUser::isScreentimeEnabled() const { return userDefault.boolean(enabledScreentimeKey); }
void ChildUser::installProfile(bool installed) { userDefault.set(installProfileKey, installed); }
void ChildUser::setSyncApps(bool synced) { userDefault.set(syncedApps, synced); }
void ChildUser::setScreentimeEnabled(bool enabled) { userDefault.set(enabledScreentimeKey, enabled); }

void ChildUser::removeUniqueId() { userDefault.removeObject(uniqeIdKey); }

void ChildUser::removeChildData() {
  save(std::nullopt);
  installProfile(false);
  removeUniqueId();
}

void ChildUser::setMe(MeModel model) { me = std::move(model); }

}  // namespace networks
