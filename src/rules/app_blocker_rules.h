#pragma once
// The app-blocker rules: rules of a type ("BLACK_LIST" blocks) with the applications
// they cover. Read with a plain decoder, so the keys are exactly as written here; note
// the rule's "_id" against the application's "id".
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "coding/codable.h"

namespace rules {

// The rule type whose applications are blocked (exact, case-sensitive).
inline constexpr std::string_view kBlackListRuleType = "BLACK_LIST";

// One application; `pk` is its bundle identifier.
struct ApplicationApp {
  std::optional<std::string> id;
  std::optional<std::string> name;
  std::optional<std::string> pk;

  static constexpr auto codingKeys() {
    return std::tuple{coding::field("id", &ApplicationApp::id), coding::field("name", &ApplicationApp::name),
                      coding::field("pk", &ApplicationApp::pk)};
  }
  static constexpr const char* typeName = "ApplicationApp";
};

struct RuleApp {
  std::optional<std::string> _id;
  std::optional<std::string> rule_type;
  std::optional<std::vector<ApplicationApp>> applications;

  // True only for a present rule_type equal to "BLACK_LIST".
  bool isBlackList() const { return rule_type && *rule_type == kBlackListRuleType; }

  static constexpr auto codingKeys() {
    return std::tuple{coding::field("_id", &RuleApp::_id), coding::field("rule_type", &RuleApp::rule_type),
                      coding::field("applications", &RuleApp::applications)};
  }
  static constexpr const char* typeName = "RuleApp";
};

struct AppBlockerRuleBase {
  std::optional<std::vector<RuleApp>> rules;
  std::optional<std::string> message;

  static constexpr auto codingKeys() {
    return std::tuple{coding::field("rules", &AppBlockerRuleBase::rules),
                      coding::field("message", &AppBlockerRuleBase::message)};
  }
  static constexpr const char* typeName = "AppBlockerRuleBase";
};

// A reply body decoded with a plain decoder; any error fails the whole reply.
std::expected<AppBlockerRuleBase, coding::DecodingError> decodeAppBlockerRules(std::string_view body);
std::expected<AppBlockerRuleBase, coding::DecodingError> decodeAppBlockerRules(const coding::Bytes& body);

}  // namespace rules
