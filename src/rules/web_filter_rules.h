#pragma once
// The web-content rules: domains to block and category rules. Read with a plain
// decoder, so the keys are exactly as written here ("is_blocked", "_id",
// "categoryRules"); other spellings are unknown keys.
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "coding/codable.h"

namespace rules {

struct WebRule {
  std::optional<bool> is_blocked;

  static constexpr auto codingKeys() { return std::tuple{coding::field("is_blocked", &WebRule::is_blocked)}; }
  static constexpr const char* typeName = "WebRule";
};

// One domain with its rule; a blocked domain becomes a hosts-file entry.
struct WebException {
  std::optional<WebRule> rule;
  std::optional<std::string> domain;
  std::optional<std::string> _id;

  static constexpr auto codingKeys() {
    return std::tuple{coding::field("rule", &WebException::rule), coding::field("domain", &WebException::domain),
                      coding::field("_id", &WebException::_id)};
  }
  static constexpr const char* typeName = "WebException";
};

struct WebCategoryRule {
  std::optional<WebRule> rule;
  std::optional<std::string> name;
  std::optional<std::string> _id;

  static constexpr auto codingKeys() {
    return std::tuple{coding::field("rule", &WebCategoryRule::rule), coding::field("name", &WebCategoryRule::name),
                      coding::field("_id", &WebCategoryRule::_id)};
  }
  static constexpr const char* typeName = "WebCategoryRule";
};

struct WebfilterRuleBase {
  std::optional<std::vector<WebException>> exceptions;
  std::optional<std::vector<WebCategoryRule>> categoryRules;

  static constexpr auto codingKeys() {
    return std::tuple{coding::field("exceptions", &WebfilterRuleBase::exceptions),
                      coding::field("categoryRules", &WebfilterRuleBase::categoryRules)};
  }
  static constexpr const char* typeName = "WebfilterRuleBase";
};

// A reply body decoded with a plain decoder; any error fails the whole reply.
std::expected<WebfilterRuleBase, coding::DecodingError> decodeWebfilterRules(std::string_view body);
std::expected<WebfilterRuleBase, coding::DecodingError> decodeWebfilterRules(const coding::Bytes& body);

}  // namespace rules
