#pragma once
// The safe-search rules sent by the service: per category and per word, blocked or
// allowed. Every field is optional; the request runner decodes the reply through its
// key mapper, so both "_id"/"is_blocked"/"category_rules" and the field names reach
// these fields.
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "coding/codable.h"

namespace rules {

// The blocked flag of a category or a word.
struct Rule {
  std::optional<bool> isBlocked;

  static constexpr auto codingKeys() { return std::tuple{coding::field("isBlocked", &Rule::isBlocked)}; }
  static constexpr const char* typeName = "Rule";
};

// One category rule; `name` is a category's display name (see Category).
struct CategoryRule {
  std::optional<Rule> rule;
  std::optional<std::string> name;
  std::optional<std::string> id;

  static constexpr auto codingKeys() {
    return std::tuple{coding::field("rule", &CategoryRule::rule), coding::field("name", &CategoryRule::name),
                      coding::field("id", &CategoryRule::id)};
  }
  static constexpr const char* typeName = "CategoryRule";
};

// One word rule; the word is used as sent (not trimmed).
struct Exception {
  std::optional<Rule> rule;
  std::optional<std::string> word;
  std::optional<std::string> id;

  static constexpr auto codingKeys() {
    return std::tuple{coding::field("rule", &Exception::rule), coding::field("word", &Exception::word),
                      coding::field("id", &Exception::id)};
  }
  static constexpr const char* typeName = "Exception";
};

struct SafeSearchRulesBase {
  std::optional<std::vector<Exception>> exceptions;
  std::optional<std::vector<CategoryRule>> categoryRules;
  std::optional<bool> isActive;

  static constexpr auto codingKeys() {
    return std::tuple{coding::field("exceptions", &SafeSearchRulesBase::exceptions),
                      coding::field("categoryRules", &SafeSearchRulesBase::categoryRules),
                      coding::field("isActive", &SafeSearchRulesBase::isActive)};
  }
  static constexpr const char* typeName = "SafeSearchRulesBase";
};

}  // namespace rules
