#include "rules/local_words.h"

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace rules {
namespace {

using Kind = coding::DecodingError::Kind;

std::string shippedList() {
  std::ifstream in(std::string(MOPET_SOURCE_DIR) + "/resources/" + kWordListResourceName + "." + kWordListResourceType,
                   std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(CategoryTest, RawValuesAreTheDisplayNamesAndRoundTrip) {
  EXPECT_EQ(rawValue(Category::adult), "Adult");
  EXPECT_EQ(rawValue(Category::newsWeatherInformation), "News & Weather & Information");
  EXPECT_EQ(rawValue(Category::weapons), "Weapons");
  std::set<std::string_view> names;
  for (Category c : kAllCategories) {
    EXPECT_EQ(categoryFromRawValue(rawValue(c)), c) << rawValue(c);
    names.insert(rawValue(c));
  }
  EXPECT_EQ(names.size(), 18u);
  EXPECT_NE(categoryFromRawValue("Game"), categoryFromRawValue("Gambling"));
  for (const char* text : {"adult", "ADULT", " Adult", "Adult ", "News & Weather", "Art and Entertainment", ""})
    EXPECT_FALSE(categoryFromRawValue(text)) << text;
}

TEST(LocalWordsTest, ShippedListDecodesAndCoversEveryCategory) {
  const std::string text = shippedList();
  ASSERT_FALSE(text.empty()) << "resource missing";
  auto list = decodeLocalWords(text);
  ASSERT_TRUE(list) << list.error().description();
  ASSERT_TRUE(list->localWords);

  std::map<Category, std::set<std::string>> byCategory;
  bool phrase = false;
  for (const auto& entry : *list->localWords) {
    ASSERT_TRUE(entry.category);
    ASSERT_TRUE(entry.word);
    EXPECT_FALSE(entry.word->empty());
    EXPECT_EQ(entry.word->find_first_not_of(' '), 0u) << *entry.word;  // no leading/trailing spaces
    EXPECT_EQ(entry.word->back() == ' ', false) << *entry.word;
    EXPECT_TRUE(byCategory[*entry.category].insert(*entry.word).second)
        << "duplicate " << *entry.word << " in " << rawValue(*entry.category);
    phrase = phrase || entry.word->find(' ') != std::string::npos;
  }
  EXPECT_TRUE(phrase);
  for (Category c : kAllCategories) {
    EXPECT_GE(byCategory[c].size(), 15u) << rawValue(c);
  }
  EXPECT_TRUE(byCategory[Category::gambling].count("online casino"));

  // Every entry carries both keys in the file itself, not just after decoding.
  const auto json = coding::parse(text).value();
  for (const auto& entry : json.at("local_words")) {
    EXPECT_TRUE(entry.contains("category") && entry.at("category").is_string()) << entry.dump();
    EXPECT_TRUE(entry.contains("word") && entry.at("word").is_string()) << entry.dump();
  }

  const coding::Bytes bytes(text.begin(), text.end());
  auto fromBytes = decodeLocalWords(bytes);
  ASSERT_TRUE(fromBytes);
  EXPECT_EQ(fromBytes->localWords->size(), list->localWords->size());
}

TEST(LocalWordsTest, DecodingEdgeCases) {
  auto empty = decodeLocalWords("{}");
  ASSERT_TRUE(empty);
  EXPECT_FALSE(empty->localWords);

  auto camel = decodeLocalWords(R"({"localWords":[{"category":"Adult","word":"x"}]})");
  ASSERT_TRUE(camel);
  EXPECT_FALSE(camel->localWords);

  auto emptyList = decodeLocalWords(R"({"local_words":[]})");
  ASSERT_TRUE(emptyList);
  ASSERT_TRUE(emptyList->localWords);
  EXPECT_TRUE(emptyList->localWords->empty());

  auto partial = decodeLocalWords(
      R"({"local_words":[{"category":null,"word":"w"},{"category":"Game"},{"category":"Gambling","word":"online casino","x":1}]})");
  ASSERT_TRUE(partial) << partial.error().description();
  const auto& words = *partial->localWords;
  ASSERT_EQ(words.size(), 3u);
  EXPECT_FALSE(words[0].category);
  EXPECT_EQ(words[0].word, "w");
  EXPECT_EQ(words[1].category, Category::game);
  EXPECT_FALSE(words[1].word);
  EXPECT_EQ(words[2].category, Category::gambling);
  EXPECT_EQ(words[2].word, "online casino");
}

TEST(LocalWordsTest, OneBadEntryFailsTheWholeList) {
  const struct {
    const char* json;
    Kind kind;
    const char* path;
  } cases[] = {
      {R"({"local_words":[{"category":"Adult","word":"a"},{"category":"adult","word":"b"}]})", Kind::dataCorrupted,
       "local_words[1].category"},
      {R"({"local_words":[{"category":"NEWS & WEATHER & INFORMATION","word":"b"}]})", Kind::dataCorrupted,
       "local_words[0].category"},
      {R"({"local_words":[{"category":"Videos","word":"b"}]})", Kind::dataCorrupted, "local_words[0].category"},
      {R"({"local_words":[{"category":3,"word":"b"}]})", Kind::typeMismatch, "local_words[0].category"},
      {R"({"local_words":[{"category":"Adult","word":["b"]}]})", Kind::typeMismatch, "local_words[0].word"},
      {R"({"local_words":[null]})", Kind::valueNotFound, "local_words[0]"},
      {R"({"local_words":{"category":"Adult"}})", Kind::typeMismatch, "local_words"},
      {R"([])", Kind::typeMismatch, ""},
  };
  for (const auto& c : cases) {
    auto result = decodeLocalWords(std::string_view(c.json));
    ASSERT_FALSE(result) << c.json;
    EXPECT_EQ(result.error().kind, c.kind) << c.json;
    EXPECT_EQ(result.error().codingPath, c.path) << c.json;
  }

  // The shipped list with one category in lower case is rejected as a whole.
  std::string text = shippedList();
  const auto at = text.find("\"Weapons\"");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, 9, "\"weapons\"");
  EXPECT_FALSE(decodeLocalWords(text));
}

TEST(LocalWordsTest, EncodingWritesDisplayNamesAndLeavesAbsentFieldsOut) {
  LocalWordsModel model{std::vector<LocalWord>{LocalWord{Category::artEntertainment, "anime"},
                                               LocalWord{std::nullopt, "w"}, LocalWord{Category::porn, std::nullopt}}};
  const std::string text = coding::JSONEncoder{}.encode(model).value();
  EXPECT_EQ(text,
            R"({"local_words":[{"category":"Art & Entertainment","word":"anime"},{"word":"w"},{"category":"Porn"}]})");
  auto back = decodeLocalWords(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(coding::JSONEncoder{}.encode(*back).value(), text);
  EXPECT_EQ(coding::JSONEncoder{}.encode(LocalWordsModel{}).value(), "{}");
}

}  // namespace
}  // namespace rules
