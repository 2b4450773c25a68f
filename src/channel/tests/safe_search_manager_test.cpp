// The safe-search engine: word-list building, the content-blocker file, the fetch and
// its failures, the word-list cache.
#include "channel/safe_search_manager.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "networks/shared_settings.h"
#include "networks/url_protocol_stub.h"
#include "platform/bundle.h"
#include "platform/fakes/capturing_log_sink.h"
#include "platform/fakes/fake_content_blocker.h"
#include "platform/file_manager.h"
#include "platform/user_defaults.h"
#include "support/held_replies.h"
#include "support/scoped_shared_suite.h"
#include "support/temp_files.h"

namespace channel {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

platform::URLSessionConfiguration stubbedConfiguration() {
  platform::URLSessionConfiguration configuration;
  configuration.protocolClasses = {platform::URLProtocolClass::of<networks::URLProtocolStub>()};
  return configuration;
}

// A small word list: two-part words, a word in two categories, a duplicate, a word of
// spaces only, a tab inside a word.
constexpr const char* kFixtureWords = R"({"local_words": [
  {"category": "Gambling", "word": "free bet"},
  {"category": "Gambling", "word": "casino"},
  {"category": "Drugs", "word": "weed"},
  {"category": "Drugs", "word": "snus"},
  {"category": "Tobacco", "word": "snus"},
  {"category": "Tobacco", "word": "cigar"},
  {"category": "Adult", "word": "xxx"},
  {"category": "Adult", "word": "xxx"},
  {"category": "Game", "word": "   "},
  {"category": "Weapons", "word": "gun\tshop"},
  {"category": "Porn"},
  {"word": "orphan"}
]})";

// Rule-set texts as the service sends them (snake-case keys, mapped by the runner).
std::string category(const std::string& name, bool blocked) {
  return R"({"_id":"c","name":)" + coding::serialize(coding::Json(name)) + R"(,"rule":{"is_blocked":)" +
         (blocked ? "true" : "false") + "}}";
}
std::string exception(const std::string& word, bool blocked) {
  return R"({"_id":"e","word":)" + coding::serialize(coding::Json(word)) + R"(,"rule":{"is_blocked":)" +
         (blocked ? "true" : "false") + "}}";
}
std::string join(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : ",") + item;
  return out;
}
std::string ruleSet(const std::vector<std::string>& categories, const std::vector<std::string>& exceptions,
                    const std::string& active = "true") {
  return R"({"category_rules":[)" + join(categories) + R"(],"exceptions":[)" + join(exceptions) + R"(],"is_active":)" +
         active + "}";
}

rules::SafeSearchRulesBase decodeRules(const std::string& text) {
  networks::NetworkManager runner;
  coding::JSONDecoder decoder;
  decoder.keyDecodingStrategy = coding::KeyDecodingStrategy::custom(
      [&](const coding::CodingPath& path) { return runner.customDecoingStrategy(path); });
  auto decoded = decoder.decode<rules::SafeSearchRulesBase>(std::string_view(text));
  EXPECT_TRUE(decoded) << text;
  return decoded ? *decoded : rules::SafeSearchRulesBase{};
}

class SafeSearchManagerTest : public ::testing::Test {
 protected:
  platform::CapturedOutput output_;  // the printed lines; first in, last out

  SafeSearchManagerTest() : session_(stubbedConfiguration()), engine_(session_, blocker_, home_.files()) {
    resources_ = home_.path() / "resources";
    fs::create_directories(resources_);
    writeWords(kFixtureWords);
    platform::Bundle::main().setResourcePath(resources_.string());
    setToken("tok-1");
    blocker_.setHoldsCompletions(true);
  }
  ~SafeSearchManagerTest() override {
    platform::Bundle::main().setResourcePath("");
    networks::URLProtocolStub::removeStub();
  }

  void writeWords(const std::string& text) { writeFile(resources_ / "wordsSafeSearch.json", text); }

  void setToken(std::optional<std::string> token) {
    auto& suite = suite_.suite();
    if (token) suite.set(std::string(networks::kSharedChildToken), *token);
    else suite.removeObject(std::string(networks::kSharedChildToken));
  }

  void reply(int status, const std::string& body) {
    networks::URLProtocolStub::stub(
        platform::toData(body),
        std::make_shared<platform::HTTPURLResponse>("https://x/", status, platform::HeaderList{}), std::nullopt);
  }

  // Builds the word list from a rule-set text; returns the printed lines.
  std::vector<std::string> parse(const std::string& rules, bool* validated = nullptr) {
    const auto decoded = decodeRules(rules);
    output_.clear();
    const bool ok = engine_.parseSafeSearchRules(decoded);
    if (validated) *validated = ok;
    return output_.take();
  }

  std::vector<std::string> pass() {
    output_.clear();
    engine_.startSafeSearchProcedure();
    return output_.take();
  }

  fs::path blockerFile() const {
    return home_.path() / "Library/Group Containers/group.so.velmorhome.mopet/safeSearchBlocker.json";
  }

  // The "url-filter" values of the file, checking the shape of every rule.
  std::vector<std::string> fileWords() const {
    auto json = coding::parse(readFile(blockerFile()));
    EXPECT_TRUE(json && json->is_array());
    std::vector<std::string> out;
    if (!json || !json->is_array()) return out;
    for (const auto& rule : *json) {
      EXPECT_EQ(rule.size(), 2u);
      EXPECT_EQ(rule.at("action"), coding::Json({{"type", "block"}}));
      EXPECT_EQ(rule.at("trigger").size(), 1u);
      out.push_back(rule.at("trigger").at("url-filter").get<std::string>());
    }
    return out;
  }

  testsupport::TempFiles home_;
  testsupport::ScopedSharedSuite suite_;
  fs::path resources_;
  platform::URLSession session_;
  platform::FakeContentBlockerManager blocker_;
  CSafeSearchManager engine_;
};

TEST_F(SafeSearchManagerTest, WordListRulesOverFixture) {
  struct Case {
    const char* name;
    std::vector<std::string> categories;
    std::vector<std::string> exceptions;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"no category rules: only blocked exceptions", {}, {exception("a b", true), exception("c", false)}, {"a b"}},
      {"spaces removed from category words, tab kept",
       {category("Gambling", true), category("Weapons", true)},
       {},
       {"freebet", "casino", "gun\tshop"}},
      {"exception with the space does not cancel",
       {category("Gambling", true)},
       {exception("free bet", false)},
       {"freebet", "casino"}},
      {"exception without the space cancels", {category("Gambling", true)}, {exception("freebet", false)}, {"casino"}},
      {"duplicates kept, one exception removes one", {category("Adult", true)}, {exception("xxx", false)}, {"xxx"}},
      {"blocked then allowed same category cancels", {category("Drugs", true), category("Drugs", false)}, {}, {}},
      {"allowed first finds nothing to remove",
       {category("Drugs", false), category("Drugs", true)},
       {},
       {"weed", "snus"}},
      {"word in two categories, allowed second removes",
       {category("Drugs", true), category("Tobacco", false)},
       {},
       {"weed"}},
      {"word in two categories, allowed first keeps it",
       {category("Tobacco", false), category("Drugs", true)},
       {},
       {"weed", "snus"}},
      {"lower-case name matches nothing", {category("adult", true), category("Gambling ", true)}, {}, {}},
      {"word of spaces only becomes empty", {category("Game", true)}, {}, {""}},
      {"word without text or category contributes nothing", {category("Porn", true)}, {}, {}},
      {"exception removes a word of an earlier exception",
       {},
       {exception("x", true), exception("x", true), exception("x", false)},
       {"x"}},
      {"allowed exception before its blocked twin removes nothing",
       {},
       {exception("x", false), exception("x", true)},
       {"x"}},
      {"duplicates kept without an exception", {category("Adult", true)}, {}, {"xxx", "xxx"}},
      {"a category named again adds its words again",
       {category("Gambling", true), category("Drugs", true), category("Gambling", true)},
       {},
       {"freebet", "casino", "weed", "snus", "freebet", "casino"}},
      {"blocked twice then allowed leaves one copy",
       {category("Drugs", true), category("Drugs", true), category("Drugs", false)},
       {},
       {"weed", "snus"}},
      {"blocked again after being allowed",
       {category("Drugs", true), category("Drugs", false), category("Drugs", true), category("Drugs", true)},
       {},
       {"weed", "snus", "weed", "snus"}},
      {"a word of two blocked categories occurs twice",
       {category("Drugs", true), category("Tobacco", true)},
       {},
       {"weed", "snus", "snus", "cigar"}},
      {"one allowed exception of a word two blocked categories share removes one copy",
       {category("Drugs", true), category("Tobacco", true)},
       {exception("snus", false)},
       {"weed", "snus", "cigar"}},
      {"an allowed category takes the first copy of a shared word",
       {category("Tobacco", true), category("Drugs", true), category("Drugs", false)},
       {},
       {"cigar", "snus"}},
      {"a shared word goes when both its categories are allowed",
       {category("Tobacco", true), category("Drugs", true), category("Tobacco", false), category("Drugs", false)},
       {},
       {}},
      {"a category's own repeated word, blocked twice",
       {category("Adult", true), category("Adult", true)},
       {},
       {"xxx", "xxx", "xxx", "xxx"}},
      {"an exception equal to a category word is a copy of its own",
       {category("Drugs", true)},
       {exception("weed", true)},
       {"weed", "snus", "weed"}},
      {"an allowed exception takes the category's copy, not the later exception's",
       {category("Drugs", true)},
       {exception("weed", true), exception("weed", false)},
       {"snus", "weed"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    engine_.parsedLines = {"left over"};
    bool validated = false;
    parse(ruleSet(c.categories, c.exceptions), &validated);
    EXPECT_TRUE(validated);
    EXPECT_EQ(engine_.parsedLines.words(), c.expected);
  }
}

TEST_F(SafeSearchManagerTest, ValidationDecidesWhetherTheListIsRebuilt) {
  struct Case {
    const char* text;
    bool valid;
  };
  const Case cases[] = {
      {R"({"category_rules":[],"is_active":false})", true},
      {R"({"category_rules":[],"is_active":true,"exceptions":[]})", true},
      {R"({"exceptions":[],"is_active":true})", false},
      {R"({"category_rules":[],"exceptions":[]})", false},
      {R"({})", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    engine_.parsedLines = {"kept"};
    bool validated = !c.valid;
    const auto printed = parse(c.text, &validated);
    EXPECT_EQ(validated, c.valid);
    EXPECT_EQ(engine_.parsedLines.words(), c.valid ? std::vector<std::string>{} : std::vector<std::string>{"kept"});
    EXPECT_THAT(printed, IsEmpty());
  }
}

TEST_F(SafeSearchManagerTest, PrintsOneLinePerCategoryRuleAndExceptionAndSkipsIncompleteEntries) {
  const std::string text = R"({"is_active":true,"category_rules":[
      {"name":"Gambling","rule":{"is_blocked":true}},
      {"name":"Nope","rule":{"is_blocked":false}},
      {"rule":{"is_blocked":true}},
      {"name":"Drugs"},
      {"name":"Drugs","rule":{}}],
    "exceptions":[
      {"word":"free bet","rule":{"is_blocked":false}},
      {"word":"casino"},
      {"rule":{"is_blocked":true}},
      {"word":"ok","rule":{"is_blocked":true}}]})";
  EXPECT_THAT(parse(text), ElementsAre("ZOREK WAS HERE: CATEGORY NAME Optional(\"Gambling\") - is blocked: true",
                                       "ZOREK WAS HERE: CATEGORY NAME Optional(\"Nope\") - is blocked: false",
                                       "word: free bet - isWordBlocked: false", "word: ok - isWordBlocked: true"));
  EXPECT_THAT(engine_.parsedLines.words(), ElementsAre("freebet", "casino", "ok"));
}

TEST_F(SafeSearchManagerTest, ShippedWordListBlocksEveryCategoryWithSpacesRemoved) {
  platform::Bundle::main().setResourcePath("");
  ASSERT_TRUE(platform::Bundle::main().path("wordsSafeSearch", "json"));
  // The expected list, computed from the resource independently.
  const auto shipped = coding::parse(readFile(fs::path(MOPET_SOURCE_DIR) / "resources/wordsSafeSearch.json"));
  ASSERT_TRUE(shipped);
  std::vector<std::string> categories;
  std::vector<std::string> expected;
  for (const auto c : rules::kAllCategories) {
    categories.push_back(category(std::string(rules::rawValue(c)), true));
    for (const auto& entry : shipped->at("local_words")) {
      if (entry.at("category") != rules::rawValue(c)) continue;
      auto word = entry.at("word").get<std::string>();
      std::erase(word, ' ');
      expected.push_back(word);
    }
  }
  ASSERT_GT(expected.size(), 100u);
  const auto printed = parse(ruleSet(categories, {}));
  EXPECT_EQ(printed.size(), 18u);
  EXPECT_EQ(engine_.parsedLines.words(), expected);
  const auto copies = [&](const std::string& word) {
    const auto words = engine_.parsedLines.words();
    return std::count(words.begin(), words.end(), word);
  };
  // Listed under "Adult" and "Porn": once for each.
  EXPECT_EQ(copies("porn"), 2);
  EXPECT_EQ(engine_.wordListLoads(), 1u);

  // Allowing "Porn" after blocking "Adult" takes "porn" away again; the other order
  // keeps it.
  parse(ruleSet({category("Adult", true), category("Porn", false)}, {}));
  EXPECT_EQ(copies("porn"), 0);
  EXPECT_EQ(copies("adultcontent"), 1);
  parse(ruleSet({category("Porn", false), category("Adult", true)}, {}));
  EXPECT_EQ(copies("porn"), 1);
  EXPECT_EQ(engine_.wordListLoads(), 1u);
}

TEST_F(SafeSearchManagerTest, UnusableResourceContributesNothingButExceptionsApply) {
  const std::string rules = ruleSet({category("Gambling", true), category("Drugs", true)}, {exception("e", true)});
  struct Case {
    const char* name;
    std::function<void()> prepare;
    bool decodeReported;
  };
  const Case cases[] = {
      {"invalid UTF-8",
       [&] { writeWords(std::string(R"({"local_words":[{"category":"Drugs","word":")") + "\xff" + "\"}]}"); }, false},
      {"unknown category fails the list", [&] { writeWords(R"({"local_words":[{"category":"drugs","word":"w"}]})"); },
       true},
      {"no local_words", [&] { writeWords("{}"); }, false},
      {"not JSON", [&] { writeWords("nope"); }, true},
      // Right after a list that did not decode: a missing one is not called undecodable.
      {"missing", [&] { fs::remove(resources_ / "wordsSafeSearch.json"); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeWords(kFixtureWords);
    c.prepare();
    const auto printed = parse(rules);
    EXPECT_THAT(engine_.parsedLines.words(), ElementsAre("e"));
    ASSERT_GE(printed.size(), 3u);
    EXPECT_THAT(printed.front(), HasSubstr("Gambling"));
    EXPECT_EQ(printed.back(), "word: e - isWordBlocked: true");
    // A list that does not decode is reported once per pass, not once per rule.
    EXPECT_EQ(printed.size(), c.decodeReported ? 4u : 3u);
    if (c.decodeReported) {
      EXPECT_THAT(printed[1], HasSubstr("word list does not decode"));
    }
  }
}

TEST_F(SafeSearchManagerTest, UnreadableResourcePrintsTheErrorForEveryCategoryRule) {
  fs::remove(resources_ / "wordsSafeSearch.json");
  fs::create_directory(resources_ / "wordsSafeSearch.json");  // found, but cannot be read as a file
  const auto printed = parse(ruleSet({category("Gambling", true), category("Drugs", false)}, {exception("e", true)}));
  ASSERT_EQ(printed.size(), 5u);
  EXPECT_THAT(printed[1], HasSubstr("wordsSafeSearch.json"));
  EXPECT_EQ(printed[1], printed[3]);
  EXPECT_THAT(engine_.parsedLines.words(), ElementsAre("e"));
}

TEST_F(SafeSearchManagerTest, WordListIsReadAgainOnlyWhenTheFileChanged) {
  const std::string rules =
      ruleSet({category("Gambling", true), category("Drugs", true), category("Gambling", false)}, {});
  parse(rules);
  parse(rules);
  EXPECT_EQ(engine_.wordListLoads(), 1u);
  EXPECT_THAT(engine_.parsedLines.words(), ElementsAre("weed", "snus"));

  // Same size, rewritten in place, modification time put back: still noticed.
  const auto path = resources_ / "wordsSafeSearch.json";
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  std::string text = readFile(path);
  text.replace(text.find("weed"), 4, "kush");
  writeFile(path, text);
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  parse(rules);
  EXPECT_EQ(engine_.wordListLoads(), 2u);
  EXPECT_THAT(engine_.parsedLines.words(), ElementsAre("kush", "snus"));

  // Replaced by another file.
  writeFile(resources_ / "next.json", R"({"local_words":[{"category":"Drugs","word":"a b"}]})");
  fs::rename(resources_ / "next.json", path);
  parse(rules);
  EXPECT_EQ(engine_.wordListLoads(), 3u);
  EXPECT_THAT(engine_.parsedLines.words(), ElementsAre("ab"));

  // Gone, then back.
  fs::remove(path);
  parse(rules);
  EXPECT_THAT(engine_.parsedLines.words(), IsEmpty());
  writeFile(path, kFixtureWords);
  parse(rules);
  EXPECT_THAT(engine_.parsedLines.words(), ElementsAre("weed", "snus"));
}

TEST_F(SafeSearchManagerTest, WordListOperations) {
  engine_.addWordToSafeSearch("a");
  engine_.addWordToSafeSearch("B");
  engine_.addWordToSafeSearch("a");
  engine_.removeWordFromSafeSearch("b");  // case-sensitive: nothing
  engine_.removeWordFromSafeSearch("zz");
  EXPECT_THAT(engine_.parsedLines.words(), ElementsAre("a", "B", "a"));
  engine_.removeWordFromSafeSearch("a");
  EXPECT_THAT(engine_.parsedLines.words(), ElementsAre("B", "a"));
  engine_.resetWordList();
  EXPECT_THAT(engine_.parsedLines.words(), IsEmpty());
}

TEST_F(SafeSearchManagerTest, LocalFileCheck) {
  const auto path = resources_ / "wordsSafeSearch.json";
  struct Case {
    const char* name;
    std::function<void()> prepare;
    bool readable;
    bool printsError;
  };
  const Case cases[] = {
      {"fixture", [] {}, true, false},
      {"does not decode: still readable", [&] { writeFile(path, "[1,2"); }, true, false},
      {"invalid UTF-8", [&] { writeFile(path, "\xc3\x28"); }, false, false},
      {"missing", [&] { fs::remove(path); }, false, false},
      {"a folder",
       [&] {
         fs::remove(path);
         fs::create_directory(path);
       },
       false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(path);
    writeFile(path, kFixtureWords);
    c.prepare();
    output_.clear();
    EXPECT_EQ(engine_.parseWordsFromLocalFile(), c.readable);
    EXPECT_EQ(output_.take().size(), c.printsError ? 1u : 0u);
    EXPECT_THAT(engine_.parsedLines.words(), IsEmpty());
  }
  fs::remove_all(path);
}

TEST_F(SafeSearchManagerTest, PassWritesTheListPrintsInOrderAndReloads) {
  reply(200, ruleSet({category("Gambling", true)}, {exception("a.*b?[c]", true), exception("\"q\" \\ é", true),
                                                    exception("casino", true), exception("", true)}));
  const auto printed = pass();
  const std::string url = "file://" + home_.path().string() +
                          "/Library/Group%20Containers/group.so.velmorhome.mopet/safeSearchBlocker.json";
  EXPECT_THAT(printed, ElementsAreArray(std::vector<std::string>{
                           "migratedData tok-…",
                           "ZOREK WAS HERE: CATEGORY NAME Optional(\"Gambling\") - is blocked: true",
                           "word: a.*b?[c] - isWordBlocked: true",
                           "word: \"q\" \\ é - isWordBlocked: true",
                           "word: casino - isWordBlocked: true",
                           "word:  - isWordBlocked: true",
                           "Successfuly validated rules",
                           "Adding word freebet",
                           "Adding word casino",
                           "Adding word a.*b?[c]",
                           "Adding word \"q\" \\ é",
                           "Adding word ",
                           "1 " + url,
                           "2",
                           "3",
                           "5",
                       }));
  // "casino", blocked by the category and by an exception, makes one rule at its first
  // place; the empty word is told and left out.
  EXPECT_THAT(fileWords(), ElementsAre("freebet", "casino", "a.*b?[c]", "\"q\" \\ é"));
  EXPECT_THAT(readFile(blockerFile()), HasSubstr("\n  {\n"));  // pretty-printed
  EXPECT_THAT(blocker_.reloads(), ElementsAre(kSafeSearchExtensionIdentifier));

  output_.clear();
  EXPECT_EQ(blocker_.releasePending(), 1u);
  EXPECT_THAT(output_.take(), ElementsAre("reloadContentBlocker:  error in sfcontentblocker nil", "4"));
}

TEST_F(SafeSearchManagerTest, TheFileHoldsEachDistinctWordOnceAtItsFirstRemainingPlace) {
  struct Case {
    const char* name;
    std::vector<std::string> categories;
    std::vector<std::string> exceptions;
    std::vector<std::string> file;
  };
  const Case cases[] = {
      {"duplicates of one category", {category("Adult", true)}, {}, {"xxx"}},
      {"blocked, blocked, allowed: one copy left",
       {category("Drugs", true), category("Drugs", true), category("Drugs", false)},
       {},
       {"weed", "snus"}},
      {"two categories sharing a word, one copy allowed",
       {category("Drugs", true), category("Tobacco", true)},
       {exception("snus", false)},
       {"weed", "snus", "cigar"}},
      // The first "weed" is removed: the word now stands where its second copy does.
      {"the first place is the first remaining one",
       {category("Drugs", true)},
       {exception("cigar", true), exception("weed", true), exception("weed", false)},
       {"snus", "cigar", "weed"}},
      {"every copy removed", {category("Drugs", true)}, {exception("weed", false), exception("weed", false)}, {"snus"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reply(200, ruleSet(c.categories, c.exceptions));
    const auto printed = pass();
    EXPECT_EQ(fileWords(), c.file);
    std::vector<std::string> adding;
    for (const auto& line : printed)
      if (line.starts_with("Adding word ")) adding.push_back(line.substr(12));
    EXPECT_EQ(adding, c.file);
  }
}

TEST_F(SafeSearchManagerTest, AReplyNamingACategoryManyTimesWritesItsWordsOnce) {
  std::vector<std::string> categories(20000, category("Gambling", true));
  categories.push_back(category("Adult", true));
  categories.push_back(category("Gambling", true));
  reply(200, ruleSet(categories, {exception("casino", true)}));
  // A reply this large takes seconds to decode in a sanitizer build: the pass waits for it.
  engine_.setReplyWaitLimit(std::chrono::seconds(60));
  const auto printed = pass();
  // The list holds every copy; the file and its lines one of each word.
  EXPECT_EQ(engine_.parsedLines.size(), 2u * 20001 + 2 + 1);
  EXPECT_THAT(fileWords(), ElementsAre("freebet", "casino", "xxx"));
  const auto adding = std::count_if(printed.begin(), printed.end(),
                                    [](const std::string& line) { return line.starts_with("Adding word "); });
  EXPECT_EQ(adding, 3);
  // Every entry of the reply is still told, once.
  const auto told = std::count(printed.begin(), printed.end(),
                               "ZOREK WAS HERE: CATEGORY NAME Optional(\"Gambling\") - is blocked: true");
  EXPECT_EQ(told, 20001);
}

TEST_F(SafeSearchManagerTest, EmptyListWritesAnEmptyArrayAndStillReloads) {
  for (const auto& exceptions : {std::vector<std::string>{}, {exception("", true), exception("", true)}}) {
    reply(200, ruleSet({}, exceptions));
    const auto printed = pass();
    // Two empty words are one distinct word: told once, left out of the file.
    EXPECT_EQ(std::count(printed.begin(), printed.end(), "Adding word "), exceptions.empty() ? 0 : 1);
    EXPECT_EQ(coding::parse(readFile(blockerFile())).value(), coding::Json::array());
  }
  EXPECT_EQ(blocker_.reloads().size(), 2u);
}

TEST_F(SafeSearchManagerTest, ReloadFailureIsPrinted) {
  blocker_.setHoldsCompletions(false);
  blocker_.setAnswersSynchronously(true);
  blocker_.failNextReload(platform::Error{platform::kContentBlockerErrorDomain,
                                          platform::ContentBlockerErrorCode::noExtensionFound, "No extension found."});
  reply(200, ruleSet({}, {}));
  const auto printed = pass();
  EXPECT_THAT(printed, ::testing::Contains("reloadContentBlocker:  No extension found."));
}

TEST_F(SafeSearchManagerTest, ListReplacesTheFileAtomically) {
  reply(200, ruleSet({}, {exception("old", true)}));
  pass();
  const std::string oldText = readFile(blockerFile());
  const int fd = ::open(blockerFile().c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);

  reply(200, ruleSet({}, {exception("new", true), exception("newer", true)}));
  pass();
  EXPECT_THAT(fileWords(), ElementsAre("new", "newer"));
  // A reader that opened the old list still reads all of it.
  std::string seen(oldText.size() + 16, '\0');
  const auto n = ::pread(fd, seen.data(), seen.size(), 0);
  ::close(fd);
  ASSERT_GE(n, 0);
  seen.resize(static_cast<std::size_t>(n));
  EXPECT_EQ(seen, oldText);
  // No temporary file is left beside it.
  for (const auto& entry : fs::directory_iterator(blockerFile().parent_path())) {
    EXPECT_THAT(entry.path().filename().string(), ::testing::AnyOf("safeSearchBlocker.json", "Library"));
  }
}

TEST_F(SafeSearchManagerTest, FailedWriteIsReportedAndTheReloadStillHappens) {
  const auto container = blockerFile().parent_path();
  fs::create_directories(container);
  fs::create_directory(blockerFile());  // a folder where the file should be
  reply(200, ruleSet({}, {exception("w", true)}));
  const auto printed = pass();
  ASSERT_GE(printed.size(), 4u);
  EXPECT_THAT(std::vector(printed.end() - 4, printed.end()),
              ElementsAre(::testing::StartsWith("1 file://"), "error writing json data to safe search extension path",
                          "3", "5"));
  EXPECT_EQ(blocker_.reloads().size(), 1u);
}

TEST_F(SafeSearchManagerTest, FetchOutcomesDecideWhetherAPassRuns) {
  // No token and no earlier success: nothing at all.
  setToken(std::nullopt);
  reply(200, ruleSet({}, {exception("a", true)}));
  EXPECT_THAT(pass(), IsEmpty());
  EXPECT_FALSE(engine_.rq_success);
  EXPECT_FALSE(fs::exists(blockerFile()));

  // A success stores the rules and writes.
  setToken("tok-1");
  pass();
  EXPECT_TRUE(engine_.rq_success);
  EXPECT_THAT(fileWords(), ElementsAre("a"));

  // Without a token the stored rules are used again and the file rewritten.
  setToken(std::nullopt);
  fs::remove(blockerFile());
  const auto again = pass();
  EXPECT_THAT(again, ::testing::Contains("Successfuly validated rules"));
  EXPECT_THAT(fileWords(), ElementsAre("a"));

  // A failure records the error, keeps the rules, and leaves the file alone.
  setToken("tok-1");
  reply(500, R"({"message":"boom","status":500})");
  const auto failed = pass();
  EXPECT_THAT(failed, ::testing::Not(::testing::Contains("Successfuly validated rules")));
  EXPECT_FALSE(engine_.rq_success);
  ASSERT_TRUE(engine_.error);
  EXPECT_EQ(engine_.error->message, "boom");
  ASSERT_TRUE(engine_.safeSearchRules);
  EXPECT_THAT(fileWords(), ElementsAre("a"));

  // Rules that do not validate: no list, no reload, the old file stays.
  const auto reloadsBefore = blocker_.reloads().size();
  reply(200, R"({"category_rules":[],"exceptions":[]})");
  const auto invalid = pass();
  EXPECT_TRUE(engine_.rq_success);
  EXPECT_THAT(invalid, ::testing::Not(::testing::Contains("Successfuly validated rules")));
  EXPECT_EQ(blocker_.reloads().size(), reloadsBefore);
  EXPECT_THAT(fileWords(), ElementsAre("a"));
  EXPECT_THAT(engine_.parsedLines.words(), ElementsAre("a"));
}

// Two fetches whose replies come in the opposite order: the mailbox keeps the newer
// one's outcome, whichever lands last, and the next fetch takes it.
TEST_F(SafeSearchManagerTest, AnOlderReplyLandingLastIsDropped) {
  auto& held = testsupport::HeldReplies::shared();
  held.reset();
  platform::URLSessionConfiguration configuration;
  configuration.protocolClasses = {testsupport::HeldReplies::protocolClass()};
  platform::URLSession session(configuration);
  CSafeSearchManager engine(session, blocker_, home_.files());
  engine.setReplyWaitLimit(std::chrono::milliseconds(0));  // the replies come later

  struct Case {
    std::string name;
    int newerStatus;
    bool expectSuccess;
  } cases[] = {{"a newer rule set", 200, true}, {"a newer failure", 500, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    held.reset();
    engine.getSafeSearchRules();
    engine.getSafeSearchRules();
    ASSERT_TRUE(held.waitForCount(2));
    const std::string newer =
        c.newerStatus == 200 ? ruleSet({}, {exception("newer", true)}) : R"({"message":"newer failed","status":500})";
    ASSERT_TRUE(held.answerAndWait(session, 1, c.newerStatus, newer));
    ASSERT_TRUE(held.answerAndWait(session, 0, 200, ruleSet({}, {exception("older", true)})));
    EXPECT_THAT(output_.take(),
                ::testing::Contains(HasSubstr("Dropping a safe-search reply older than the one already taken")));
    // The next fetch (whose own reply does not come) takes the newer outcome.
    EXPECT_EQ(engine.getSafeSearchRules(), c.expectSuccess);
    if (c.expectSuccess) {
      ASSERT_TRUE(engine.safeSearchRules && engine.safeSearchRules->exceptions);
      ASSERT_EQ(engine.safeSearchRules->exceptions->size(), 1u);
      EXPECT_EQ(engine.safeSearchRules->exceptions->front().word, "newer");
    } else {
      ASSERT_TRUE(engine.error);
      EXPECT_EQ(engine.error->message, "newer failed");
    }
    // The third fetch's reply (after the two barriers of the answers): nothing is left open.
    ASSERT_TRUE(held.waitForCount(5));
    ASSERT_TRUE(held.answerAndWait(session, 4, 500, "{}"));
  }
  // In their own order, the later one is taken.
  held.reset();
  engine.getSafeSearchRules();
  engine.getSafeSearchRules();
  ASSERT_TRUE(held.waitForCount(2));
  ASSERT_TRUE(held.answerAndWait(session, 0, 200, ruleSet({}, {exception("first", true)})));
  ASSERT_TRUE(held.answerAndWait(session, 1, 200, ruleSet({}, {exception("second", true)})));
  EXPECT_TRUE(engine.getSafeSearchRules());
  ASSERT_TRUE(engine.safeSearchRules && engine.safeSearchRules->exceptions);
  EXPECT_EQ(engine.safeSearchRules->exceptions->front().word, "second");
  ASSERT_TRUE(held.waitForCount(5));
  ASSERT_TRUE(held.answerAndWait(session, 4, 500, "{}"));
}

}  // namespace
}  // namespace channel
