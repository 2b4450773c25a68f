#include "platform/proc_stat.h"

#include <gtest/gtest.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using platform::parseStat;
using platform::StatFields;

// The plain reading of a stat line, one character at a time: what the fast splitter
// must agree with on every line.
std::optional<StatFields> referenceParse(std::string_view text) {
  const auto open = text.find('(');
  const auto close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) return std::nullopt;
  std::vector<std::string_view> tokens;
  std::size_t start = std::string_view::npos;
  auto blank = [](char c) { return c == ' ' || c == '\n' || c == '\t'; };
  for (std::size_t i = close + 1; i <= text.size() && tokens.size() < 49; ++i) {
    if (i == text.size() || blank(text[i])) {
      if (start != std::string_view::npos) tokens.push_back(text.substr(start, i - start));
      start = std::string_view::npos;
    } else if (start == std::string_view::npos) {
      start = i;
    }
  }
  if (tokens.size() < 20 || tokens[0].size() != 1) return std::nullopt;
  StatFields fields;
  fields.comm = std::string(text.substr(open + 1, close - open - 1));
  fields.state = tokens[0][0];
  std::from_chars(tokens[6].data(), tokens[6].data() + tokens[6].size(), fields.flags);
  fields.startTime = std::string(tokens[19]);
  auto span = [&](std::size_t first, std::size_t last) {
    return text.substr(static_cast<std::size_t>(tokens[first].data() - text.data()),
                       static_cast<std::size_t>(tokens[last].data() + tokens[last].size() - tokens[first].data()));
  };
  if (tokens.size() == 49 && !(tokens[23] == "0" && tokens[24] == "0")) {
    fields.codeImage = span(23, 25);
    fields.dataImage = span(42, 48);
  }
  return fields;
}

void expectSame(const std::string& line) {
  SCOPED_TRACE(testing::Message() << "line: \"" << line << "\"");
  const auto fast = parseStat(line);
  const auto plain = referenceParse(line);
  ASSERT_EQ(fast.has_value(), plain.has_value());
  if (!fast) return;
  EXPECT_EQ(fast->comm, plain->comm);
  EXPECT_EQ(fast->state, plain->state);
  EXPECT_EQ(fast->flags, plain->flags);
  EXPECT_EQ(fast->startTime, plain->startTime);
  EXPECT_EQ(fast->codeImage, plain->codeImage);
  EXPECT_EQ(fast->dataImage, plain->dataImage);
}

// A line as the kernel writes it: 52 fields, the program image's addresses set.
std::string kernelLine(const std::string& comm) {
  std::string line = "4242 (" + comm + ") S";
  for (int field = 4; field <= 52; ++field) line += " " + std::to_string(field * 1000 + 7);
  return line + "\n";
}

TEST(ProcStat, AKernelLineGivesItsFields) {
  const std::string line = kernelLine("game (v2) x");
  const auto fields = parseStat(line);
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->comm, "game (v2) x");
  EXPECT_EQ(fields->state, 'S');
  EXPECT_EQ(fields->flags, 9007U);
  EXPECT_EQ(fields->startTime, "22007");
  EXPECT_EQ(fields->codeImage, "26007 27007 28007");
  EXPECT_EQ(fields->dataImage, "45007 46007 47007 48007 49007 50007 51007");
}

TEST(ProcStat, MalformedAndShortLinesAreRefusedOrReadAsFarAsTheyGo) {
  const std::vector<std::string> lines = {
      "",
      "4242 game S 1 2 3",
      "4242 )game( S" + std::string(40, ' ') + "1",
      "4242 (game) SS 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20",
      "4242 (game) S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18",
      "4242 (game) S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19",
      "4242 (game) Z 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0",
      // The image fields are zero for a process the kernel hides them of.
      [] {
        std::string line = "1 (x) R";
        for (int field = 4; field <= 52; ++field) line += field == 26 || field == 27 ? " 0" : " 5";
        return line;
      }(),
      "1 (a)\tR\t1\n2\n3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21",
      kernelLine(std::string(15, ')')),
      kernelLine(""),
  };
  for (const auto& line : lines) expectSame(line);
  EXPECT_FALSE(parseStat(""));
  EXPECT_FALSE(parseStat("4242 (game) S 1 2 3"));
}

// Lines of random fields and blanks, so that fields start and end on every side of the
// splitter's 8-, 16- and 64-character blocks, some run past a block's end and some
// lines end without a blank.
TEST(ProcStat, RandomLinesAreSplitAsTheyAreReadOneCharacterAtATime) {
  std::mt19937 random(20261211);
  const std::string blanks = " \t\n";
  // Parentheses after the name move where the fields start, so only some lines get them.
  const std::string plainCharacters = "0123456789abcdef-x\x01\xff";
  const std::string withParentheses = plainCharacters + "()";
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  for (int round = 0; round < 20000; ++round) {
    std::string line = std::to_string(pick(100000)) + " (";
    for (std::size_t i = pick(20); i > 0; --i) line += "ab )(\t"[pick(6)];
    line += ")";
    const std::string& other = round % 8 == 0 ? withParentheses : plainCharacters;
    const std::size_t fields = pick(60);
    for (std::size_t field = 0; field < fields; ++field) {
      for (std::size_t i = 1 + pick(3); i > 0; --i) line += blanks[pick(blanks.size())];
      std::size_t length = field == 0 && pick(4) != 0 ? 1 : 1 + pick(pick(8) == 0 ? 80 : 12);
      for (; length > 0; --length) line += other[pick(other.size())];
    }
    if (pick(2) == 0) line += "\n";
    expectSame(line);
    if (testing::Test::HasFailure()) return;
  }
}

}  // namespace
