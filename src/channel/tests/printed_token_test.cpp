// The child's token as the "tokeeeen " and "migratedData " lines print it.
#include <gtest/gtest.h>

#include "networks/token_mask.h"

namespace {

TEST(PrintedTokenTest, ShowsAtMostTheFirstFourCharacters) {
  const struct {
    const char* token;
    const char* printed;
  } cases[] = {
      {"", ""},
      {"a", "…"},
      {"abcd", "…"},
      {"abcde", "abcd…"},
      {"eyJhbGciOiJIUzI1NiJ9.eyJzdWIiOiJjaGlsZCJ9.c2ln", "eyJh…"},
      {"tok en/=&é", "tok …"},
      // Four characters of two bytes each, then more: no character is cut in half.
      {"éééééé", "éééé…"},
      {"ééé€", "…"},
      {"€€€€x", "€€€€…"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.token);
    EXPECT_EQ(networks::maskedToken(c.token), c.printed);
  }
}

}  // namespace
