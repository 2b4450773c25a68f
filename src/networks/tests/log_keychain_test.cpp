// The log wrapper's entries and the keychain wrapper over a file store in a temporary HOME.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "networks/keychain_source.h"
#include "networks/log.h"
#include "platform/fakes/capturing_log_sink.h"
#include "support/temp_home.h"

namespace networks {
namespace {

TEST(LogTest, EntriesCarrySubsystemCategoryAndPrefixedText) {
  auto sink = std::make_shared<platform::CapturingLogSink>();
  platform::ScopedLogSink scoped(sink);
  EXPECT_EQ(&Log::logger(), &Log::logger());
  Log::logger().write("filter load failed: 100% of %s %@ %n");
  logw("");
  const auto entries = sink->entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0], (platform::LogEntry{"so.velmorhome.mopet.agent", "ContentBlockerQRV", platform::LogType::Default,
                                            "QRVNSFilterLog: filter load failed: 100% of %s %@ %n"}));
  EXPECT_EQ(entries[1].text, "QRVNSFilterLog: ");
}

TEST(KeyChainTest, SaveLoadReplaceAndMissingKeys) {
  testsupport::TempHome home;
  const platform::Data first = platform::toData("secret\0with nul"), second = platform::toData("next");
  EXPECT_EQ(KeyChain::save("account", first), platform::errSecSuccess);
  EXPECT_EQ(KeyChain::load("account"), first);
  // Delete-then-add replaces instead of failing as a duplicate.
  EXPECT_EQ(KeyChain::save("account", second), platform::errSecSuccess);
  EXPECT_EQ(KeyChain::load("account"), second);
  EXPECT_FALSE(KeyChain::load("never saved"));
  EXPECT_EQ(KeyChain::save(std::string("bad\0name", 8), first), platform::errSecParam);
}

TEST(KeyChainTest, UniqueIdsAndRawValueBytes) {
  std::set<std::string> ids;
  for (int i = 0; i < 100; ++i) {
    const std::string id = KeyChain::createUniqueID();
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << id;
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 100u);

  struct Pair {
    std::int32_t a;
    double b;
  };
  const auto bytes = dataFrom(Pair{-7, 2.5});
  EXPECT_EQ(bytes.size(), sizeof(Pair));
  const auto back = dataTo<Pair>(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->a, -7);
  EXPECT_EQ(back->b, 2.5);
  EXPECT_EQ(dataTo<std::uint64_t>(dataFrom(std::uint64_t{0x0102030405060708})), 0x0102030405060708u);
  EXPECT_FALSE(dataTo<double>(platform::Data(3)));
}

}  // namespace
}  // namespace networks
