// The log wrapper's entries and the keychain wrapper over a file store in a temporary home.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "networks/keychain_source.h"
#include "networks/log.h"
#include "platform/fakes/capturing_log_sink.h"
#include "platform/keychain.h"
#include "support/temp_files.h"

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
  EXPECT_EQ(entries[0],
            (platform::LogEntry{"so.velmorhome.mopet.agent", "ContentBlockerQRV", platform::LogType::Default,
                                "QRVNSFilterLog: filter load failed: 100% of %s %@ %n"}));
  EXPECT_EQ(entries[1].text, "QRVNSFilterLog: ");
}

// A subclass that overrides write() gets every message sent through a Log reference.
class RecordingLog : public Log {
 public:
  void write(std::string_view message) const override { messages.emplace_back(message); }
  mutable std::vector<std::string> messages;
};

TEST(LogTest, WriteIsOverridable) {
  auto sink = std::make_shared<platform::CapturingLogSink>();
  platform::ScopedLogSink scoped(sink);
  RecordingLog recording;
  const Log& log = recording;
  log.write("filter saved");
  EXPECT_EQ(recording.messages, std::vector<std::string>{"filter saved"});
  EXPECT_TRUE(sink->entries().empty());  // the override replaced the entry
}

// The process's store is a file store in a temporary home for the test's lifetime, as
// main installs one in the user's home.
class KeyChainTest : public ::testing::Test {
 protected:
  KeyChainTest()
      : previous_(platform::KeychainStore::setShared(std::make_shared<platform::FileKeychainStore>(home_.files()))) {}
  ~KeyChainTest() override { platform::KeychainStore::setShared(previous_); }

  testsupport::TempFiles home_;
  std::shared_ptr<platform::KeychainStore> previous_;
};

TEST_F(KeyChainTest, SaveLoadReplaceAndMissingKeys) {
  // Built with its length, so the NUL and what follows it are part of the data.
  const std::string withNul("secret\0with nul", 15);
  const platform::Data first = platform::toData(withNul), second = platform::toData("next");
  ASSERT_EQ(first.size(), 15u);
  KeyChain& keyChain = KeyChain::shared();
  EXPECT_EQ(&keyChain, &KeyChain::shared());
  EXPECT_EQ(keyChain.save("account", first), platform::errSecSuccess);
  EXPECT_EQ(keyChain.load("account"), first);
  // Delete-then-add replaces instead of failing as a duplicate.
  EXPECT_EQ(keyChain.save("account", second), platform::errSecSuccess);
  EXPECT_EQ(keyChain.load("account"), second);
  EXPECT_FALSE(keyChain.load("never saved"));
  EXPECT_EQ(keyChain.save(std::string("bad\0name", 8), first), platform::errSecParam);
}

// A subclass replaces the operations for whoever reaches it through a KeyChain.
class MemoryKeyChain : public KeyChain {
 public:
  platform::OSStatus save(const std::string& key, const platform::Data& data) const override {
    items[key] = data;
    return platform::errSecSuccess;
  }
  std::optional<platform::Data> load(const std::string& key) const override {
    auto found = items.find(key);
    return found == items.end() ? std::nullopt : std::optional(found->second);
  }
  std::string createUniqueID() const override { return "fixed"; }
  mutable std::map<std::string, platform::Data> items;
};

TEST_F(KeyChainTest, OperationsAreOverridable) {
  MemoryKeyChain memory;
  const KeyChain& keyChain = memory;
  EXPECT_EQ(keyChain.save("account", platform::toData("kept in memory")), platform::errSecSuccess);
  EXPECT_EQ(keyChain.load("account"), platform::toData("kept in memory"));
  EXPECT_EQ(keyChain.createUniqueID(), "fixed");
  EXPECT_FALSE(KeyChain::shared().load("account"));  // the file store was never touched
}

TEST_F(KeyChainTest, UniqueIdsAndRawValueBytes) {
  std::set<std::string> ids;
  for (int i = 0; i < 100; ++i) {
    const std::string id = KeyChain::shared().createUniqueID();
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
