#pragma once
// The agent's small persistent state about the child and this device, over the
// agent's standard user defaults (read and written) and the app-group suite (from
// which only the bearer token is read).
#include <optional>
#include <string>

#include "networks/me_model.h"
#include "networks/replies.h"
#include "platform/user_defaults.h"

namespace networks {

// Exactly one instance exists: main makes it over the store it chooses (make()), and
// shared() returns it. The initialiser is private, so no other instance can be made,
// not even as part of a subclass. The operations are virtual, as in the method table
// they come from. Tests make it over the standard store (its file one of the test's
// own, or in a temporary home), and stand for a restart of the process by clearing `me`.
class ChildUser {
 public:
  // Makes the one instance over `store` and returns it (safely from several threads);
  // once it exists, every later call returns it as it is. Never released.
  static ChildUser& make(platform::UserDefaults& store);
  // The instance make() made. Asking before it was made ends the process: nothing in the
  // agent may run before main has built what it uses.
  static ChildUser& shared();
  ChildUser(const ChildUser&) = delete;
  ChildUser& operator=(const ChildUser&) = delete;
  virtual ~ChildUser() = default;

  platform::UserDefaults& userDefault;  // the store of every entry but the token
  std::optional<MeModel> me;            // in memory only

  // The device's identifier, made and stored under "CHILD_UUID" on first read.
  virtual std::string uniqueId();
  // Stores the login record as JSON data under "ACCESS_TOKEN", after printing
  // "ACCESS_TOKEN: " and the token masked (maskedToken); none removes it.
  virtual void save(const std::optional<DeviceLoginModel>& tokenModel);
  // Whether "ACCESS_TOKEN" holds data that decodes as a login record.
  virtual bool tokenExist() const;
  // "sharedChildToken" of the app-group suite, or empty text.
  virtual std::string token() const;

  virtual bool isInstalledProfile() const;
  virtual bool isSyncedApps() const;
  virtual bool isScreentimeEnabled() const;
  virtual void installProfile(bool installed);
  virtual void setSyncApps(bool synced);
  virtual void setScreentimeEnabled(bool enabled);

  virtual void removeUniqueId();
  // Removes the login record and the identifier, and clears the profile flag.
  virtual void removeChildData();
  virtual void setMe(MeModel model);

 private:
  explicit ChildUser(platform::UserDefaults& store);

  std::string accessTokenKey = "ACCESS_TOKEN";
  std::string uniqeIdKey = "CHILD_UUID";
  std::string installProfileKey = "INSTALLED_PROFILE";
  std::string enabledScreentimeKey = "ENABLED_SCREENTIME";
  std::string schoolFamilyAPI = "SCHOOL_FAMILYAPI";  // a key name nothing reads
  std::string syncedApps = "SYNCED_APPS";
};

}  // namespace networks
