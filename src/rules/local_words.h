#pragma once
// The shipped word list: every word belongs to one content category. The list is the
// bundle resource "wordsSafeSearch" of type "json", read with a plain decoder (keys
// "local_words", "category", "word" exactly). A category that is not one of the 18
// display names, exact letter case, fails the whole list.
#include <array>
#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "coding/codable.h"

namespace rules {

inline constexpr const char* kWordListResourceName = "wordsSafeSearch";
inline constexpr const char* kWordListResourceType = "json";

// Content categories; the raw value of each is its display name, the same text the
// service uses as a category rule's name.
enum class Category {
  adult,
  artEntertainment,
  deceptivePhishing,
  discordantContent,
  drugs,
  gambling,
  game,
  healthFitness,
  illegalContent,
  inappropriate,
  newsWeatherInformation,
  porn,
  shopping,
  socialAffair,
  technologyComputing,
  tobacco,
  unethical,
  weapons,
};

}  // namespace rules

template <>
struct coding::RawEnum<rules::Category> {
  static constexpr const char* typeName = "Category";
  static constexpr std::array<std::pair<rules::Category, std::string_view>, 18> values{{
      {rules::Category::adult, "Adult"},
      {rules::Category::artEntertainment, "Art & Entertainment"},
      {rules::Category::deceptivePhishing, "Deceptive & Phishing"},
      {rules::Category::discordantContent, "Discordant Content"},
      {rules::Category::drugs, "Drugs"},
      {rules::Category::gambling, "Gambling"},
      {rules::Category::game, "Game"},
      {rules::Category::healthFitness, "Health & Fitness"},
      {rules::Category::illegalContent, "Illegal Content"},
      {rules::Category::inappropriate, "Inappropriate"},
      {rules::Category::newsWeatherInformation, "News & Weather & Information"},
      {rules::Category::porn, "Porn"},
      {rules::Category::shopping, "Shopping"},
      {rules::Category::socialAffair, "Social Affair"},
      {rules::Category::technologyComputing, "Technology & Computing"},
      {rules::Category::tobacco, "Tobacco"},
      {rules::Category::unethical, "Unethical"},
      {rules::Category::weapons, "Weapons"},
  }};
};

namespace rules {

// Every category, in declaration order.
inline constexpr std::array<Category, 18> kAllCategories = [] {
  std::array<Category, 18> out{};
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = coding::RawEnum<Category>::values[i].first;
  return out;
}();

// The display name of a category.
constexpr std::string_view rawValue(Category category) { return coding::rawValue(category); }
// The category with exactly this display name (case-sensitive), or none.
constexpr std::optional<Category> categoryFromRawValue(std::string_view text) {
  return coding::fromRawValue<Category>(text);
}

struct LocalWord {
  std::optional<Category> category;
  std::optional<std::string> word;

  static constexpr auto codingKeys() {
    return std::tuple{coding::field("category", &LocalWord::category), coding::field("word", &LocalWord::word)};
  }
  static constexpr const char* typeName = "LocalWord";
};

struct LocalWordsModel {
  std::optional<std::vector<LocalWord>> localWords;

  static constexpr auto codingKeys() { return std::tuple{coding::field("local_words", &LocalWordsModel::localWords)}; }
  static constexpr const char* typeName = "LocalWordsModel";
};

// The whole list or an error; one bad entry fails it all.
std::expected<LocalWordsModel, coding::DecodingError> decodeLocalWords(std::string_view text);
std::expected<LocalWordsModel, coding::DecodingError> decodeLocalWords(const coding::Bytes& bytes);

}  // namespace rules
