#pragma once
// Default text forms of values as the agent's diagnostics print them: a record as
// "Type(field: value, ...)", an optional as "Optional(value)" or "nil", a text in
// double quotes, a list as "[a, b]".
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "coding/codable.h"

namespace agent {

template <class T>
std::string describe(const T& value);

namespace detail {

template <class T>
std::string describeValue(const T& value) {
  if constexpr (std::is_same_v<T, std::string>) {
    return "\"" + value + "\"";
  } else if constexpr (std::is_same_v<T, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::is_arithmetic_v<T>) {
    return std::to_string(value);
  } else if constexpr (coding::detail::IsOptional<T>::value) {
    return value ? "Optional(" + describeValue(*value) + ")" : "nil";
  } else if constexpr (coding::detail::IsVector<T>::value) {
    std::string text = "[";
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (i) text += ", ";
      text += describeValue(value[i]);
    }
    return text + "]";
  } else {
    static_assert(coding::Record<T>, "no text form for this type");
    std::string text = std::string(T::typeName) + "(";
    bool first = true;
    std::apply(
        [&](const auto&... fields) {
          ((text += (first ? "" : ", ") + std::string(fields.key) + ": " + describeValue(value.*(fields.member)),
            first = false),
           ...);
        },
        T::codingKeys());
    return text + ")";
  }
}

}  // namespace detail

template <class T>
std::string describe(const T& value) {
  return detail::describeValue(value);
}

}  // namespace agent
