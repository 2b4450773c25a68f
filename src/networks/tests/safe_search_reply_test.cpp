// The safe-search rules as they arrive: a reply of the request runner, every key
// mapped by the runner's own key mapper.
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "coding/keys.h"
#include "networks/network_manager.h"
#include "platform/url_session.h"
#include "rules/safe_search_rules.h"
#include "support/decoding_cases.h"

namespace networks {
namespace {

using coding::DecodingError;
using rules::SafeSearchRulesBase;
using Kind = DecodingError::Kind;

// Safe-search rules arrive as a reply of the request runner, which maps every key with
// its own key mapper; the tests decode through that very mapper.
std::expected<SafeSearchRulesBase, DecodingError> decodeSafeSearch(std::string_view text) {
  // Never destroyed: the session's threads live until the process ends.
  static platform::URLSession* const session = new platform::URLSession();
  static const NetworkManager* const runner = new NetworkManager(*session);
  coding::JSONDecoder decoder;
  decoder.keyDecodingStrategy = coding::KeyDecodingStrategy::custom(
      [](const coding::CodingPath& path) { return runner->customDecoingStrategy(path); });
  return decoder.decode<SafeSearchRulesBase>(text);
}

using testsupport::encoded;
using testsupport::expectFailures;
using testsupport::FailureCase;

TEST(SafeSearchRulesTest, AbsentNullEmptyAndFalseStayDistinct) {
  auto empty = decodeSafeSearch("{}");
  ASSERT_TRUE(empty);
  EXPECT_FALSE(empty->exceptions);
  EXPECT_FALSE(empty->categoryRules);
  EXPECT_FALSE(empty->isActive);

  auto values = decodeSafeSearch(R"({"category_rules":[],"is_active":false,"exceptions":null})");
  ASSERT_TRUE(values);
  ASSERT_TRUE(values->categoryRules);
  EXPECT_TRUE(values->categoryRules->empty());
  EXPECT_EQ(values->isActive, false);
  EXPECT_FALSE(values->exceptions);

  auto nullActive = decodeSafeSearch(R"({"is_active":null})");
  ASSERT_TRUE(nullActive);
  EXPECT_FALSE(nullActive->isActive);

  auto emptyRule = decodeSafeSearch(R"({"categoryRules":[{"rule":{},"name":"Adult"}]})");
  ASSERT_TRUE(emptyRule);
  const auto& rule = emptyRule->categoryRules->at(0);
  ASSERT_TRUE(rule.rule);
  EXPECT_FALSE(rule.rule->isBlocked);
  EXPECT_EQ(rule.name, "Adult");
  EXPECT_FALSE(rule.id);
}

TEST(SafeSearchRulesTest, SnakeAndCamelKeysFillTheSameFieldsAndMayMix) {
  const char* forms[] = {
      R"({"category_rules":[{"_id":"c1","name":"Game","rule":{"is_blocked":true}}],"is_active":true,
          "exceptions":[{"_id":"e1","word":"  online casino ","rule":{"is_blocked":false}}],"__v":3,"createdAt":"x"})",
      R"({"categoryRules":[{"id":"c1","name":"Game","rule":{"isBlocked":true}}],"isActive":true,
          "exceptions":[{"id":"e1","word":"  online casino ","rule":{"isBlocked":false}}]})",
      R"({"categoryRules":[{"_id":"c1","name":"Game","rule":{"isBlocked":true}}],"is_active":true,
          "exceptions":[{"id":"e1","word":"  online casino ","rule":{"is_blocked":false}}],"unknown":{"a":[1]}})",
  };
  for (const char* json : forms) {
    auto rules = decodeSafeSearch(json);
    ASSERT_TRUE(rules) << json << " -> " << rules.error().description();
    EXPECT_EQ(encoded(*rules),
              R"({"exceptions":[{"rule":{"isBlocked":false},"word":"  online casino ","id":"e1"}],)"
              R"("categoryRules":[{"rule":{"isBlocked":true},"name":"Game","id":"c1"}],"isActive":true})")
        << json;
  }
}

TEST(SafeSearchRulesTest, WrongTypeAnywhereFailsTheWholeReply) {
  expectFailures(
      decodeSafeSearch,
      {
          {R"({"is_active":"true"})", Kind::typeMismatch, "isActive"},
          {R"({"is_active":1})", Kind::typeMismatch, "isActive"},
          {R"({"category_rules":[{"name":5}]})", Kind::typeMismatch, "categoryRules[0].name"},
          {R"({"exceptions":[{"rule":{"isBlocked":true},"word":7}]})", Kind::typeMismatch, "exceptions[0].word"},
          {R"({"exceptions":[{},{"rule":{"is_blocked":"yes"}}]})", Kind::typeMismatch, "exceptions[1].rule.isBlocked"},
          {R"({"category_rules":[null]})", Kind::valueNotFound, "categoryRules[0]"},
          {R"({"category_rules":{}})", Kind::typeMismatch, "categoryRules"},
          {R"({"exceptions":[{"rule":[]}]})", Kind::typeMismatch, "exceptions[0].rule"},
          {R"([])", Kind::typeMismatch, ""},
          {R"("rules")", Kind::typeMismatch, ""},
      });
}

}  // namespace
}  // namespace networks
