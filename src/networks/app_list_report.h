#pragma once
// The installed-application report: applications without a rule, allowed and blocked.
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "coding/codable.h"

namespace networks {

struct Allowed {
  std::optional<std::string> name;
  std::optional<std::int64_t> firstInstalledTime;
  std::optional<std::string> pk;  // bundle identifier
  std::optional<std::string> currentVersion;
  std::optional<std::string> icon;

  static constexpr const char* typeName = "Allowed";
  static constexpr auto codingKeys() {
    using T = Allowed;
    return std::tuple{coding::field("name", &T::name), coding::field("firstInstalledTime", &T::firstInstalledTime),
                      coding::field("pk", &T::pk), coding::field("currentVersion", &T::currentVersion),
                      coding::field("icon", &T::icon)};
  }
};

struct Blocked {
  std::optional<std::string> name;
  std::optional<std::string> pk;
  std::optional<std::string> icon;

  static constexpr const char* typeName = "Blocked";
  static constexpr auto codingKeys() {
    return std::tuple{coding::field("name", &Blocked::name), coding::field("pk", &Blocked::pk),
                      coding::field("icon", &Blocked::icon)};
  }
};

struct Norule {
  std::optional<std::string> name;
  std::optional<std::string> pk;

  static constexpr const char* typeName = "Norule";
  static constexpr auto codingKeys() {
    return std::tuple{coding::field("name", &Norule::name), coding::field("pk", &Norule::pk)};
  }
};

struct SendAppListModel {
  std::optional<std::vector<Norule>> norules;
  std::optional<std::vector<Allowed>> allowed;
  std::optional<std::vector<Blocked>> blocked;

  static constexpr const char* typeName = "SendAppListModel";
  static constexpr auto codingKeys() {
    using T = SendAppListModel;
    return std::tuple{coding::field("norules", &T::norules), coding::field("allowed", &T::allowed),
                      coding::field("blocked", &T::blocked)};
  }
};

}  // namespace networks
