// User defaults against real property-list files in a temporary home.
#include "platform/user_defaults.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include "support/temp_files.h"
#include "support/temp_home.h"
#include "support/text_files.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/bundle.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using testsupport::readText;
using testsupport::writeText;

// Runs `body` in a child process and returns its exit status (0 on success).
int inChildProcess(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(body());
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// The stores in a temporary home: the suites opened over its file manager, the
// standard store given its file there, as main gives it the one in the user's home.
class UserDefaultsTest : public ::testing::Test {
 protected:
  UserDefaultsTest()
      : previous_(
            UserDefaults::installStandardFile([path = UserDefaults::standardPath(home_.files())] { return path; })) {}
  ~UserDefaultsTest() override { UserDefaults::installStandardFile(std::move(previous_)); }

  fs::path standardFile() const { return home_.path() / "Library/Preferences/so.velmorhome.mopet.agent.plist"; }
  std::shared_ptr<UserDefaults> suite(const std::string& name) { return UserDefaults::suite(home_.files(), name); }

  testsupport::TempFiles home_;
  UserDefaults::StandardFile previous_;
};

Data allBytes() {
  Data bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<std::uint8_t>(i));
  return bytes;
}

TEST_F(UserDefaultsTest, EveryTypeRoundTripsThroughTheFileAndKeepsItsType) {
  const std::vector<std::pair<std::string, PlistValue>> values = {
      {"text", std::string("plain")},
      {"empty text", std::string()},
      {"markup", std::string("<key>&amp; ]]> \"quoted\" 'single'")},
      {"unicode", std::string("h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80")},
      {"whitespace", std::string("  line one\r\nline two\ttab  ")},
      {"control", std::string("bell\x07 escape\x1B")},
      {"data", allBytes()},
      {"empty data", Data()},
      {"true", true},
      {"false", false},
      {"zero", 0},
      {"one", 1},
      {"negative", -42},
      {"largest", std::numeric_limits<std::int64_t>::max()},
      {"smallest", std::numeric_limits<std::int64_t>::min()},
      {"tenth", 0.1},
      {"huge", 1e300},
      {"tiny", 4.9e-324},
      {"negative real", -2.5},
      {"infinity", std::numeric_limits<double>::infinity()},
      {"array",
       PlistValue::Array{std::string("a"), 1, true, 2.5, toData("x"), PlistValue::Array{}, PlistValue::Dictionary{}}},
      {"dictionary",
       PlistValue::Dictionary{{"nested <&>", PlistValue::Dictionary{{"deeper", PlistValue::Array{false, -7}}}},
                              {"", std::string("empty key")}}},
      {"", std::string("value under the empty key")},
  };
  {
    auto writer = UserDefaults::atPath((home_.path() / "round.plist").string());
    for (const auto& [key, value] : values) writer->set(key, value);
  }
  auto reader = UserDefaults::atPath((home_.path() / "round.plist").string());
  for (const auto& [key, value] : values) {
    SCOPED_TRACE(key);
    EXPECT_EQ(reader->object(key), value);
  }
  // A boolean, an integer and data holding the same "1" stay three different things.
  EXPECT_TRUE(reader->object("true")->is<bool>());
  EXPECT_TRUE(reader->object("one")->is<std::int64_t>());
  EXPECT_TRUE(reader->object("empty data")->is<Data>());
  EXPECT_TRUE(reader->object("empty text")->is<std::string>());
  EXPECT_TRUE(readText(home_.path() / "round.plist").starts_with("<?xml"));
}

TEST_F(UserDefaultsTest, ReadsBinaryPropertyLists) {
  plist_t root = plist_new_dict();
  plist_dict_set_item(root, "flag", plist_new_bool(1));
  plist_dict_set_item(root, "count", plist_new_uint(static_cast<std::uint64_t>(-3)));
  plist_dict_set_item(root, "blob", plist_new_data("\0\1\2", 3));
  plist_dict_set_item(root, "name", plist_new_string("caf\xC3\xA9"));
  char* bytes = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(root, &bytes, &length);
  writeText(standardFile(), std::string(bytes, length));
  plist_to_bin_free(bytes);
  plist_free(root);

  auto& defaults = UserDefaults::standard();
  EXPECT_EQ(defaults.object("flag"), PlistValue(true));
  EXPECT_EQ(defaults.object("count"), PlistValue(-3));
  EXPECT_EQ(defaults.data("blob"), (Data{0, 1, 2}));
  EXPECT_EQ(defaults.string("name"), "caf\xC3\xA9");
  // The next write turns the file into XML and keeps what was there.
  defaults.set("added", 1);
  EXPECT_TRUE(readText(standardFile()).starts_with("<?xml"));
  EXPECT_EQ(UserDefaults::atPath(standardFile().string())->data("blob"), (Data{0, 1, 2}));
}

struct GetterCase {
  const char* name;
  std::optional<PlistValue> stored;
  std::optional<std::string> string;
  bool hasData;
  bool boolean;
  std::int64_t integer;
};

TEST_F(UserDefaultsTest, TypedGettersFollowTheStoredType) {
  const GetterCase cases[] = {
      {"absent", std::nullopt, std::nullopt, false, false, 0},
      {"text", std::string("hello"), "hello", false, false, 0},
      {"text YES", std::string("YES"), "YES", false, true, 0},
      {"text true any case", std::string("tRuE"), "tRuE", false, true, 0},
      {"text 1", std::string("1"), "1", false, true, 1},
      {"text maybe", std::string("maybe"), "maybe", false, false, 0},
      {"text digits", std::string("-1234"), "-1234", false, false, -1234},
      {"text plus digits", std::string("+17"), "+17", false, false, 17},
      {"text digits then junk", std::string("12abc"), "12abc", false, false, 0},
      {"text too large", std::string("99999999999999999999"), "99999999999999999999", false, false, 0},
      {"data", toData("true"), std::nullopt, true, false, 0},
      {"bool true", true, std::nullopt, false, true, 1},
      {"bool false", false, std::nullopt, false, false, 0},
      {"integer", 42, "42", false, true, 42},
      {"integer zero", 0, "0", false, false, 0},
      {"real", 2.75, "2.75", false, true, 2},
      {"negative real", -2.75, "-2.75", false, true, -2},
      {"real beyond range", 1e30, "1e+30", false, true, std::numeric_limits<std::int64_t>::max()},
      {"real NaN", std::nan(""), "nan", false, false, 0},
      {"array", PlistValue::Array{1}, std::nullopt, false, false, 0},
  };
  auto defaults = UserDefaults::atPath((home_.path() / "getters.plist").string());
  for (const auto& c : cases) {
    if (c.stored) defaults->set(c.name, *c.stored);
  }
  auto reader = UserDefaults::atPath((home_.path() / "getters.plist").string());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(reader->string(c.name), c.string);
    EXPECT_EQ(reader->data(c.name).has_value(), c.hasData);
    EXPECT_EQ(reader->boolean(c.name), c.boolean);
    EXPECT_EQ(reader->integer(c.name), c.integer);
  }
}

TEST_F(UserDefaultsTest, DomainsLiveWhereTheirNamesSay) {
  EXPECT_EQ(Bundle::main().bundleIdentifier(), "so.velmorhome.mopet.agent");
  EXPECT_EQ(UserDefaults::standard().path(), standardFile().string());
  EXPECT_EQ(suite("group.so.velmorhome.mopet")->path(),
            (home_.path() /
             "Library/Group Containers/group.so.velmorhome.mopet/Library/Preferences/group.so.velmorhome.mopet.plist")
                .string());
  EXPECT_EQ(suite("other.domain")->path(), (home_.path() / "Library/Preferences/other.domain.plist").string());
  for (const std::string& bad : {std::string(), std::string("a/b"), std::string("../x"), std::string("nul\0x", 5)}) {
    EXPECT_EQ(suite(bad), nullptr) << bad;
  }

  suite("group.so.velmorhome.mopet")->set("sharedChildToken", "bearer");
  EXPECT_EQ(suite("group.so.velmorhome.mopet")->string("sharedChildToken"), "bearer");
  EXPECT_FALSE(UserDefaults::standard().object("sharedChildToken"));
  EXPECT_EQ(::access(standardFile().c_str(), F_OK), -1);  // reads create nothing
}

// An installed standard file is where the standard store reads, writes and removes
// its domain; the home's file is left alone, and putting the one before back returns
// the store to the home.
TEST_F(UserDefaultsTest, AnInstalledStandardFileTakesTheHomesPlace) {
  const std::string own = (home_.path() / "own.plist").string();
  UserDefaults::standard().set("kept", "in the home");
  auto previous = UserDefaults::installStandardFile([path = own] { return path; });
  EXPECT_EQ(UserDefaults::standard().path(), own);
  EXPECT_FALSE(UserDefaults::standard().object("kept"));
  UserDefaults::standard().set("mine", "own file");
  UserDefaults::standard().synchronize();
  EXPECT_EQ(UserDefaults::atPath(own)->string("mine"), "own file");
  UserDefaults::standard().removePersistentDomain(Bundle::main().bundleIdentifier());
  EXPECT_EQ(::access(own.c_str(), F_OK), -1);
  UserDefaults::installStandardFile(std::move(previous));
  EXPECT_EQ(UserDefaults::standard().path(), standardFile().string());
  EXPECT_EQ(UserDefaults::standard().string("kept"), "in the home");
}

// Given no file (a test that installs only settings), the standard store is in the
// home of the settings installed now, and follows a change of them.
TEST(UserDefaultsWithoutAFileTest, TheStandardStoreFollowsTheCurrentHome) {
  testsupport::TempHome first;
  EXPECT_EQ(UserDefaults::standard().path(),
            (first.path() / "Library/Preferences/so.velmorhome.mopet.agent.plist").string());
  UserDefaults::standard().set("where", "first home");
  EXPECT_EQ(UserDefaults::standard().string("where"), "first home");
  {
    testsupport::TempHome second;
    EXPECT_EQ(UserDefaults::standard().path(),
              (second.path() / "Library/Preferences/so.velmorhome.mopet.agent.plist").string());
    EXPECT_FALSE(UserDefaults::standard().object("where"));
    UserDefaults::standard().set("where", "second home");
  }
  EXPECT_EQ(UserDefaults::standard().string("where"), "first home");
}

TEST_F(UserDefaultsTest, AnotherObjectSeesEveryWriteAtOnce) {
  // Many quick rewrites of a same-sized file within one tick of the file clock: the
  // reader must not keep an old copy.
  auto reader = UserDefaults::atPath(standardFile().string());
  for (int i = 0; i < 200; ++i) {
    UserDefaults::standard().set("counter", i % 10);
    ASSERT_EQ(reader->integer("counter"), i % 10) << "write " << i;
  }
  reader->removeObject("counter");
  EXPECT_FALSE(UserDefaults::standard().object("counter"));
}

TEST_F(UserDefaultsTest, AnotherProcessSeesWritesBothWays) {
  UserDefaults::standard().set("from parent", "hello");
  const int status = inChildProcess([] {
    auto& defaults = UserDefaults::standard();
    if (defaults.string("from parent") != "hello") return 1;
    defaults.set("from child", toData("bytes"));
    return 0;
  });
  ASSERT_EQ(status, 0);
  EXPECT_EQ(UserDefaults::standard().data("from child"), toData("bytes"));
}

struct BadFile {
  const char* name;
  std::function<void(const fs::path&)> make;
};

std::string validXml() {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
         "\t<key>flag</key>\n\t<true/>\n\t<key>name</key>\n\t<string>kept</string>\n</dict>\n</plist>\n";
}

std::string validBinary() {
  plist_t root = plist_new_dict();
  plist_dict_set_item(root, "flag", plist_new_bool(1));
  char* bytes = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(root, &bytes, &length);
  std::string text(bytes, length);
  plist_to_bin_free(bytes);
  plist_free(root);
  return text;
}

// A root dictionary whose "flag" holds `arrays` arrays, each inside the one before
// (depth arrays + 1); `between` goes after every opening tag.
std::string nestedXml(std::size_t arrays, const std::string& between = "") {
  std::string text = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>flag</key>";
  for (std::size_t i = 0; i < arrays; ++i) text += "<array>" + between;
  for (std::size_t i = 0; i < arrays; ++i) text += "</array>";
  return text + "</dict></plist>";
}

// The same as a binary property list, written by hand (libplist's own writer recurses).
// With `cycle`, the innermost array holds the outermost one instead of nothing.
std::string nestedBinary(std::size_t arrays, bool cycle = false) {
  auto bigEndian = [](std::string& out, std::uint64_t value, int size) {
    for (int shift = (size - 1) * 8; shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xFF);
  };
  std::string bytes = "bplist00";
  std::vector<std::uint64_t> offsets;
  offsets.push_back(bytes.size());  // 0: the root dictionary {1: 2}
  bytes += '\xD1';
  bigEndian(bytes, 1, 4);
  bigEndian(bytes, 2, 4);
  offsets.push_back(bytes.size());  // 1: the key
  bytes +=
      "\x54"
      "flag";
  for (std::size_t i = 0; i < arrays; ++i) {  // 2 ...: the arrays
    offsets.push_back(bytes.size());
    const bool last = i + 1 == arrays;
    if (last && !cycle) {
      bytes += '\xA0';
    } else {
      bytes += '\xA1';
      bigEndian(bytes, last ? 2 : i + 3, 4);
    }
  }
  const std::uint64_t table = bytes.size();
  for (auto offset : offsets) bigEndian(bytes, offset, 4);
  bytes += std::string(6, '\0');
  bytes += '\x04';  // offset size
  bytes += '\x04';  // reference size
  bigEndian(bytes, offsets.size(), 8);
  bigEndian(bytes, 0, 8);  // the top object
  bigEndian(bytes, table, 8);
  return bytes;
}

// A binary property list {"flag": <text>}, the text as ASCII bytes (marker 0x5n).
std::string binaryWithText(const std::string& text) {
  std::string bytes = "bplist00";
  const std::size_t key = 8 + 3, value = key + 5;
  bytes += "\xD1\x01\x02";  // 0: {1: 2}, one-byte references
  bytes +=
      "\x54"
      "flag";    // 1
  bytes += static_cast<char>(0x50 | text.size());
  bytes += text;              // 2
  const std::size_t table = bytes.size();
  bytes += static_cast<char>(8);
  bytes += static_cast<char>(key);
  bytes += static_cast<char>(value);
  bytes += std::string(6, '\0');
  bytes += "\x01\x01";
  for (std::uint64_t field : {std::uint64_t{3}, std::uint64_t{0}, std::uint64_t{table}}) {
    for (int shift = 56; shift >= 0; shift -= 8) bytes += static_cast<char>((field >> shift) & 0xFF);
  }
  return bytes;
}

// A binary property list of `objects` (each its marker and contents, with two-byte
// references), the first at the top.
std::string binaryOf(const std::vector<std::string>& objects) {
  auto bigEndian = [](std::string& out, std::uint64_t value, int size) {
    for (int shift = (size - 1) * 8; shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xFF);
  };
  std::string bytes = "bplist00";
  std::vector<std::uint64_t> offsets;
  for (const auto& object : objects) {
    offsets.push_back(bytes.size());
    bytes += object;
  }
  const std::uint64_t table = bytes.size();
  for (auto offset : offsets) bigEndian(bytes, offset, 4);
  bytes += std::string(6, '\0');
  bytes += '\x04';  // offset size
  bytes += '\x02';  // reference size
  bigEndian(bytes, offsets.size(), 8);
  bigEndian(bytes, 0, 8);
  bigEndian(bytes, table, 8);
  return bytes;
}

std::string reference(std::uint64_t index) {
  return {static_cast<char>((index >> 8) & 0xFF), static_cast<char>(index & 0xFF)};
}

// An object's marker of `type` for `count` items (or bytes), with the count after it
// when it does not fit the marker.
std::string marker(unsigned type, std::uint64_t count) {
  if (count < 15) return {static_cast<char>((type << 4) | count)};
  std::string text{static_cast<char>((type << 4) | 0xF), '\x12'};  // then a four-byte integer
  for (int shift = 24; shift >= 0; shift -= 8) text += static_cast<char>((count >> shift) & 0xFF);
  return text;
}

// {"flag": A1}, where each of `levels` arrays holds the next one twice and the last is
// empty: a few bytes a level, 2^(levels + 1) + 1 nodes once every reference is copied.
std::string sharedArrays(std::size_t levels) {
  std::vector<std::string> objects{marker(0xD, 1) + reference(1) + reference(2), marker(0x5, 4) + "flag"};
  for (std::size_t i = 0; i < levels; ++i) {
    const std::uint64_t next = objects.size() + 1;
    objects.push_back(marker(0xA, 2) + reference(next) + reference(next));
  }
  objects.push_back(marker(0xA, 0));
  return binaryOf(objects);
}

// {"flag": [true, true, ...]} with `count` values: count + 3 nodes, the root and key counted.
std::string manyValuesXml(std::size_t count) {
  std::string text = "<plist><dict><key>flag</key><array>";
  for (std::size_t i = 0; i < count; ++i) text += "<true/>";
  return text + "</array></dict></plist>";
}

// {"flag": [text, text, ...]}: `copies` references to one ASCII text of `size` bytes.
std::string sharedText(std::size_t copies, std::size_t size) {
  std::string array = marker(0xA, copies);
  for (std::size_t i = 0; i < copies; ++i) array += reference(3);
  return binaryOf({marker(0xD, 1) + reference(1) + reference(2), marker(0x5, 4) + "flag", array,
                   marker(0x5, size) + std::string(size, 'a')});
}

// Arrays and dictionaries are read up to a fixed depth; deeper files are refused before
// anything recurses over them, whichever way the nesting is written.
TEST_F(UserDefaultsTest, NestingIsReadUpToAFixedLimit) {
  const std::size_t limit = propertylist::kDeepestNesting;
  const struct {
    const char* name;
    std::string bytes;
    bool readable;
  } cases[] = {
      {"XML at the limit", nestedXml(limit - 1), true},
      {"XML one level beyond", nestedXml(limit), false},
      {"XML with empty containers inside", nestedXml(limit - 2, "<array/><dict/><array></array>"), true},
      {"XML whose empty containers go one level beyond", nestedXml(limit - 1, "<dict/><array></array>"), false},
      {"XML with closing tags hidden in comments",
       nestedXml(limit, "<!-- </array> --><![CDATA[</array>]]><?x </array>?>"), false},
      {"binary at the limit", nestedBinary(limit - 1), true},
      {"binary one level beyond", nestedBinary(limit), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // A file of its own: one that cannot be read would read as the one before it.
    const fs::path file = home_.path() / (std::string(c.name) + ".plist");
    writeText(file, c.bytes);
    auto defaults = UserDefaults::atPath(file.string());
    const auto flag = defaults->object("flag");
    EXPECT_EQ(flag.has_value(), c.readable);
    EXPECT_EQ(propertylist::read(c.bytes).has_value(), c.readable);
    if (!flag) continue;
    // The deepest level is an empty array, the limit's count of containers down.
    std::size_t depth = 1;
    const PlistValue* level = &*flag;
    while (const auto* array = level->get<PlistValue::Array>()) {
      ++depth;
      if (array->empty()) break;
      level = &array->back();
    }
    EXPECT_EQ(depth, limit);
  }
}

TEST_F(UserDefaultsTest, AHandWrittenBinaryTextReads) {
  EXPECT_EQ(propertylist::read(binaryWithText("abc")), (PlistValue::Dictionary{{"flag", PlistValue("abc")}}));
  EXPECT_EQ(propertylist::read("<plist><dict><key>flag</key><string>a&#x41;&#10;</string></dict></plist>"),
            (PlistValue::Dictionary{{"flag", PlistValue("aA\n")}}));
}

// The peak resident memory of this process, from /proc.
std::size_t peakResidentBytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

// libplist copies a shared object once per reference: a file whose copy would come to
// more nodes, or more bytes of text, than the limits is refused before libplist reads it,
// so reading it costs no memory; sharing within the limits reads as the copies.
TEST_F(UserDefaultsTest, ABinaryFileThatWouldExpandBeyondTheLimitsIsRefusedUnbuilt) {
  const std::string bomb = sharedArrays(21);  // 4,194,305 nodes (2^(levels + 1) + 1) in a few hundred bytes
  ASSERT_LT(bomb.size(), 400u);
  const struct {
    const char* name;
    std::string bytes;
    bool readable;
  } cases[] = {
      {"arrays sharing references 21 levels deep", bomb, false},
      {"arrays sharing references 16 levels deep", sharedArrays(16), false},  // 131,073 nodes: beyond
      {"arrays sharing references 15 levels deep", sharedArrays(15), true},   // 65,537 nodes
      {"arrays sharing references 12 levels deep", sharedArrays(12), true},
      {"a 64 KiB text shared 257 times", sharedText(257, 64 << 10), false},
      {"distinct values beyond the limit, in XML", manyValuesXml(propertylist::kMostNodes), false},
      {"distinct values up to the limit, in XML", manyValuesXml(propertylist::kMostNodes - 3), true},
      {"a 64 KiB text shared 16 times", sharedText(16, 64 << 10), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t peakBefore = peakResidentBytes();
    const auto read = propertylist::read(c.bytes);
    EXPECT_EQ(read.has_value(), c.readable);
    // Refused unbuilt: libplist would have taken hundreds of MiB.
    if (!c.readable) {
      EXPECT_LT(peakResidentBytes() - peakBefore, std::size_t{64} << 20);
    }
  }
  // The readable ones read as their copies.
  const auto arrays = propertylist::read(sharedArrays(12));
  ASSERT_TRUE(arrays);
  std::size_t leaves = 0;
  std::vector<const PlistValue*> pending{&arrays->at("flag")};
  while (!pending.empty()) {
    const auto* array = pending.back()->get<PlistValue::Array>();
    pending.pop_back();
    ASSERT_NE(array, nullptr);
    if (array->empty()) ++leaves;
    for (const auto& item : *array) pending.push_back(&item);
  }
  EXPECT_EQ(leaves, 4096u);
  const auto texts = propertylist::read(sharedText(16, 64 << 10));
  ASSERT_TRUE(texts);
  EXPECT_EQ(texts->at("flag"), PlistValue(PlistValue::Array(16, PlistValue(std::string(64 << 10, 'a')))));

  // A store over the file reads it as unreadable, and leaves it as it is.
  const fs::path file = home_.path() / "bomb.plist";
  writeText(file, bomb);
  auto defaults = UserDefaults::atPath(file.string());
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(defaults->object("flag"));
  defaults->set("other", 1);
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(readText(file), bomb);
}

// Never read well in this process, an unreadable file reads as empty; it is never
// rewritten (what it held would be lost), and a value set meanwhile waits in memory.
TEST_F(UserDefaultsTest, AnUnreadableFileReadsAsEmptyAndIsNeverRewritten) {
  const BadFile cases[] = {
      {"truncated XML", [](const fs::path& p) { writeText(p, validXml().substr(0, 90)); }},
      {"truncated binary", [](const fs::path& p) { writeText(p, validBinary().substr(0, validBinary().size() - 5)); }},
      {"garbage", [](const fs::path& p) { writeText(p, std::string("\x00\xff not a plist <dict>", 21)); }},
      {"empty file", [](const fs::path& p) { writeText(p, ""); }},
      {"array at the top",
       [](const fs::path& p) {
         writeText(p, "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><true/></array></plist>");
       }},
      {"unterminated nesting", [](const fs::path& p) { writeText(p, "<plist><dict><key>flag</key><array><array>"); }},
      {"50,000 nested arrays", [](const fs::path& p) { writeText(p, nestedXml(50000)); }},
      {"50,000 nested binary arrays", [](const fs::path& p) { writeText(p, nestedBinary(50000)); }},
      {"binary arrays that hold each other", [](const fs::path& p) { writeText(p, nestedBinary(3, true)); }},
      {"an unterminated comment", [](const fs::path& p) { writeText(p, validXml() + "<!-- <array>"); }},
      // A text holding a NUL would make libplist's accessors abort.
      {"a binary text holding a NUL", [](const fs::path& p) { writeText(p, binaryWithText(std::string("a\0b", 3))); }},
      {"an XML text naming NUL",
       [](const fs::path& p) { writeText(p, "<plist><dict><key>flag</key><string>a&#x00;b</string></dict></plist>"); }},
      {"an XML key holding a NUL byte",
       [](const fs::path& p) {
         writeText(p, std::string("<plist><dict><key>fl\0ag</key><true/></dict></plist>", 51));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = home_.path() / (std::string(c.name) + ".plist");
    c.make(file);
    const std::string bytes = readText(file);
    auto defaults = UserDefaults::atPath(file.string());
    EXPECT_FALSE(defaults->object("flag"));
    EXPECT_FALSE(defaults->boolean("flag"));
    EXPECT_EQ(defaults->string("name").value_or(""), "");
    EXPECT_FALSE(defaults->data("flag"));

    ::testing::internal::CaptureStderr();
    defaults->set("fresh", true);
    EXPECT_FALSE(defaults->synchronize());
    const std::string complaints = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(complaints.find("cannot write " + file.string() + ": it could not be read, and is left as it is"),
              std::string::npos)
        << complaints;
    EXPECT_EQ(readText(file), bytes);
    EXPECT_EQ(UserDefaults::atPath(file.string())->object("fresh"), PlistValue(true));  // kept in memory
    EXPECT_FALSE(defaults->object("flag"));
  }
}

// A file larger than preferences ever are is refused unread with a line saying so, and
// never rewritten; one at the limit still reads.
TEST_F(UserDefaultsTest, AFileLargerThanTheLimitIsRefusedUnparsed) {
  constexpr std::size_t kLimit = 16u << 20;
  struct Case {
    std::string name;
    std::size_t size;
    bool refused;
  } cases[] = {
      {"at the limit", kLimit, false},
      {"a byte over", kLimit + 1, true},
      {"many times over", 4 * kLimit, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = home_.path() / (c.name + ".plist");
    // A valid property list padded with blanks after its end, so that only its size
    // can make it unreadable.
    writeText(file, validXml() + std::string(c.size - validXml().size(), ' '));
    ASSERT_EQ(fs::file_size(file), c.size);
    auto defaults = UserDefaults::atPath(file.string());
    ::testing::internal::CaptureStderr();
    const auto flag = defaults->object("flag");
    const std::string complaints = ::testing::internal::GetCapturedStderr();
    if (!c.refused) {
      EXPECT_EQ(flag, PlistValue(true));
      EXPECT_EQ(complaints, "");
      continue;
    }
    EXPECT_FALSE(flag);
    EXPECT_EQ(complaints, "UserDefaults: cannot read " + file.string() + ": larger than 16 MiB, not parsed\n");
    // Read again unchanged, it is not looked at again.
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(defaults->string("name"));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    ::testing::internal::CaptureStderr();
    defaults->set("fresh", true);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("left as it is"), std::string::npos);
    EXPECT_EQ(fs::file_size(file), c.size);
  }
}

// A FIFO in the file's place is refused at once, never waited on for a writer.
TEST_F(UserDefaultsTest, AFifoInTheFilesPlaceReadsAsEmptyAtOnce) {
  const fs::path file = home_.path() / "fifo.plist";
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0) << std::generic_category().message(errno);
  auto defaults = UserDefaults::atPath(file.string());
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(defaults->object("flag"));
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("not a readable property list"), std::string::npos);
}

// A value set while a folder is in the way waits in memory and is written once the
// folder has gone.
TEST_F(UserDefaultsTest, AFolderInTheWayReadsAsEmptyAndMakesWritesWait) {
  fs::create_directories(standardFile());
  auto& defaults = UserDefaults::standard();
  EXPECT_FALSE(defaults.object("key"));
  EXPECT_FALSE(defaults.boolean("key"));

  ::testing::internal::CaptureStderr();
  defaults.set("key", "value");
  const bool updated = defaults.update("key", [](std::optional<PlistValue>& value) {
    value = PlistValue(1);
    return true;
  });
  const std::string complaints = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(updated);
  EXPECT_NE(complaints.find("folder"), std::string::npos) << complaints;
  EXPECT_EQ(defaults.string("key"), "value");  // the set() waits; the failed update() is not kept
  EXPECT_TRUE(fs::is_directory(standardFile()));
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(defaults.synchronize());
  ::testing::internal::GetCapturedStderr();

  fs::remove(standardFile());
  EXPECT_TRUE(defaults.synchronize());
  EXPECT_EQ(propertylist::read(readText(standardFile())), (PlistValue::Dictionary{{"key", PlistValue("value")}}));
  EXPECT_TRUE(defaults.synchronize());  // nothing left to write
}

TEST_F(UserDefaultsTest, AWrongTypedValueGivesTheAbsentAnswer) {
  auto& defaults = UserDefaults::standard();
  defaults.set("ACCESS_TOKEN", std::string("{\"token\":\"t\"}"));
  defaults.set("SYNCED_APPS", std::string("maybe"));
  defaults.set("name", toData("bytes"));
  EXPECT_FALSE(defaults.data("ACCESS_TOKEN"));
  EXPECT_FALSE(defaults.boolean("SYNCED_APPS"));
  EXPECT_FALSE(defaults.string("name"));
  EXPECT_EQ(defaults.integer("name"), 0);
}

TEST_F(UserDefaultsTest, ATextOrKeyWithANulIsRefusedAndTheOldValueKept) {
  auto& defaults = UserDefaults::standard();
  defaults.set("key", "old");
  ::testing::internal::CaptureStderr();
  defaults.set("key", std::string("new\0tail", 8));
  defaults.set("key", PlistValue::Dictionary{{std::string("k\0", 2), 1}});
  defaults.set(std::string("bad\0key", 7), 1);
  const std::string complaints = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(complaints.find("NUL"), std::string::npos);
  EXPECT_EQ(UserDefaults::atPath(standardFile().string())->string("key"), "old");
  EXPECT_FALSE(UserDefaults::atPath(standardFile().string())->object("bad"));
}

TEST_F(UserDefaultsTest, EntriesOfOtherTypesSurviveWrites) {
  plist_t root = plist_new_dict();
  plist_dict_set_item(root, "when", plist_new_date(600000000, 0));
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(root, &xml, &length);
  writeText(standardFile(), std::string(xml, length));
  plist_to_xml_free(xml);
  plist_free(root);

  UserDefaults::standard().set("other", 1);
  EXPECT_FALSE(UserDefaults::standard().object("when"));  // not one of our value types
  EXPECT_NE(readText(standardFile()).find("<date>"), std::string::npos);
}

TEST_F(UserDefaultsTest, FilesArePrivateToTheUser) {
  UserDefaults::standard().set("token", toData("secret"));
  struct stat info {};
  ASSERT_EQ(::stat(standardFile().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  // No temporary file is left beside it.
  for (const auto& entry : fs::directory_iterator(standardFile().parent_path())) {
    const auto name = entry.path().filename().string();
    EXPECT_TRUE(name == "so.velmorhome.mopet.agent.plist" || name == "so.velmorhome.mopet.agent.plist.lock") << name;
  }
}

TEST_F(UserDefaultsTest, RemovePersistentDomainRemovesOnlyThatDomain) {
  auto& defaults = UserDefaults::standard();
  auto group = suite("group.so.velmorhome.mopet");
  auto other = suite("other");
  defaults.set("CHILD_UUID", "id");
  defaults.set("SYNCED_APPS", true);
  group->set("sharedChildToken", "bearer");
  other->set("kept", 1);
  auto standardReader = UserDefaults::atPath(standardFile().string());
  ASSERT_TRUE(standardReader->object("CHILD_UUID"));

  group->removePersistentDomain(Bundle::main().bundleIdentifier());
  EXPECT_TRUE(defaults.synchronize());
  EXPECT_FALSE(defaults.object("CHILD_UUID"));
  EXPECT_FALSE(defaults.boolean("SYNCED_APPS"));
  EXPECT_FALSE(standardReader->object("CHILD_UUID"));
  EXPECT_FALSE(fs::exists(standardFile()));
  EXPECT_EQ(group->string("sharedChildToken"), "bearer");

  group->removePersistentDomain("other");
  EXPECT_FALSE(other->object("kept"));
  group->removePersistentDomain("never-written");  // nothing there: no effect
  defaults.set("after", true);                       // the domain can be written again
  EXPECT_TRUE(UserDefaults::atPath(standardFile().string())->boolean("after"));
}

TEST_F(UserDefaultsTest, ConcurrentWritersFromThreadsAndProcessesLoseNothing) {
  constexpr int kIncrements = 40;
  constexpr int kThreads = 4;
  const std::string file = standardFile().string();
  // A writer kept from the lock past its short wait is told so and writes nothing; it
  // tries again.
  auto increment = [](UserDefaults& defaults) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
      if (defaults.update("counter", [](std::optional<PlistValue>& value) {
            const auto* number = value ? value->get<std::int64_t>() : nullptr;
            value = PlistValue((number != nullptr ? *number : 0) + 1);
            return true;
          })) {
        return true;
      }
    }
    return false;
  };
  auto flush = [](UserDefaults& defaults) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
      if (defaults.synchronize()) return true;
    }
    return false;
  };

  // The other process starts first (no threads running yet) and works alongside.
  const pid_t child = ::fork();
  if (child == 0) {
    auto defaults = UserDefaults::atPath(file);
    for (int i = 0; i < kIncrements; ++i) {
      if (!increment(*defaults)) ::_exit(1);
      defaults->set("child key " + std::to_string(i), i);
    }
    ::_exit(flush(*defaults) ? 0 : 2);
  }
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Half the threads share the standard object, half have one of their own.
      auto own = UserDefaults::atPath(file);
      UserDefaults& defaults = t % 2 == 0 ? UserDefaults::standard() : *own;
      for (int i = 0; i < kIncrements; ++i) {
        EXPECT_TRUE(increment(defaults));
        defaults.set("thread " + std::to_string(t) + " key " + std::to_string(i), i);
        (void)defaults.integer("counter");
      }
      EXPECT_TRUE(flush(defaults));
    });
  }
  for (auto& thread : threads) thread.join();
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  auto reader = UserDefaults::atPath(file);
  EXPECT_EQ(reader->integer("counter"), (kThreads + 1) * kIncrements);
  for (int i = 0; i < kIncrements; ++i) {
    EXPECT_EQ(reader->integer("child key " + std::to_string(i)), i);
    for (int t = 0; t < kThreads; ++t)
      EXPECT_TRUE(reader->object("thread " + std::to_string(t) + " key " + std::to_string(i)));
  }
}

// ---- a lock held by another process ------------------------------------------------

// Another process holding the exclusive lock on `lockFile` until release() or the end of
// the test.
class LockHolder {
 public:
  explicit LockHolder(const fs::path& lockFile) {
    fs::create_directories(lockFile.parent_path());
    int ready[2];
    int release[2];
    if (::pipe(ready) != 0 || ::pipe(release) != 0) return;
    child_ = ::fork();
    if (child_ == 0) {
      ::close(ready[0]);
      ::close(release[1]);
      const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT, 0600);
      if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(1);
      char byte = 1;
      if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
      (void)::read(release[0], &byte, 1);  // until released, or the test process ends
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    release_ = release[1];
    char byte = 0;
    held_ = child_ > 0 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
  }
  ~LockHolder() { release(); }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

  bool held() const { return held_; }
  void release() {
    if (release_ < 0) return;
    ::close(release_);
    release_ = -1;
    ::waitpid(child_, nullptr, 0);
  }

 private:
  pid_t child_ = -1;
  int release_ = -1;
  bool held_ = false;
};

// Runs `body` on another thread; fails (and releases `holder`, so that a write blocked on
// its lock can end) when it has not returned within a generous bound.
template <typename Body>
auto withinBound(LockHolder& holder, Body body) {
  auto result = std::async(std::launch::async, std::move(body));
  if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    ADD_FAILURE() << "a write waited on the other process's lock";
    holder.release();
  }
  return result.get();
}

// While another process holds the domain's lock, a write waits only briefly: it is
// refused with a line, nothing on disk changes, the values set wait in memory (every store
// over the file sees them) and the next write once the lock is free writes them.
TEST_F(UserDefaultsTest, ALockHeldByAnotherProcessDefersTheWriteWithoutWaitingForIt) {
  auto& defaults = UserDefaults::standard();
  defaults.set("counter", 1);
  defaults.set("gone", true);
  const std::string before = readText(standardFile());
  LockHolder holder(standardFile().string() + ".lock");
  ASSERT_TRUE(holder.held());

  ::testing::internal::CaptureStderr();
  const bool updated = withinBound(holder, [&] {
    return defaults.update("counter", [](std::optional<PlistValue>& value) {
      value = PlistValue(100);
      return true;
    });
  });
  withinBound(holder, [&] {
    defaults.set("sharedChildToken", "bearer");
    defaults.removeObject("gone");
    return 0;
  });
  const bool synchronized = withinBound(holder, [&] { return defaults.synchronize(); });
  const std::string complaints = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(updated);
  EXPECT_FALSE(synchronized);
  EXPECT_NE(complaints.find("UserDefaults: cannot lock " + standardFile().string() +
                            ".lock: another process has held it for 100 ms; not written now"),
            std::string::npos)
      << complaints;
  EXPECT_EQ(readText(standardFile()), before);
  auto other = UserDefaults::atPath(standardFile().string());
  EXPECT_EQ(other->integer("counter"), 1);  // a failed update() is the caller's to retry
  EXPECT_EQ(other->string("sharedChildToken"), "bearer");
  EXPECT_FALSE(other->object("gone"));

  holder.release();
  EXPECT_TRUE(defaults.synchronize());
  EXPECT_EQ(propertylist::read(readText(standardFile())),
            (PlistValue::Dictionary{{"counter", PlistValue(1)}, {"sharedChildToken", PlistValue("bearer")}}));
}

// ---- a suite that cannot be read -----------------------------------------------------

class UnreadableSuiteTest : public UserDefaultsTest {
 protected:
  // Spoils suite `name`'s file once it has been read well: while it cannot be read, new
  // stores over it (the shared suite is opened anew for each use) read the values last
  // read, the token among them; a write is refused with a line and leaves the file as it
  // is, its value waiting in memory. Once the file reads well again, without a token,
  // there is none, and the waiting value is written.
  void expectLastValuesStandIn(const std::string& name, const std::function<void(const fs::path&)>& spoil) {
    SCOPED_TRACE(name);
    const fs::path file = home_.path() / "Library/Group Containers" / name / "Library/Preferences" / (name + ".plist");
    suite(name)->set("sharedChildToken", "bearer");
    suite(name)->set("device_usage", 5);
    ASSERT_EQ(suite(name)->string("sharedChildToken"), "bearer");
    ASSERT_TRUE(fs::exists(file));

    spoil(file);
    const auto kind = fs::symlink_status(file).type();
    const std::string bytes = kind == fs::file_type::regular ? readText(file) : std::string();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(suite(name)->string("sharedChildToken"), "bearer");
    auto writer = suite(name);
    writer->set("device_usage", writer->integer("device_usage") + 5);
    EXPECT_FALSE(writer->synchronize());
    EXPECT_FALSE(writer->update("device_usage", [](std::optional<PlistValue>& value) {
      value = PlistValue(0);
      return true;
    }));
    const std::string complaints = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(complaints.find("using the values last read from it"), std::string::npos) << complaints;
    EXPECT_NE(complaints.find("cannot write " + file.string() + ": "), std::string::npos) << complaints;
    EXPECT_EQ(fs::symlink_status(file).type(), kind);
    if (kind == fs::file_type::regular) {
      EXPECT_EQ(readText(file), bytes);
    }
    EXPECT_EQ(suite(name)->integer("device_usage"), 10);

    ::chmod(file.c_str(), 0600);
    fs::remove_all(file);
    writeText(file, validXml());
    EXPECT_FALSE(suite(name)->string("sharedChildToken"));  // read well: no stored token
    EXPECT_TRUE(suite(name)->synchronize());
    const auto written = propertylist::read(readText(file));
    ASSERT_TRUE(written);
    EXPECT_EQ(written->at("device_usage"), PlistValue(10));
    EXPECT_EQ(written->at("name"), PlistValue("kept"));
    EXPECT_FALSE(written->contains("sharedChildToken"));
  }
};

// Every way the child's account can make the suite unreadable, as root too.
TEST_F(UnreadableSuiteTest, AnUnreadableSuiteKeepsItsLastValuesAndIsNeverRewritten) {
  const BadFile cases[] = {
      {"group.padded-past-the-limit",
       [](const fs::path& p) {
         // A valid list padded past 16 MiB, with another token: refused unread.
         writeText(p, "<plist><dict><key>sharedChildToken</key><string>other</string></dict></plist>" +
                          std::string((16u << 20) + 1, ' '));
       }},
      {"group.folder",
       [](const fs::path& p) {
         fs::remove(p);
         fs::create_directory(p);
       }},
      {"group.fifo",
       [](const fs::path& p) {
         fs::remove(p);
         ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0);
       }},
      {"group.corrupt", [](const fs::path& p) { writeText(p, validXml().substr(0, 90)); }},
      {"group.expands-too-far", [](const fs::path& p) { writeText(p, sharedArrays(21)); }},
  };
  for (const auto& c : cases) expectLastValuesStandIn(c.name, c.make);
}

TEST_F(UnreadableSuiteTest, ASuiteMadeUnreadableByItsModeKeepsItsLastValues) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads a file of mode 000; the other unreadable cases run as root too";
  expectLastValuesStandIn("group.mode-000", [](const fs::path& p) { ::chmod(p.c_str(), 0); });
}

TEST_F(UserDefaultsTest, UpdateThatDeclinesWritesNothing) {
  auto& defaults = UserDefaults::standard();
  EXPECT_TRUE(defaults.update("key", [](std::optional<PlistValue>& value) {
    EXPECT_FALSE(value);
    return false;
  }));
  EXPECT_FALSE(fs::exists(standardFile()));
  defaults.removeObject("missing");  // removing what is not there writes no file either
  EXPECT_FALSE(fs::exists(standardFile()));
}

}  // namespace
}  // namespace platform
