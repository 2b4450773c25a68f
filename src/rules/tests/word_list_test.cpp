// The word list: list order, duplicates, first-occurrence removal, and the distinct
// words in the order of their first remaining occurrence.
#include "rules/word_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace rules {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// "+w" adds w, "-w" removes the first w.
void apply(WordList& list, const std::vector<std::string>& steps) {
  for (const auto& step : steps) {
    if (step[0] == '+') list.add(std::string_view(step).substr(1));
    else list.removeFirst(std::string_view(step).substr(1));
  }
}

TEST(WordListTest, KeepsListOrderAndDuplicatesAndRemovesTheFirstOccurrence) {
  struct Case {
    const char* name;
    std::vector<std::string> steps;
    std::vector<std::string> words;
    std::vector<std::string> distinct;
  };
  const Case cases[] = {
      {"empty", {}, {}, {}},
      {"duplicates kept", {"+a", "+b", "+a"}, {"a", "b", "a"}, {"a", "b"}},
      {"removal takes the first", {"+a", "+b", "+a", "-a"}, {"b", "a"}, {"b", "a"}},
      {"removal of an absent text does nothing", {"+a", "-b", "-"}, {"a"}, {"a"}},
      {"case-sensitive", {"+B", "-b"}, {"B"}, {"B"}},
      {"removal before the addition finds nothing", {"-a", "+a"}, {"a"}, {"a"}},
      {"the empty text is a word", {"+", "+", "-"}, {""}, {""}},
      {"removed down to nothing and added again", {"+a", "+b", "-a", "+a"}, {"b", "a"}, {"b", "a"}},
      {"an evenly repeated block", {"+x", "+y", "+x", "+y", "+x", "+y", "-x", "-y", "-x"}, {"y", "x", "y"}, {"y", "x"}},
      {"a run broken by another spacing",
       {"+a", "+b", "+a", "+b", "+b", "+a", "-a", "-a"},
       {"b", "b", "b", "a"},
       {"b", "a"}},
      {"spaces are kept", {"+free bet", "-freebet"}, {"free bet"}, {"free bet"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WordList list;
    apply(list, c.steps);
    EXPECT_EQ(list.words(), c.words);
    EXPECT_THAT(list.distinctWords(), ElementsAreArray(c.distinct));
    EXPECT_EQ(list.size(), c.words.size());
    EXPECT_EQ(list.empty(), c.words.empty());
  }
}

TEST(WordListTest, ClearAndAssignStartOver) {
  WordList list{"a", "b"};
  list.removeFirst("a");
  list = {"c", "b"};
  EXPECT_THAT(list.words(), ElementsAre("c", "b"));
  list.clear();
  EXPECT_THAT(list.words(), IsEmpty());
  EXPECT_THAT(list.distinctWords(), IsEmpty());
  list.add("b");
  EXPECT_THAT(list.words(), ElementsAre("b"));
}

// Against a plain vector, over mixes that make runs of every kind: blocks repeated
// evenly, blocks of other lengths between them, removals from the front of long runs.
TEST(WordListTest, AgreesWithAPlainListOverMixedBlocks) {
  const std::vector<std::vector<std::string>> blocks = {
      {"w", "s"}, {"s", "c"}, {"x", "x"}, {"w"}, {"a", "b", "c", "d", "e"}};
  std::mt19937 random(7);
  for (int round = 0; round < 50; ++round) {
    WordList list;
    std::vector<std::string> plain;
    for (int step = 0; step < 200; ++step) {
      const auto& block = blocks[random() % blocks.size()];
      const int repeat = 1 + static_cast<int>(random() % 6);
      const bool add = random() % 3 != 0;
      for (int r = 0; r < repeat; ++r) {
        for (const auto& word : block) {
          if (add) {
            list.add(word);
            plain.push_back(word);
          } else {
            list.removeFirst(word);
            auto found = std::find(plain.begin(), plain.end(), word);
            if (found != plain.end()) plain.erase(found);
          }
        }
      }
      ASSERT_EQ(list.size(), plain.size()) << "round " << round << " step " << step;
    }
    ASSERT_EQ(list.words(), plain) << "round " << round;
    std::vector<std::string> distinct;
    for (const auto& word : plain)
      if (std::find(distinct.begin(), distinct.end(), word) == distinct.end()) distinct.push_back(word);
    ASSERT_THAT(list.distinctWords(), ElementsAreArray(distinct)) << "round " << round;
  }
}

}  // namespace
}  // namespace rules
