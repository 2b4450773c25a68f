// UTF-8 checks and path escapes.
#include "platform/text.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(TextTest, WellFormedUTF8OnlyIsValid) {
  const struct {
    std::string bytes;
    bool valid;
  } cases[] = {
      {"", true},
      {"plain ascii", true},
      {"\xC3\xBC", true},                 // ü
      {"\xE2\x82\xAC", true},             // €
      {"\xF0\x9F\x98\x80", true},         // an emoji
      {"\xF4\x8F\xBF\xBF", true},         // U+10FFFF, the last one
      {"\xED\x9F\xBF", true},             // U+D7FF, just below the surrogates
      {"\xC0\xAF", false},                // overlong "/"
      {"\xC1\xBF", false},                // overlong
      {"\xE0\x9F\xBF", false},            // overlong three-byte form
      {"\xF0\x8F\xBF\xBF", false},        // overlong four-byte form
      {"\xED\xA0\x80", false},            // a surrogate
      {"\xF4\x90\x80\x80", false},        // beyond U+10FFFF
      {"\xF5\x80\x80\x80", false},        // no such lead byte
      {"\xFF", false},
      {"\x80", false},                    // a continuation without a lead
      {"a\xC3", false},                   // cut short at the end
      {"\xE2\x82", false},
      {"\xC3\x28", false},                // lead followed by a non-continuation
      {std::string("a\0b", 3), true},     // NUL is a character like any other
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isValidUTF8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
    EXPECT_EQ(isValidUTF8(toData(c.bytes)), c.valid) << testing::PrintToString(c.bytes);
  }
}

TEST(TextTest, PathsKeepWhatAUrlPathMayHold) {
  const struct {
    std::string path;
    std::string encoded;
  } cases[] = {
      {"", ""},
      {"/api/v1/children", "/api/v1/children"},
      {"/a b?c=d#e", "/a%20b%3Fc=d%23e"},
      {"100%", "100%25"},
      {"-._~/!$&'()*+,;=:@", "-._~/!$&'()*+,;=:@"},
      {"\"<>\\^`{|}[]", "%22%3C%3E%5C%5E%60%7B%7C%7D%5B%5D"},
      {"\xC3\xBC", "%C3%BC"},
      {std::string("\0\x7F", 2), "%00%7F"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(percentEncodedPath(c.path), c.encoded) << c.path;
    EXPECT_EQ(fileURLText(c.path), "file://" + c.encoded) << c.path;
  }
}

}  // namespace
}  // namespace platform
