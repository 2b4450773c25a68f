// The child state against real property-list files of the test's own.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>
#include <type_traits>
#include <vector>

#include "networks/child_user_default_manager.h"
#include "networks/shared_settings.h"
#include "platform/fakes/capturing_log_sink.h"
#include "support/scoped_user_defaults.h"
#include "support/temp_folder.h"

namespace networks {
namespace {

const DeviceLoginModel kLogin{"tok", "parent-1", "child-1", "child", "device-1"};

// Every test sees the one instance over new user-defaults files, as a fresh start of
// the process would: nothing stored, nothing in memory.
class ChildUserTest : public ::testing::Test {
 protected:
  void SetUp() override { restarted(); }
  void TearDown() override { ChildUser::shared().me.reset(); }

  // The one instance as after a restart of the process: the files as they are, the
  // in-memory account record gone.
  static ChildUser& restarted() {
    ChildUser& user = ChildUser::make(platform::UserDefaults::standard());
    user.me.reset();
    return user;
  }

  testsupport::ScopedUserDefaults defaults_;
};

// A subclass may be declared, but never made: the initialiser it needs is private.
struct WouldBeSecondInstance : ChildUser {};

TEST_F(ChildUserTest, ThereIsExactlyOneInstance) {
  static_assert(!std::is_default_constructible_v<ChildUser>);
  static_assert(!std::is_constructible_v<ChildUser, platform::UserDefaults&>);
  static_assert(!std::is_copy_constructible_v<ChildUser> && !std::is_move_constructible_v<ChildUser>);
  static_assert(!std::is_default_constructible_v<WouldBeSecondInstance>);
  std::vector<ChildUser*> seen(8, nullptr);
  std::vector<std::thread> threads;
  threads.reserve(seen.size());
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = &ChildUser::shared(); });
  for (auto& thread : threads) thread.join();
  for (auto* user : seen) EXPECT_EQ(user, &ChildUser::shared());
  EXPECT_EQ(&ChildUser::shared().userDefault, &platform::UserDefaults::standard());
  // Made once: a later make() over another store changes nothing.
  const auto folder = testsupport::makeTemporaryFolder("child-user-test");
  auto other = platform::UserDefaults::atPath((folder / "other.plist").string());
  EXPECT_EQ(&ChildUser::make(*other), &ChildUser::shared());
  std::filesystem::remove_all(folder);
  EXPECT_EQ(&ChildUser::shared().userDefault, &platform::UserDefaults::standard());
}

TEST_F(ChildUserTest, TheAccountRecordIsKeptInMemoryOnly) {
  ChildUser& user = ChildUser::shared();
  MeModel me;
  me.id = "child-7";
  user.setMe(me);
  ASSERT_TRUE(user.me);
  EXPECT_EQ(user.me->id, "child-7");
  EXPECT_FALSE(restarted().me);
  EXPECT_FALSE(std::filesystem::exists(user.userDefault.path()));  // nothing was written for it
}

TEST_F(ChildUserTest, FreshInstallReadsFalseEverywhere) {
  ChildUser& user = ChildUser::shared();
  EXPECT_FALSE(user.isSyncedApps());
  EXPECT_FALSE(user.isInstalledProfile());
  EXPECT_FALSE(user.isScreentimeEnabled());
  EXPECT_FALSE(user.tokenExist());
  EXPECT_EQ(user.token(), "");
  EXPECT_FALSE(user.me);
}

TEST_F(ChildUserTest, UniqueIdIsStableUntilRemoved) {
  ChildUser& user = ChildUser::shared();
  const std::string first = user.uniqueId();
  EXPECT_TRUE(std::regex_match(first, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
      << first;
  EXPECT_EQ(user.uniqueId(), first);
  EXPECT_EQ(restarted().uniqueId(), first);
  EXPECT_EQ(user.userDefault.string("CHILD_UUID"), first);
  user.removeUniqueId();
  EXPECT_NE(user.uniqueId(), first);
}

TEST_F(ChildUserTest, LoginRecordSurvivesARestartAndIsStoredAsData) {
  {
    ChildUser& user = ChildUser::shared();
    user.save(kLogin);
    EXPECT_TRUE(user.tokenExist());
  }
  ChildUser& again = restarted();
  EXPECT_TRUE(again.tokenExist());
  const auto data = again.userDefault.data("ACCESS_TOKEN");
  ASSERT_TRUE(data);
  EXPECT_EQ(platform::toString(*data),
            R"({"token":"tok","parentId":"parent-1","childId":"child-1","role":"child","deviceId":"device-1"})");
  again.save(std::nullopt);
  EXPECT_FALSE(again.tokenExist());
  EXPECT_FALSE(again.userDefault.object("ACCESS_TOKEN"));
}

TEST_F(ChildUserTest, SavingPrintsTheTokenMaskedAndRemovingPrintsNothing) {
  ChildUser& user = ChildUser::shared();
  DeviceLoginModel login = kLogin;
  login.token = "eyJhbGciOiJIUzI1NiJ9.secret";
  platform::CapturedOutput printed;
  user.save(login);
  user.save(kLogin);
  user.save(std::nullopt);
  EXPECT_EQ(printed.take(), (std::vector<std::string>{"ACCESS_TOKEN: eyJh…", "ACCESS_TOKEN: …"}));
}

TEST_F(ChildUserTest, UnreadableLoginRecordsCountAsNone) {
  ChildUser& user = ChildUser::shared();
  const platform::PlistValue values[] = {
      platform::PlistValue(std::string(R"({"token":"t","parentId":"p","childId":"c","role":"r","deviceId":"d"})")),
      platform::PlistValue(platform::toData(R"({"token":"t","parentId":"p","childId":"c","deviceId":"d"})")),
      platform::PlistValue(
          platform::toData(R"({"token":"t","parent_id":"p","child_id":"c","role":"r","device_id":"d"})")),
      platform::PlistValue(platform::toData("not json")),
      platform::PlistValue(true),
  };
  for (const auto& value : values) {
    user.userDefault.set("ACCESS_TOKEN", value);
    EXPECT_FALSE(user.tokenExist());
    EXPECT_TRUE(user.userDefault.object("ACCESS_TOKEN"));  // left in place
  }
}

TEST_F(ChildUserTest, RemoveChildDataLeavesTheOtherFlags) {
  ChildUser& user = ChildUser::shared();
  user.save(kLogin);
  const std::string id = user.uniqueId();
  user.installProfile(true);
  user.setSyncApps(true);
  user.setScreentimeEnabled(true);
  user.removeChildData();
  EXPECT_FALSE(user.userDefault.object("ACCESS_TOKEN"));
  EXPECT_FALSE(user.userDefault.object("CHILD_UUID"));
  EXPECT_EQ(user.userDefault.object("INSTALLED_PROFILE"), platform::PlistValue(false));
  EXPECT_TRUE(user.isSyncedApps());
  EXPECT_TRUE(user.isScreentimeEnabled());
  EXPECT_NE(user.uniqueId(), id);
}

TEST_F(ChildUserTest, TokenComesFromTheAppGroupSuite) {
  ChildUser& user = ChildUser::shared();
  defaults_.suite().set(std::string(kSharedChildToken), std::string("bearer-1"));
  EXPECT_EQ(user.token(), "bearer-1");
  EXPECT_FALSE(user.userDefault.object(std::string(kSharedChildToken)));  // not in the standard domain
}

// A corrupt file reads as the values last read from it and is never rewritten; a value
// set meanwhile waits in memory.
TEST_F(ChildUserTest, CorruptFilesReadAsTheirLastValuesAndWrongTypedOnesAsAbsent) {
  ChildUser& user = ChildUser::shared();
  user.setSyncApps(true);
  const std::string path = user.userDefault.path();
  {
    std::ofstream truncated(path, std::ios::trunc);
    truncated << "<?xml version=\"1.0\"?><plist><dict><key>SYNCED_APPS</key><tr";
  }
  EXPECT_TRUE(user.isSyncedApps());
  EXPECT_FALSE(user.tokenExist());
  user.setScreentimeEnabled(true);
  EXPECT_TRUE(restarted().isScreentimeEnabled());
  std::filesystem::remove(path);

  user.userDefault.set("SYNCED_APPS", std::string("maybe"));
  EXPECT_FALSE(user.isSyncedApps());
}

}  // namespace
}  // namespace networks
