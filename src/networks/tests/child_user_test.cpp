// The child state against real property-list files in a temporary HOME.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "networks/child_user_default_manager.h"
#include "networks/shared_settings.h"
#include "support/temp_home.h"

namespace networks {
namespace {

// A second instance over the same files stands for a restart of the process.
class FreshChildUser : public ChildUser {
 public:
  FreshChildUser() : ChildUser(platform::UserDefaults::standard()) {}
};

const DeviceLoginModel kLogin{"tok", "parent-1", "child-1", "child", "device-1"};

class ChildUserTest : public ::testing::Test {
 protected:
  testsupport::TempHome home_;
};

TEST_F(ChildUserTest, FreshInstallReadsFalseEverywhere) {
  FreshChildUser user;
  EXPECT_FALSE(user.isSyncedApps());
  EXPECT_FALSE(user.isInstalledProfile());
  EXPECT_FALSE(user.isScreentimeEnabled());
  EXPECT_FALSE(user.tokenExist());
  EXPECT_EQ(user.token(), "");
  EXPECT_FALSE(user.me);
}

TEST_F(ChildUserTest, UniqueIdIsStableUntilRemoved) {
  FreshChildUser user;
  const std::string first = user.uniqueId();
  EXPECT_TRUE(std::regex_match(first, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
      << first;
  EXPECT_EQ(user.uniqueId(), first);
  EXPECT_EQ(FreshChildUser().uniqueId(), first);
  EXPECT_EQ(user.userDefault.string("CHILD_UUID"), first);
  user.removeUniqueId();
  EXPECT_NE(user.uniqueId(), first);
}

TEST_F(ChildUserTest, LoginRecordSurvivesARestartAndIsStoredAsData) {
  {
    FreshChildUser user;
    user.save(kLogin);
    EXPECT_TRUE(user.tokenExist());
  }
  FreshChildUser restarted;
  EXPECT_TRUE(restarted.tokenExist());
  const auto data = restarted.userDefault.data("ACCESS_TOKEN");
  ASSERT_TRUE(data);
  EXPECT_EQ(platform::toString(*data),
            R"({"token":"tok","parentId":"parent-1","childId":"child-1","role":"child","deviceId":"device-1"})");
  restarted.save(std::nullopt);
  EXPECT_FALSE(restarted.tokenExist());
  EXPECT_FALSE(restarted.userDefault.object("ACCESS_TOKEN"));
}

TEST_F(ChildUserTest, UnreadableLoginRecordsCountAsNone) {
  FreshChildUser user;
  const platform::PlistValue values[] = {
      platform::PlistValue(std::string(R"({"token":"t","parentId":"p","childId":"c","role":"r","deviceId":"d"})")),
      platform::PlistValue(platform::toData(R"({"token":"t","parentId":"p","childId":"c","deviceId":"d"})")),
      platform::PlistValue(platform::toData(R"({"token":"t","parent_id":"p","child_id":"c","role":"r","device_id":"d"})")),
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
  FreshChildUser user;
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
  FreshChildUser user;
  platform::UserDefaults::suite(std::string(kAppGroup))->set(std::string(kSharedChildToken), std::string("bearer-1"));
  EXPECT_EQ(user.token(), "bearer-1");
  EXPECT_FALSE(user.userDefault.object(std::string(kSharedChildToken)));  // not in the standard domain
}

TEST_F(ChildUserTest, CorruptOrWrongTypedFilesReadAsAbsent) {
  FreshChildUser user;
  user.setSyncApps(true);
  const std::string path = user.userDefault.path();
  {
    std::ofstream truncated(path, std::ios::trunc);
    truncated << "<?xml version=\"1.0\"?><plist><dict><key>SYNCED_APPS</key><tr";
  }
  EXPECT_FALSE(user.isSyncedApps());
  EXPECT_FALSE(user.tokenExist());
  user.setScreentimeEnabled(true);  // a later write replaces the corrupt file whole
  EXPECT_TRUE(FreshChildUser().isScreentimeEnabled());

  user.userDefault.set("SYNCED_APPS", std::string("maybe"));
  EXPECT_FALSE(user.isSyncedApps());
}

}  // namespace
}  // namespace networks
