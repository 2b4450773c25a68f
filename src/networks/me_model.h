#pragma once
// The child account record as the service describes it: the child, the device the
// agent runs on (with its location settings) and the child's profile switches.
// Every key equals its field's name exactly ("parentID", "agentID", "AppBlocker").
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "coding/codable.h"

namespace networks {

struct LocationConfigs {
  std::optional<std::int64_t> interval;
  std::optional<std::int64_t> distance;

  static constexpr const char* typeName = "LocationConfigs";
  static constexpr auto codingKeys() {
    return std::tuple{coding::field("interval", &LocationConfigs::interval),
                      coding::field("distance", &LocationConfigs::distance)};
  }
};

struct Device {
  std::optional<std::string> id;
  std::optional<std::string> owner;
  std::optional<std::string> platform;
  std::optional<std::string> agentID;
  std::optional<std::int64_t> v;
  std::optional<std::string> createdAt;
  std::optional<bool> deleted;
  std::optional<std::string> deviceName;
  std::optional<std::string> displayName;
  std::optional<std::string> initializationStatus;
  std::optional<bool> isActive;
  std::optional<bool> isBlock;
  std::optional<bool> isDefault;
  std::optional<std::string> parentID;
  std::optional<std::string> role;
  // Built records start with an empty list; a decoded record without "topics" has none.
  std::optional<std::vector<std::string>> topics = std::vector<std::string>{};
  std::optional<std::string> updatedAt;
  std::optional<LocationConfigs> locationConfigs;
  std::optional<bool> hasFcm;

  static constexpr const char* typeName = "Device";
  static constexpr auto codingKeys() {
    using T = Device;
    using coding::field;
    return std::tuple{field("id", &T::id),
                      field("owner", &T::owner),
                      field("platform", &T::platform),
                      field("agentID", &T::agentID),
                      field("v", &T::v),
                      field("createdAt", &T::createdAt),
                      field("deleted", &T::deleted),
                      field("deviceName", &T::deviceName),
                      field("displayName", &T::displayName),
                      field("initializationStatus", &T::initializationStatus),
                      field("isActive", &T::isActive),
                      field("isBlock", &T::isBlock),
                      field("isDefault", &T::isDefault),
                      field("parentID", &T::parentID),
                      field("role", &T::role),
                      field("topics", &T::topics),
                      field("updatedAt", &T::updatedAt),
                      field("locationConfigs", &T::locationConfigs),
                      field("hasFcm", &T::hasFcm)};
  }
};

struct Profile {
  std::optional<std::string> id;
  std::optional<bool> AppBlocker;  // the one key that starts with a capital letter

  static constexpr const char* typeName = "Profile";
  static constexpr auto codingKeys() {
    return std::tuple{coding::field("id", &Profile::id), coding::field("AppBlocker", &Profile::AppBlocker)};
  }
};

struct MeModel {
  std::optional<std::string> id;
  std::optional<std::string> name;
  std::optional<std::string> birthday;
  std::optional<std::string> gender;
  std::optional<bool> isDefault;
  std::optional<bool> isBlock;
  std::optional<std::string> parentID;
  std::optional<std::string> avatar;
  std::optional<bool> deleted;
  std::optional<std::string> createdAt;
  std::optional<std::string> updatedAt;
  std::optional<std::int64_t> v;
  std::optional<Device> device;
  std::optional<Profile> profile;

  static constexpr const char* typeName = "MeModel";
  static constexpr auto codingKeys() {
    using T = MeModel;
    using coding::field;
    return std::tuple{field("id", &T::id),
                      field("name", &T::name),
                      field("birthday", &T::birthday),
                      field("gender", &T::gender),
                      field("isDefault", &T::isDefault),
                      field("isBlock", &T::isBlock),
                      field("parentID", &T::parentID),
                      field("avatar", &T::avatar),
                      field("deleted", &T::deleted),
                      field("createdAt", &T::createdAt),
                      field("updatedAt", &T::updatedAt),
                      field("v", &T::v),
                      field("device", &T::device),
                      field("profile", &T::profile)};
  }
};

}  // namespace networks
