#pragma once
// Per-application time rules as the service stores them (black list and white list).
// The keys are the field names exactly, underscores and case included; read them with
// a plain decoder (a key mapper would turn "_id" into "id" and leave fields empty).
// Every field is optional and absent is distinct from empty.
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "coding/codable.h"

namespace rules {

// The application that a time rule governs.
struct VelmorApplication {
  std::optional<std::string> _id;
  std::optional<std::string> child_id;
  std::optional<std::string> device_id;
  std::optional<std::string> current_version;
  std::optional<std::string> first_installed_time;
  std::optional<std::string> name;
  std::optional<std::string> pk;
  std::optional<std::string> status;

  static constexpr auto codingKeys() {
    using T = VelmorApplication;
    return std::tuple{coding::field("_id", &T::_id),
                      coding::field("child_id", &T::child_id),
                      coding::field("device_id", &T::device_id),
                      coding::field("current_version", &T::current_version),
                      coding::field("first_installed_time", &T::first_installed_time),
                      coding::field("name", &T::name),
                      coding::field("pk", &T::pk),
                      coding::field("status", &T::status)};
  }
  static constexpr const char* typeName = "VelmorApplication";
};

// One entry of a day schedule ("_id" comes last here).
struct Days {
  std::optional<std::string> day;
  std::optional<std::string> start_time;
  std::optional<std::string> end_time;
  std::optional<std::string> duration;
  std::optional<std::string> _id;

  static constexpr auto codingKeys() {
    using T = Days;
    return std::tuple{coding::field("day", &T::day), coding::field("start_time", &T::start_time),
                      coding::field("end_time", &T::end_time), coding::field("duration", &T::duration),
                      coding::field("_id", &T::_id)};
  }
  static constexpr const char* typeName = "Days";
};

namespace detail {

// The layout shared by the black-list and white-list records; Tag only tells the two
// types apart.
template <class Tag>
struct TimeRule {
  std::optional<std::string> _id;
  std::optional<std::string> rule_type;
  std::optional<VelmorApplication> application;
  std::optional<std::vector<Days>> days;
  std::optional<std::string> parent_id;
  std::optional<std::string> device_id;
  std::optional<std::string> child_id;
  std::optional<bool> deleted;
  std::optional<std::string> createdAt;
  std::optional<std::string> updatedAt;
  // JSON key "__v"; a name with a double underscore is reserved in C++, so the member
  // keeps one.
  std::optional<std::int64_t> _v;
  std::optional<std::vector<std::string>> zones;

  static constexpr auto codingKeys() {
    using T = TimeRule;
    return std::tuple{coding::field("_id", &T::_id),
                      coding::field("rule_type", &T::rule_type),
                      coding::field("application", &T::application),
                      coding::field("days", &T::days),
                      coding::field("parent_id", &T::parent_id),
                      coding::field("device_id", &T::device_id),
                      coding::field("child_id", &T::child_id),
                      coding::field("deleted", &T::deleted),
                      coding::field("createdAt", &T::createdAt),
                      coding::field("updatedAt", &T::updatedAt),
                      coding::field("__v", &T::_v),
                      coding::field("zones", &T::zones)};
  }
  static constexpr const char* typeName = Tag::name;
};

struct BlackListTag {
  static constexpr const char* name = "Black_list";
};
struct WhiteListTag {
  static constexpr const char* name = "Wihte_list";
};

}  // namespace detail

using Black_list = detail::TimeRule<detail::BlackListTag>;
using Wihte_list = detail::TimeRule<detail::WhiteListTag>;

}  // namespace rules
