#pragma once
// The failure value of every call through the request runner.
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>

#include "coding/codable.h"

namespace networks {

struct ErrorModel {
  std::string message;
  std::optional<std::int64_t> status;     // the error body's status, the transport code, or -1
  std::optional<std::string> exactError;  // detail of an error body ("exact_error" on the wire)

  static constexpr const char* typeName = "ErrorModel";
  static constexpr auto codingKeys() {
    return std::tuple{coding::field("message", &ErrorModel::message), coding::field("status", &ErrorModel::status),
                      coding::field("exactError", &ErrorModel::exactError)};
  }
  bool operator==(const ErrorModel&) const = default;

  // Its default description: type name and the three fields with their values.
  std::string description() const;
};

}  // namespace networks
