#pragma once
// Coding keys and the key strategies that map between a record's field names and the
// keys on the wire.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace coding {

// A free-form coding key.
struct AnyKey {
  std::string stringValue;
  std::optional<std::int64_t> intValue;

  explicit AnyKey(std::string text) : stringValue(std::move(text)) {}
  explicit AnyKey(std::int64_t number) : stringValue(std::to_string(number)), intValue(number) {}
  bool operator==(const AnyKey&) const = default;
};

// The keys leading to the value being decoded; the last one is the key as written
// in the JSON.
using CodingPath = std::vector<AnyKey>;

struct KeyDecodingStrategy {
  enum class Kind { useDefaultKeys, convertFromSnakeCase, custom };
  Kind kind = Kind::useDefaultKeys;
  std::function<AnyKey(const CodingPath&)> mapper;  // for custom

  static KeyDecodingStrategy useDefaultKeys() { return {}; }
  static KeyDecodingStrategy convertFromSnakeCase() { return {Kind::convertFromSnakeCase, {}}; }
  static KeyDecodingStrategy custom(std::function<AnyKey(const CodingPath&)> mapper) {
    return {Kind::custom, std::move(mapper)};
  }
};

enum class KeyEncodingStrategy { useDefaultKeys, convertToSnakeCase };

// "pairCode" -> "pair_code": a word starts where a lower-case letter (or digit) is
// followed by an upper-case one; runs of capitals stay one word ("URLList" -> "url_list").
// Leading and trailing underscores are kept.
std::string convertToSnakeCase(std::string_view key);

// "exact_error" -> "exactError": underscores between words are removed, the first
// word is lower-cased and each later word capitalised; leading and trailing
// underscores are kept; a key without inner underscores is unchanged.
std::string convertFromSnakeCase(std::string_view key);

// First letter upper case, the other letters lower case; non-letters unchanged.
std::string capitalized(std::string_view word);

}  // namespace coding
