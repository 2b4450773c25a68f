#include "rules/json_validator.h"

#include <string_view>

#include <gtest/gtest.h>

namespace rules {
namespace {

SafeSearchRulesBase safeSearch(std::string_view json) {
  return coding::JSONDecoder{}.decode<SafeSearchRulesBase>(json).value();
}

TEST(JsonValidatorTest, SafeSearchNeedsCategoryRulesAndIsActivePresent) {
  const struct {
    const char* json;
    bool valid;
  } cases[] = {
      {R"({"categoryRules":[],"isActive":false})", true},
      {R"({"categoryRules":[{"name":"Adult","rule":{"isBlocked":true}}],"isActive":true})", true},
      {R"({"categoryRules":[{}],"isActive":true,"exceptions":[{"word":"x"}]})", true},
      {R"({"categoryRules":[]})", false},
      {R"({"categoryRules":[],"isActive":null})", false},
      {R"({"isActive":true})", false},
      {R"({"isActive":true,"exceptions":[]})", false},
      {R"({})", false},
  };
  const CJsonValidator validator;
  for (const auto& c : cases) {
    EXPECT_EQ(validator.ValidateRequest(ERequests::SAFE_SEARCH, safeSearch(c.json)), c.valid) << c.json;
  }
}

TEST(JsonValidatorTest, AppBlockerAlwaysValidWebFilterNeverAndMismatchedKindsFalse) {
  const CJsonValidator validator;
  const SafeSearchRulesBase complete = safeSearch(R"({"categoryRules":[],"isActive":true})");
  const AppBlockerRuleBase emptyApps{};
  const AppBlockerRuleBase someApps{std::vector<RuleApp>{RuleApp{"r", "BLACK_LIST", std::nullopt}}, "m"};
  const WebfilterRuleBase web{std::vector<WebException>{}, std::vector<WebCategoryRule>{}};

  EXPECT_TRUE(validator.ValidateRequest(ERequests::APP_BLOCKER, emptyApps));
  EXPECT_TRUE(validator.ValidateRequest(ERequests::APP_BLOCKER, someApps));

  EXPECT_FALSE(validator.ValidateRequest(ERequests::WEB_FILTER, web));
  EXPECT_FALSE(validator.ValidateRequest(ERequests::WEB_FILTER, WebfilterRuleBase{}));
  EXPECT_FALSE(validator.ValidateRequest(ERequests::WEB_FILTER, complete));
  EXPECT_FALSE(validator.ValidateRequest(ERequests::WEB_FILTER, emptyApps));

  // A payload of another kind than the request names is never valid.
  EXPECT_FALSE(validator.ValidateRequest(ERequests::SAFE_SEARCH, emptyApps));
  EXPECT_FALSE(validator.ValidateRequest(ERequests::SAFE_SEARCH, web));
  EXPECT_FALSE(validator.ValidateRequest(ERequests::APP_BLOCKER, complete));
  EXPECT_FALSE(validator.ValidateRequest(ERequests::APP_BLOCKER, web));
}

}  // namespace
}  // namespace rules
