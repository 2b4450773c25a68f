#include "rules/time_rules.h"

#include <string>
#include <string_view>
#include <type_traits>

#include <gtest/gtest.h>

namespace rules {
namespace {

using Kind = coding::DecodingError::Kind;

template <class T>
std::expected<T, coding::DecodingError> decode(std::string_view json) {
  return coding::JSONDecoder{}.decode<T>(json);
}

template <class T>
std::string encoded(const T& value) {
  return coding::JSONEncoder{}.encode(value).value();
}

constexpr std::string_view kFull =
    R"({"_id":"r1","rule_type":"BLACK_LIST",)"
    R"("application":{"_id":"a1","child_id":"c","device_id":"d","current_version":"1.2","first_installed_time":"2024-01-01","name":"Chess","pk":"org.example.chess","status":"active"},)"
    R"("days":[{"day":"monday","start_time":"08:00","end_time":"12:00","duration":"240","_id":"d1"}],)"
    R"("parent_id":"p","device_id":"d","child_id":"c","deleted":false,"createdAt":"t1","updatedAt":"t2","__v":7,"zones":["home","school"]})";

TEST(TimeRulesTest, FullRecordRoundTripsForBothLists) {
  auto black = decode<Black_list>(kFull);
  ASSERT_TRUE(black) << black.error().description();
  EXPECT_EQ(black->_id, "r1");
  EXPECT_EQ(black->_v, 7);
  EXPECT_EQ(black->deleted, false);
  EXPECT_EQ(black->application->first_installed_time, "2024-01-01");
  EXPECT_EQ(black->days->at(0)._id, "d1");
  EXPECT_EQ(black->zones->at(1), "school");
  EXPECT_EQ(encoded(*black), kFull);

  auto white = decode<Wihte_list>(kFull);
  ASSERT_TRUE(white);
  EXPECT_EQ(encoded(*white), encoded(*black));
  static_assert(!std::is_same_v<Black_list, Wihte_list>);
}

TEST(TimeRulesTest, AbsentNullAndEmptyStayDistinct) {
  auto empty = decode<Black_list>("{}");
  ASSERT_TRUE(empty);
  EXPECT_FALSE(empty->days);
  EXPECT_FALSE(empty->application);
  EXPECT_EQ(encoded(*empty), "{}");

  auto values = decode<Wihte_list>(
      R"({"_id":null,"days":[],"zones":[],"application":{},"deleted":null,"__v":null,"extra":{"x":1}})");
  ASSERT_TRUE(values);
  EXPECT_FALSE(values->_id);
  ASSERT_TRUE(values->days);
  EXPECT_TRUE(values->days->empty());
  EXPECT_EQ(encoded(*values), R"({"application":{},"days":[],"zones":[]})");

  // Keys differing only in form are unknown: no mapper applies here.
  auto forms = decode<Black_list>(
      R"({"id":"r","v":3,"ruleType":"BLACK_LIST","parentId":"p","created_at":"t","application":{"id":"a","firstInstalledTime":"x"},"days":[{"startTime":"1","id":"d"}]})");
  ASSERT_TRUE(forms);
  EXPECT_EQ(encoded(*forms), R"({"application":{},"days":[{}]})");
}

TEST(TimeRulesTest, WrongTypeAnywhereFailsTheWholeRecord) {
  const struct {
    const char* json;
    Kind kind;
    const char* path;
  } cases[] = {
      {R"({"_id":5})", Kind::typeMismatch, "_id"},
      {R"({"rule_type":true})", Kind::typeMismatch, "rule_type"},
      {R"({"application":{"first_installed_time":1700000000}})", Kind::typeMismatch,
       "application.first_installed_time"},
      {R"({"deleted":"false"})", Kind::typeMismatch, "deleted"},
      {R"({"deleted":0})", Kind::typeMismatch, "deleted"},
      {R"({"__v":"1"})", Kind::typeMismatch, "__v"},
      {R"({"__v":1.5})", Kind::dataCorrupted, "__v"},
      {R"({"days":{}})", Kind::typeMismatch, "days"},
      {R"({"zones":{}})", Kind::typeMismatch, "zones"},
      {R"({"days":[{},"monday"]})", Kind::typeMismatch, "days[1]"},
      {R"({"days":[{"duration":60}]})", Kind::typeMismatch, "days[0].duration"},
      {R"({"days":[null]})", Kind::valueNotFound, "days[0]"},
      {R"({"_id":"r","rule_type":"t","application":{},"days":[],"parent_id":"p","device_id":"d","child_id":"c","deleted":true,"createdAt":"a","updatedAt":"b","__v":1,"zones":5})",
       Kind::typeMismatch, "zones"},
      {R"({"zones":["a",null]})", Kind::valueNotFound, "zones[1]"},
      // Fields are read in order: the first failing one is reported.
      {R"({"zones":5,"_id":5})", Kind::typeMismatch, "_id"},
      {R"([])", Kind::typeMismatch, ""},
  };
  for (const auto& c : cases) {
    auto black = decode<Black_list>(c.json);
    auto white = decode<Wihte_list>(c.json);
    ASSERT_FALSE(black) << c.json;
    ASSERT_FALSE(white) << c.json;
    for (const auto& error : {black.error(), white.error()}) {
      EXPECT_EQ(error.kind, c.kind) << c.json << " -> " << error.description();
      EXPECT_EQ(error.codingPath, c.path) << c.json;
    }
  }
}

}  // namespace
}  // namespace rules
