#include "coding/keys.h"

#include <gtest/gtest.h>

namespace coding {
namespace {

struct Case {
  const char* in;
  const char* out;
};

TEST(KeysTest, ConvertToSnakeCase) {
  const Case cases[] = {
      {"pairCode", "pair_code"},
      {"agentId", "agent_id"},
      {"platform", "platform"},
      {"pin_code", "pin_code"},
      {"firstInstalledTime", "first_installed_time"},
      {"metaData", "meta_data"},
      {"batteryIsCharging", "battery_is_charging"},
      {"_privateKey", "_private_key"},
      {"trailing_", "trailing_"},
      {"URLList", "url_list"},
      {"", ""},
      {"___", "___"},
  };
  for (const auto& c : cases) EXPECT_EQ(convertToSnakeCase(c.in), c.out) << c.in;
}

TEST(KeysTest, ConvertFromSnakeCase) {
  const Case cases[] = {
      {"exact_error", "exactError"},
      {"exactError", "exactError"},
      {"is_instant_block_activated", "isInstantBlockActivated"},
      {"is_block", "isBlock"},
      {"message", "message"},
      {"_id", "_id"},
      {"__v", "__v"},
      {"_private_key_", "_privateKey_"},
      {"URL_list", "urlList"},
      {"a__b", "aB"},
      {"", ""},
      {"_", "_"},
  };
  for (const auto& c : cases) EXPECT_EQ(convertFromSnakeCase(c.in), c.out) << c.in;
}

TEST(KeysTest, CapitalizedLowersTheRest) {
  EXPECT_EQ(capitalized("url"), "Url");
  EXPECT_EQ(capitalized("URL"), "Url");
  EXPECT_EQ(capitalized("2fa"), "2Fa");
  EXPECT_EQ(capitalized(""), "");
}

}  // namespace
}  // namespace coding
