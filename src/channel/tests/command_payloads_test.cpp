// Command payloads: the one decoding path (fragments allowed, snake-case keys) and the
// acknowledgement item.
#include "channel/command_payloads.h"

#include <gtest/gtest.h>

#include "rules/instant_block.h"

namespace channel {
namespace {

using json = nlohmann::json;

template <class T>
std::expected<T, PayloadError> decode(const json& element) {
  return decodePayload<T>(element, makePayloadDecoder());
}

TEST(CommandPayloadsTest, LiveLocationRule) {
  struct Case {
    const char* text;
    std::optional<LiveLocationRule> expected;
  };
  const Case cases[] = {
      {R"({"distance":50,"duration":60000,"interval":5000,"extra":[1,2]})", LiveLocationRule{50, 60000.0, 5000.0}},
      {R"({"distance":-3,"duration":0.5,"interval":1e3})", LiveLocationRule{-3, 0.5, 1000.0}},
      {R"({"distance":12.0,"duration":1,"interval":1})", LiveLocationRule{12, 1, 1}},
      {R"({"distance":12.5,"duration":1,"interval":1})", std::nullopt},
      {R"({"distance":"12","duration":1,"interval":1})", std::nullopt},
      {R"({"distance":50,"duration":60000})", std::nullopt},
      {R"({"duration":1,"interval":1})", std::nullopt},
      {R"({"distance":50,"duration":null,"interval":1})", std::nullopt},
      {R"({"distance":50,"duration":"1","interval":1})", std::nullopt},
      {"[]", std::nullopt},
      {"7", std::nullopt},
      {R"("text")", std::nullopt},
      {"null", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto decoded = decode<LiveLocationRule>(json::parse(c.text));
    ASSERT_EQ(decoded.has_value(), c.expected.has_value());
    if (decoded) {
      EXPECT_EQ(*decoded, *c.expected);
    } else {
      EXPECT_EQ(decoded.error().kind, PayloadError::Kind::decoding);
      EXPECT_FALSE(decoded.error().debugDescription.empty());
    }
  }
}

TEST(CommandPayloadsTest, FlagsTakeOnlyBooleansUnderEitherSpelling) {
  struct Case {
    const char* text;
    std::optional<bool> isBlock;  // ExpirationModel
    std::optional<bool> deleted;  // AppDeletion
  };
  const Case cases[] = {
      {R"({"is_block":true,"deleted":false})", true, false},
      {R"({"isBlock":false,"deleted":true})", false, true},
      {R"({"isBlock":1,"deleted":1})", std::nullopt, std::nullopt},
      {R"({"is_block":"true","deleted":"false"})", std::nullopt, std::nullopt},
      {R"({"isblock":true,"Deleted":true})", std::nullopt, std::nullopt},
      {"{}", std::nullopt, std::nullopt},
      {"true", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto element = json::parse(c.text);
    auto expiration = decode<ExpirationModel>(element);
    ASSERT_EQ(expiration.has_value(), c.isBlock.has_value());
    if (expiration) {
      EXPECT_EQ(expiration->isBlock, *c.isBlock);
    }
    auto deletion = decode<AppDeletion>(element);
    ASSERT_EQ(deletion.has_value(), c.deleted.has_value());
    if (deletion) {
      EXPECT_EQ(deletion->deleted, *c.deleted);
    }
  }
}

TEST(CommandPayloadsTest, InstantBlockFlagMayBeAbsent) {
  struct Case {
    const char* text;
    bool decodes;
    std::optional<bool> flag;
  };
  const Case cases[] = {
      {R"({"isInstantBlockActivated":true})", true, true},
      {R"({"is_instant_block_activated":false})", true, false},
      {R"({"isInstantBlockActivated":null})", true, std::nullopt},
      {R"({"other":1})", true, std::nullopt},
      {R"({"isInstantBlockActivated":"yes"})", false, std::nullopt},
      {"5", false, std::nullopt},
      {"null", false, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto decoded = decode<rules::InstantBlock>(json::parse(c.text));
    ASSERT_EQ(decoded.has_value(), c.decodes);
    if (decoded) {
      EXPECT_EQ(decoded->isInstantBlockActivated, c.flag);
    }
  }
}

TEST(CommandPayloadsTest, FragmentsSerialiseButBinaryAndBadTextDoNot) {
  EXPECT_EQ(serializeFragment(json(5)).value(), "5");
  EXPECT_EQ(serializeFragment(json("a\"b")).value(), R"("a\"b")");
  EXPECT_EQ(serializeFragment(json(nullptr)).value(), "null");
  EXPECT_EQ(serializeFragment(json::parse(R"({"k":[true]})")).value(), R"({"k":[true]})");

  const json binary = json::binary({1, 2, 3});
  const json nested = json{{"distance", 1}, {"duration", 1}, {"interval", 1}, {"blob", binary}};
  const json badText = std::string("\xff\xfe");
  for (const auto& element : {binary, nested, badText}) {
    auto text = serializeFragment(element);
    ASSERT_FALSE(text);
    EXPECT_EQ(text.error().kind, PayloadError::Kind::serialization);
    auto decoded = decode<LiveLocationRule>(element);
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error().kind, PayloadError::Kind::serialization);
  }
}

TEST(CommandPayloadsTest, AcknowledgeIsOneStatusEntry) {
  const auto representation = Acknowledge("ok").socketRepresentation();
  EXPECT_EQ(representation, (std::map<std::string, std::string>{{"status", "ok"}}));
  EXPECT_EQ(json(representation), json::parse(R"({"status":"ok"})"));
}

}  // namespace
}  // namespace channel
