#pragma once
// Small reply records of the service, and the login record the child state stores.
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>

#include "coding/codable.h"

namespace networks {

// The child's login record on this device (stored under "ACCESS_TOKEN").
struct DeviceLoginModel {
  std::string token;
  std::string parentId;
  std::string childId;
  std::string role;
  std::string deviceId;

  static constexpr const char* typeName = "DeviceLoginModel";
  static constexpr auto codingKeys() {
    using T = DeviceLoginModel;
    return std::tuple{coding::field("token", &T::token), coding::field("parentId", &T::parentId),
                      coding::field("childId", &T::childId), coding::field("role", &T::role),
                      coding::field("deviceId", &T::deviceId)};
  }
  bool operator==(const DeviceLoginModel&) const = default;
};

// The reply of the location and installed-application uploads.
struct AcceptanceModel {
  std::string message;
  std::optional<std::int64_t> status;

  static constexpr const char* typeName = "AcceptanceModel";
  static constexpr auto codingKeys() {
    return std::tuple{coding::field("message", &AcceptanceModel::message),
                      coding::field("status", &AcceptanceModel::status)};
  }
  bool operator==(const AcceptanceModel&) const = default;
};

// Replies of device registration and enrolment.
struct RegisterDeviceModel {
  std::string message;
  std::int64_t status = 0;

  static constexpr const char* typeName = "RegisterDeviceModel";
  static constexpr auto codingKeys() {
    return std::tuple{coding::field("message", &RegisterDeviceModel::message),
                      coding::field("status", &RegisterDeviceModel::status)};
  }
  bool operator==(const RegisterDeviceModel&) const = default;
};

struct DeviceEnrolledModel {
  std::string message;
  std::int64_t status = 0;

  static constexpr const char* typeName = "DeviceEnrolledModel";
  static constexpr auto codingKeys() {
    return std::tuple{coding::field("message", &DeviceEnrolledModel::message),
                      coding::field("status", &DeviceEnrolledModel::status)};
  }
  bool operator==(const DeviceEnrolledModel&) const = default;
};

struct ParentAuthAcceptanceModel {
  std::string token;

  static constexpr const char* typeName = "ParentAuthAcceptanceModel";
  static constexpr auto codingKeys() { return std::tuple{coding::field("token", &ParentAuthAcceptanceModel::token)}; }
  bool operator==(const ParentAuthAcceptanceModel&) const = default;
};

}  // namespace networks
