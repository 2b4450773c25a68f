#include "coding/codable.h"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace coding {
namespace {

enum class Color { red, darkBlue };

struct Inner {
  std::optional<bool> flag;
  std::optional<std::int64_t> count;
  static constexpr auto codingKeys() { return std::tuple{field("flag", &Inner::flag), field("count", &Inner::count)}; }
  static constexpr const char* typeName = "Inner";
};

struct Outer {
  std::string name;
  std::optional<std::string> note;
  std::optional<Inner> innerValue;
  std::optional<std::vector<Inner>> innerList;
  std::optional<std::vector<std::string>> tags;
  std::optional<double> ratio;
  std::optional<Color> color;
  static constexpr auto codingKeys() {
    return std::tuple{
        field("name", &Outer::name),           field("note", &Outer::note), field("innerValue", &Outer::innerValue),
        field("innerList", &Outer::innerList), field("tags", &Outer::tags), field("ratio", &Outer::ratio),
        field("color", &Outer::color)};
  }
};

struct Sample {
  double time;
  float accuracy;
  std::int64_t level;
  static constexpr auto codingKeys() {
    return std::tuple{field("time", &Sample::time), field("accuracy", &Sample::accuracy),
                      field("level", &Sample::level)};
  }
};

}  // namespace

template <>
struct RawEnum<Color> {
  static constexpr const char* typeName = "Color";
  static constexpr std::array<std::pair<Color, std::string_view>, 2> values{
      {{Color::red, "Red"}, {Color::darkBlue, "Dark Blue"}}};
};

namespace {

using Kind = DecodingError::Kind;

std::expected<Outer, DecodingError> decodeOuter(std::string_view text,
                                                KeyDecodingStrategy strategy = KeyDecodingStrategy::useDefaultKeys()) {
  JSONDecoder decoder;
  decoder.keyDecodingStrategy = std::move(strategy);
  return decoder.decode<Outer>(text);
}

TEST(CodableTest, AbsentNullAndPresentOptionalFields) {
  auto minimal = decodeOuter(R"({"name":"n"})");
  ASSERT_TRUE(minimal) << minimal.error().description();
  EXPECT_FALSE(minimal->note);
  EXPECT_FALSE(minimal->innerValue);

  auto nulls = decodeOuter(R"({"name":"n","note":null,"innerValue":null,"tags":null,"color":null})");
  ASSERT_TRUE(nulls);
  EXPECT_FALSE(nulls->note);
  EXPECT_FALSE(nulls->innerValue);
  EXPECT_FALSE(nulls->tags);

  auto full = decodeOuter(
      R"({"name":"n","note":"x","innerValue":{},"innerList":[{"flag":false,"count":3}],"tags":[],"ratio":2,"color":"Dark Blue","unknown":{"deep":[1,2]}})");
  ASSERT_TRUE(full) << full.error().description();
  ASSERT_TRUE(full->innerValue);
  EXPECT_FALSE(full->innerValue->flag);  // an empty object gives absent fields, not defaults
  ASSERT_TRUE(full->innerList);
  EXPECT_EQ(full->innerList->at(0).flag, false);
  EXPECT_EQ(full->innerList->at(0).count, 3);
  ASSERT_TRUE(full->tags);
  EXPECT_TRUE(full->tags->empty());  // an empty list stays present
  EXPECT_EQ(full->ratio, 2.0);
  EXPECT_EQ(full->color, Color::darkBlue);
}

TEST(CodableTest, FailuresFailTheWholeRecordWithKindAndPath) {
  const struct {
    const char* json;
    Kind kind;
    const char* path;
  } cases[] = {
      {R"({})", Kind::keyNotFound, ""},
      {R"({"name":null})", Kind::valueNotFound, "name"},
      {R"({"name":5})", Kind::typeMismatch, "name"},
      {R"({"name":"n","note":5})", Kind::typeMismatch, "note"},
      {R"({"name":"n","innerValue":{"flag":1}})", Kind::typeMismatch, "innerValue.flag"},
      {R"({"name":"n","innerValue":{"flag":"true"}})", Kind::typeMismatch, "innerValue.flag"},
      {R"({"name":"n","innerList":[{},{"count":12.5}]})", Kind::dataCorrupted, "innerList[1].count"},
      {R"({"name":"n","innerList":[{"count":"12"}]})", Kind::typeMismatch, "innerList[0].count"},
      {R"({"name":"n","innerList":[null]})", Kind::valueNotFound, "innerList[0]"},
      {R"({"name":"n","innerList":{}})", Kind::typeMismatch, "innerList"},
      {R"({"name":"n","tags":["a",3]})", Kind::typeMismatch, "tags[1]"},
      {R"({"name":"n","ratio":"1"})", Kind::typeMismatch, "ratio"},
      {R"({"name":"n","color":"red"})", Kind::dataCorrupted, "color"},
      {R"({"name":"n","innerValue":[]})", Kind::typeMismatch, "innerValue"},
      {R"([])", Kind::typeMismatch, ""},
      {R"("text")", Kind::typeMismatch, ""},
      {R"({"name":"n")", Kind::dataCorrupted, ""},
      {"{\"name\":\"\xff\"}", Kind::dataCorrupted, ""},
      {R"({"name":"n"} trailing)", Kind::dataCorrupted, ""},
      {"", Kind::dataCorrupted, ""},
  };
  for (const auto& c : cases) {
    auto result = decodeOuter(c.json);
    ASSERT_FALSE(result) << c.json;
    EXPECT_EQ(result.error().kind, c.kind) << c.json << " -> " << result.error().description();
    EXPECT_EQ(result.error().codingPath, c.path) << c.json;
    EXPECT_FALSE(result.error().localizedDescription().empty());
  }
}

TEST(CodableTest, IntegersAcceptOnlyIntegralNumbersInRange) {
  JSONDecoder decoder;
  const struct {
    const char* json;
    bool ok;
    std::int64_t value;
  } cases[] = {
      {R"({"count":12})", true, 12},
      {R"({"count":-7})", true, -7},
      {R"({"count":12.0})", true, 12},
      {R"({"count":9223372036854775807})", true, std::numeric_limits<std::int64_t>::max()},
      {R"({"count":9223372036854775808})", false, 0},
      {R"({"count":1e300})", false, 0},
      {R"({"count":12.5})", false, 0},
      {R"({"count":true})", false, 0},
  };
  for (const auto& c : cases) {
    auto result = decoder.decode<Inner>(std::string_view(c.json));
    ASSERT_EQ(result.has_value(), c.ok) << c.json;
    if (c.ok) {
      EXPECT_EQ(result->count, c.value) << c.json;
    }
  }
}

struct Measures {
  std::optional<float> accuracy;
  std::optional<double> time;
  static constexpr auto codingKeys() {
    return std::tuple{field("accuracy", &Measures::accuracy), field("time", &Measures::time)};
  }
  [[maybe_unused]] static constexpr const char* typeName = "Measures";
};

// A number beyond a floating-point field's range is refused as for integers, instead of
// turning into an infinity that could never be encoded again.
TEST(CodableTest, FloatingPointFieldsAcceptOnlyNumbersInTheirRange) {
  const struct {
    const char* json;
    bool ok;
    const char* failingPath;
  } cases[] = {
      {R"({"accuracy":65.5,"time":1e300})", true, ""},
      {R"({"accuracy":3.4028234e38,"time":-1.7976931348623157e308})", true, ""},
      {R"({"accuracy":1e-50,"time":5e-324})", true, ""},  // rounds toward zero: still fits
      {R"({"accuracy":9223372036854775807,"time":18446744073709551615})", true, ""},
      {R"({"accuracy":1e300})", false, "accuracy"},
      {R"({"accuracy":-3.5e38})", false, "accuracy"},
      {R"({"time":1e400})", false, ""},  // beyond a double: the text itself does not parse
  };
  for (const auto& c : cases) {
    auto result = JSONDecoder().decode<Measures>(std::string_view(c.json));
    ASSERT_EQ(result.has_value(), c.ok) << c.json;
    if (c.ok) {
      EXPECT_TRUE(std::isfinite(*result->accuracy)) << c.json;
      EXPECT_TRUE(JSONEncoder().encode(*result)) << c.json;  // what decodes encodes again
      continue;
    }
    EXPECT_EQ(result.error().kind, Kind::dataCorrupted) << c.json;
    EXPECT_EQ(result.error().codingPath, c.failingPath) << c.json;
  }
  auto refused = JSONDecoder().decode<Measures>(std::string_view(R"({"accuracy":1e300})"));
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().description().find("Parsed JSON number <1e+300> does not fit in Float."), std::string::npos)
      << refused.error().description();
}

TEST(CodableTest, KeyStrategiesApplyAtEveryLevel) {
  auto snake = decodeOuter(R"({"name":"n","inner_value":{"flag":true},"inner_list":[{"count":1}]})",
                           KeyDecodingStrategy::convertFromSnakeCase());
  ASSERT_TRUE(snake);
  ASSERT_TRUE(snake->innerValue);
  EXPECT_EQ(snake->innerValue->flag, true);
  ASSERT_TRUE(snake->innerList);

  // A custom mapper sees the full path, the last key as written.
  std::vector<std::string> seen;
  auto custom = decodeOuter(R"({"NAME":"n","innerValue":{"FLAG":true}})",
                            KeyDecodingStrategy::custom([&](const CodingPath& path) {
                              std::string joined;
                              for (const auto& k : path) joined += "/" + k.stringValue;
                              seen.push_back(joined);
                              std::string last = path.back().stringValue;
                              for (char& ch : last) ch = static_cast<char>(std::tolower(ch));
                              return AnyKey(last == "innervalue" ? std::string("innerValue") : last);
                            }));
  ASSERT_TRUE(custom) << custom.error().description();
  EXPECT_EQ(custom->innerValue->flag, true);
  EXPECT_EQ(seen, (std::vector<std::string>{"/NAME", "/innerValue", "/innerValue/FLAG"}));

  // Without a strategy the snake-case keys are simply unknown.
  auto plain = decodeOuter(R"({"name":"n","inner_value":{"flag":"bad"}})");
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->innerValue);
}

TEST(CodableTest, TwoWireKeysMappingToOneFieldTakeTheFirst) {
  auto result = decodeOuter(R"({"name":"n","inner_value":{"flag":true},"innerValue":{"flag":false}})",
                            KeyDecodingStrategy::convertFromSnakeCase());
  ASSERT_TRUE(result);
  EXPECT_EQ(result->innerValue->flag, true);
}

TEST(CodableTest, EncodingLeavesAbsentFieldsOutAndKeepsOrder) {
  Outer value{"n", std::nullopt, Inner{std::nullopt, 4}, std::vector<Inner>{}, std::nullopt, 0.5, Color::red};
  JSONEncoder encoder;
  EXPECT_EQ(encoder.encode(value).value(),
            R"({"name":"n","innerValue":{"count":4},"innerList":[],"ratio":0.5,"color":"Red"})");
  encoder.keyEncodingStrategy = KeyEncodingStrategy::convertToSnakeCase;
  EXPECT_EQ(encoder.encode(value).value(),
            R"({"name":"n","inner_value":{"count":4},"inner_list":[],"ratio":0.5,"color":"Red"})");
  EXPECT_EQ(encoder.encode(Inner{}).value(), "{}");
}

TEST(CodableTest, NumbersEncodeAsShortestTextAndNonFiniteIsRefused) {
  JSONEncoder encoder;
  EXPECT_EQ(encoder.encode(Sample{1700000000123.456, 10.0f, 100}).value(),
            R"({"time":1700000000123.456,"accuracy":10,"level":100})");
  EXPECT_EQ(encoder.encode(Sample{12.0, 0.1f, -1}).value(), R"({"time":12,"accuracy":0.1,"level":-1})");
  auto refused = encoder.encode(Sample{std::nan(""), 1.0f, 0});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().codingPath, "time");
  EXPECT_FALSE(encoder.encode(Sample{1.0, std::numeric_limits<float>::infinity(), 0}));
}

TEST(CodableTest, RoundTripThroughSnakeCase) {
  Outer value{"n",
              "note",
              Inner{true, 9},
              std::vector<Inner>{Inner{false, std::nullopt}},
              std::vector<std::string>{"a b", "ü"},
              1e-05,
              Color::darkBlue};
  JSONEncoder encoder;
  encoder.keyEncodingStrategy = KeyEncodingStrategy::convertToSnakeCase;
  auto text = encoder.encode(value);
  ASSERT_TRUE(text);
  auto back = decodeOuter(*text, KeyDecodingStrategy::convertFromSnakeCase());
  ASSERT_TRUE(back) << back.error().description();
  JSONEncoder plain;
  EXPECT_EQ(plain.encode(*back).value(), plain.encode(value).value());
}

// Nesting: more than kMaxDepth open structures are refused, however
// the structures mix; anything shallower parses, and other faults keep their own text.
TEST(CodableTest, ParseRefusesOverDeepNestingAtTheLimitExactly) {
  auto nested = [](int depth, const std::string& open, const std::string& inner, const std::string& close) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += open;
    text += inner;
    for (int i = 0; i < depth; ++i) text += close;
    return text;
  };
  struct Case {
    const char* what;
    std::string text;
    bool parses;
  };
  const std::vector<Case> cases = {
      {"far too deep, unclosed", std::string(100000, '['), false},
      {"arrays, a value at the limit", nested(kMaxDepth, "[", "1", "]"), true},
      {"arrays, a value past the limit", nested(kMaxDepth + 1, "[", "1", "]"), false},
      {"arrays, an empty one at the limit", nested(kMaxDepth, "[", "", "]"), true},
      {"arrays, an empty one past the limit", nested(kMaxDepth + 1, "[", "", "]"), false},
      {"objects, a key at the limit", nested(kMaxDepth - 1, "{\"a\":", "{\"k\":null}", "}"), true},
      {"objects, a key past the limit", nested(kMaxDepth, "{\"a\":", "{\"k\":null}", "}"), false},
      {"mixed, a string past the limit", nested(kMaxDepth / 2 + 1, "[{\"a\":", "\"x\"", "}]"), false},
      {"mixed, shallow", nested(kMaxDepth / 2, "[{\"a\":", "\"x\"", "}]"), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto result = parse(c.text);
    EXPECT_EQ(result.has_value(), c.parses);
    if (!result) {
      EXPECT_EQ(result.error().kind, Kind::dataCorrupted);
      EXPECT_TRUE(result.error().debugDescription.starts_with("The given data was not valid JSON"));
    }
  }
  for (const char* broken : {"[1,]", "{\"a\" 1}", "[1] 2", ""}) {
    auto result = parse(std::string_view(broken));
    ASSERT_FALSE(result) << broken;
    EXPECT_EQ(result.error().debugDescription.find("nesting deeper"), std::string::npos);
  }
}

// A long list of objects, as a large rule reply is, comes back whole and in order.
TEST(CodableTest, ParseKeepsALongListOfObjectsWholeAndInOrder) {
  std::string text = "{\"rules\":[";
  constexpr int kCount = 20000;
  for (int i = 0; i < kCount; ++i) text += (i ? "," : "") + std::string("{\"pk\":\"id") + std::to_string(i) + "\"}";
  text += "],\"z\":1,\"a\":2}";
  auto value = parse(text);
  ASSERT_TRUE(value);
  const auto& rules = (*value)["rules"];
  ASSERT_EQ(rules.size(), static_cast<std::size_t>(kCount));
  EXPECT_EQ(rules[0]["pk"], "id0");
  EXPECT_EQ(rules[kCount - 1]["pk"], "id" + std::to_string(kCount - 1));
  const auto back = serialize(*value);
  EXPECT_TRUE(back.ends_with("\"}],\"z\":1,\"a\":2}")) << "keys keep their order";
}

TEST(CodableTest, NestingIsCountedInContainersOutsideStrings) {
  const auto nested = [](int levels, const std::string& inner) {
    std::string text;
    for (int i = 1; i < levels; ++i) text += i % 2 ? "[" : "{\"k\":";
    text += levels % 2 ? "[" + inner + "]" : "{\"k\":" + (inner.empty() ? "0" : inner) + "}";
    for (int i = levels - 1; i >= 1; --i) text += i % 2 ? "]" : "}";
    return text;
  };
  struct Case {
    const char* name;
    std::string text;
    bool parses;
  };
  const Case cases[] = {
      {"the deepest accepted", nested(kMaxDepth, ""), true},
      {"the deepest accepted, a value inside", nested(kMaxDepth, "1"), true},
      {"one level more, empty inside", nested(kMaxDepth + 1, ""), false},
      {"one level more, a value inside", nested(kMaxDepth + 1, "1"), false},
      {"brackets inside a string do not count", R"([")" + std::string(1000, '[') + R"("])", true},
      {"an escaped quote does not end the string", R"([" \" )" + std::string(1000, '{') + R"("])", true},
      {"an escaped backslash before a quote does",
       std::string(kMaxDepth, '[') + R"(" \\",[])" + std::string(kMaxDepth, ']'), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = parse(c.text);
    EXPECT_EQ(result.has_value(), c.parses);
    if (!result) {
      EXPECT_EQ(result.error().kind, Kind::dataCorrupted);
    }
  }
  // Only the depth at a time counts: an array of many objects is not deep.
  std::string wide = "[";
  for (int i = 0; i < 1000; ++i) wide += std::string(i ? "," : "") + "{\"a\":[{}]}";
  wide += "]";
  const auto parsed = parse(wide);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->size(), 1000u);
}

TEST(CodableTest, FragmentsParseAndSerialize) {
  for (const char* text : {"3", "\"x\"", "null", "true", "-0.5", "{\"a\":[1,\"b\"]}"}) {
    auto value = parse(std::string_view(text));
    ASSERT_TRUE(value) << text;
    EXPECT_EQ(serialize(*value), text);
  }
}

}  // namespace
}  // namespace coding
