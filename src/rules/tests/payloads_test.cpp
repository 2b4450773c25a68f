// Decoding and encoding of the service's rule payloads: safe search (plain keys; through
// the request runner's key mapper in networks/tests/safe_search_reply_test.cpp), web
// filter and app blocker (plain keys), instant block (snake case).
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "coding/keys.h"
#include "rules/app_blocker_rules.h"
#include "rules/instant_block.h"
#include "rules/safe_search_rules.h"
#include "rules/web_filter_rules.h"
#include "support/decoding_cases.h"

namespace rules {
namespace {

using coding::DecodingError;
using Kind = DecodingError::Kind;

using testsupport::encoded;
using testsupport::expectFailures;
using testsupport::FailureCase;

// ---- safe search ----

TEST(SafeSearchRulesTest, PlainDecoderKnowsOnlyTheFieldNames) {
  auto rules = coding::JSONDecoder{}.decode<SafeSearchRulesBase>(std::string_view(
      R"({"category_rules":[],"is_active":true,"exceptions":[{"_id":"e","rule":{"is_blocked":true}}]})"));
  ASSERT_TRUE(rules);
  EXPECT_FALSE(rules->categoryRules);
  EXPECT_FALSE(rules->isActive);
  EXPECT_FALSE(rules->exceptions->at(0).id);
  EXPECT_FALSE(rules->exceptions->at(0).rule->isBlocked);
}

TEST(SafeSearchRulesTest, EncodingLeavesAbsentFieldsOut) {
  EXPECT_EQ(encoded(SafeSearchRulesBase{}), "{}");
  EXPECT_EQ(encoded(SafeSearchRulesBase{std::nullopt,
                                        std::vector<CategoryRule>{CategoryRule{Rule{}, std::nullopt, "i"}}, false}),
            R"({"categoryRules":[{"rule":{},"id":"i"}],"isActive":false})");
}

// ---- web filter ----

TEST(WebfilterRulesTest, DecodesExactKeysOnly) {
  auto rules = decodeWebfilterRules(std::string_view(R"({
      "exceptions":[
        {"domain":"casino.example","rule":{"is_blocked":true},"_id":"a"},
        {"domain":"news.example","rule":{"isBlocked":true},"id":"b"},
        {"domain":"plain.example","rule":null},
        {"domain":"casino.example","rule":{"is_blocked":false},"__v":0}],
      "category_rules":[{"name":"Adult"}],
      "createdAt":"2024"})"));
  ASSERT_TRUE(rules) << rules.error().description();
  ASSERT_TRUE(rules->exceptions);
  const auto& list = *rules->exceptions;
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].rule->is_blocked, true);
  EXPECT_EQ(list[0]._id, "a");
  ASSERT_TRUE(list[1].rule);
  EXPECT_FALSE(list[1].rule->is_blocked);  // "isBlocked" is not a key of WebRule
  EXPECT_FALSE(list[1]._id);               // nor "id" of WebException
  EXPECT_FALSE(list[2].rule);
  EXPECT_EQ(list[3].rule->is_blocked, false);
  EXPECT_FALSE(rules->categoryRules);  // the snake-case list key is unknown

  auto withCategories = decodeWebfilterRules(
      std::string_view(R"({"categoryRules":[{"name":"Adult","_id":"c","rule":{"is_blocked":true}}],"exceptions":[]})"));
  ASSERT_TRUE(withCategories);
  EXPECT_TRUE(withCategories->exceptions->empty());
  EXPECT_EQ(withCategories->categoryRules->at(0).name, "Adult");
  EXPECT_EQ(withCategories->categoryRules->at(0).rule->is_blocked, true);

  for (const char* body : {"{}", R"({"message":"Unauthorized","status":401})"}) {
    auto none = decodeWebfilterRules(std::string_view(body));
    ASSERT_TRUE(none) << body;
    EXPECT_FALSE(none->exceptions);
    EXPECT_FALSE(none->categoryRules);
  }
}

TEST(WebfilterRulesTest, WrongTypeAnywhereFailsTheWholeReply) {
  auto decode = [](std::string_view text) { return decodeWebfilterRules(text); };
  expectFailures(
      decode,
      {
          {R"({"exceptions":[{"rule":{"is_blocked":1}}]})", Kind::typeMismatch, "exceptions[0].rule.is_blocked"},
          {R"({"exceptions":[{"rule":{"is_blocked":"true"}}]})", Kind::typeMismatch, "exceptions[0].rule.is_blocked"},
                             // A bad category rule, which nothing reads, still discards the exceptions.
          {R"({"exceptions":[{"domain":"a.example","rule":{"is_blocked":true}}],"categoryRules":[{"rule":{"is_blocked":0}}]})",
           Kind::typeMismatch, "categoryRules[0].rule.is_blocked"},
          {R"({"exceptions":[{"domain":5}]})", Kind::typeMismatch, "exceptions[0].domain"},
          {R"({"exceptions":[null]})", Kind::valueNotFound, "exceptions[0]"},
          {R"({"categoryRules":[{},null]})", Kind::valueNotFound, "categoryRules[1]"},
          {R"({"exceptions":{"domain":"a.example"}})", Kind::typeMismatch, "exceptions"},
          {R"([{"exceptions":[]}])", Kind::typeMismatch, ""},
          {R"("exceptions")", Kind::typeMismatch, ""},
          {R"(<html>)", Kind::dataCorrupted, ""},
      });
}

TEST(WebfilterRulesTest, EncodingRoundTripsAndLeavesAbsentFieldsOut) {
  WebfilterRuleBase value{std::vector<WebException>{WebException{WebRule{true}, "a.example", std::nullopt},
                                                    WebException{WebRule{}, std::nullopt, "x"}},
                          std::nullopt};
  const std::string text = encoded(value);
  EXPECT_EQ(text, R"({"exceptions":[{"rule":{"is_blocked":true},"domain":"a.example"},{"rule":{},"_id":"x"}]})");
  auto back = decodeWebfilterRules(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(encoded(*back), text);
  const std::string bytesText = R"({"exceptions":[]})";
  auto fromBytes = decodeWebfilterRules(coding::Bytes(bytesText.begin(), bytesText.end()));
  ASSERT_TRUE(fromBytes);
  EXPECT_TRUE(fromBytes->exceptions->empty());
}

// ---- app blocker ----

TEST(AppBlockerRulesTest, DecodesExactKeysOnly) {
  auto rules = decodeAppBlockerRules(std::string_view(R"({
      "rules":[
        {"_id":"r1","rule_type":"BLACK_LIST","applications":[
          {"id":"a1","name":"Chess","pk":"org.example.chess"},
          {"_id":"a2","name":"Mail","pk":"org.example.mail","createdAt":"x"}]},
        {"id":"r2","ruleType":"BLACK_LIST","applications":[{"pk":"org.example.other"}]},
        {"rule_type":"black_list"},
        {"rule_type":null,"applications":[]}],
      "message":"ok","__v":2})"));
  ASSERT_TRUE(rules) << rules.error().description();
  ASSERT_EQ(rules->rules->size(), 4u);
  const auto& first = rules->rules->at(0);
  EXPECT_EQ(first._id, "r1");
  EXPECT_TRUE(first.isBlackList());
  ASSERT_EQ(first.applications->size(), 2u);
  EXPECT_EQ(first.applications->at(0).id, "a1");
  EXPECT_EQ(first.applications->at(0).pk, "org.example.chess");
  EXPECT_FALSE(first.applications->at(1).id);  // "_id" is the rule's key, not the application's
  EXPECT_EQ(first.applications->at(1).name, "Mail");

  const auto& camel = rules->rules->at(1);
  EXPECT_FALSE(camel._id);
  EXPECT_FALSE(camel.rule_type);
  EXPECT_FALSE(camel.isBlackList());
  EXPECT_FALSE(rules->rules->at(2).isBlackList());  // letter case matters
  EXPECT_FALSE(rules->rules->at(3).rule_type);
  EXPECT_TRUE(rules->rules->at(3).applications->empty());
  EXPECT_EQ(rules->message, "ok");

  auto errorBody = decodeAppBlockerRules(std::string_view(R"({"message":"Unauthorized","status":401})"));
  ASSERT_TRUE(errorBody);
  EXPECT_EQ(errorBody->message, "Unauthorized");
  EXPECT_FALSE(errorBody->rules);
  auto emptyRules = decodeAppBlockerRules(std::string_view(R"({"rules":[]})"));
  ASSERT_TRUE(emptyRules);
  EXPECT_TRUE(emptyRules->rules->empty());
}

TEST(AppBlockerRulesTest, WrongTypeAnywhereFailsTheWholeReply) {
  auto decode = [](std::string_view text) { return decodeAppBlockerRules(text); };
  expectFailures(
      decode,
      {
          {R"({"rules":[{"rule_type":"BLACK_LIST","applications":[{"pk":42}]}]})", Kind::typeMismatch,
           "rules[0].applications[0].pk"},
                  // A bad application in a rule nobody looks at still discards the black list.
          {R"({"rules":[{"rule_type":"BLACK_LIST","applications":[{"pk":"a"}]},{"rule_type":"WHITE_LIST","applications":{"pk":"b"}}]})",
           Kind::typeMismatch, "rules[1].applications"},
          {R"({"rules":[{"applications":[{"id":7}]}]})", Kind::typeMismatch, "rules[0].applications[0].id"},
          {R"({"rules":[{"rule_type":true}]})", Kind::typeMismatch, "rules[0].rule_type"},
          {R"({"rules":[null]})", Kind::valueNotFound, "rules[0]"},
          {R"({"rules":[{"applications":[null]}]})", Kind::valueNotFound, "rules[0].applications[0]"},
          {R"({"message":404})", Kind::typeMismatch, "message"},
          {R"([])", Kind::typeMismatch, ""},
          {R"("BLACK_LIST")", Kind::typeMismatch, ""},
          {R"({"rules":[)", Kind::dataCorrupted, ""},
      });
}

TEST(AppBlockerRulesTest, EncodingRoundTripsAndLeavesAbsentFieldsOut) {
  AppBlockerRuleBase value{
      std::vector<RuleApp>{
          RuleApp{std::nullopt, "BLACK_LIST", std::vector<ApplicationApp>{ApplicationApp{"1", std::nullopt, "p"}}},
          RuleApp{}},
      std::nullopt};
  const std::string text = encoded(value);
  EXPECT_EQ(text, R"({"rules":[{"rule_type":"BLACK_LIST","applications":[{"id":"1","pk":"p"}]},{}]})");
  auto back = decodeAppBlockerRules(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(encoded(*back), text);
  EXPECT_EQ(encoded(AppBlockerRuleBase{}), "{}");
}

// ---- instant block ----

TEST(InstantBlockTest, DecodesWithSnakeCaseConversion) {
  const struct {
    const char* json;
    bool ok;
    std::optional<bool> flag;
  } cases[] = {
      {"{}", true, std::nullopt},
      {R"({"is_instant_block_activated":true})", true, true},
      {R"({"isInstantBlockActivated":false})", true, false},
      {R"({"is_instant_block_activated":null})", true, std::nullopt},
      {R"({"instant":true,"child_id":"c"})", true, std::nullopt},
      {R"({"is_instant_block_activated":"true"})", false, std::nullopt},
      {R"({"isInstantBlockActivated":1})", false, std::nullopt},
      {R"([{"is_instant_block_activated":true}])", false, std::nullopt},
      {R"(true)", false, std::nullopt},
  };
  for (const auto& c : cases) {
    auto fromText = decodeInstantBlock(std::string_view(c.json));
    ASSERT_EQ(fromText.has_value(), c.ok) << c.json;
    auto fromJson = decodeInstantBlock(coding::parse(std::string_view(c.json)).value());
    ASSERT_EQ(fromJson.has_value(), c.ok) << c.json;
    if (c.ok) {
      EXPECT_EQ(fromText->isInstantBlockActivated, c.flag) << c.json;
      EXPECT_EQ(fromJson->isInstantBlockActivated, c.flag) << c.json;
    } else {
      EXPECT_EQ(fromText.error().kind, Kind::typeMismatch) << c.json;
    }
  }
  EXPECT_EQ(encoded(InstantBlock{}), "{}");
  EXPECT_EQ(encoded(InstantBlock{true}), R"({"isInstantBlockActivated":true})");
}

}  // namespace
}  // namespace rules
