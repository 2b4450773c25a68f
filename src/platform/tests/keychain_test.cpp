// Generic-password stores: the file store in a temporary home, the memory store and the fake.
#include "platform/keychain.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include "support/temp_files.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/fakes/fake_keychain_store.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

Data allBytes() {
  Data bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<std::uint8_t>(i));
  return bytes;
}

struct StoreKind {
  const char* name;
  std::function<std::shared_ptr<KeychainStore>(const FileManager& files)> make;
};

class EveryStoreTest : public ::testing::TestWithParam<StoreKind> {
 protected:
  testsupport::TempFiles home_;
};

TEST_P(EveryStoreTest, AddCopyDeleteWithThePlatformsStatusCodes) {
  auto store = GetParam().make(home_.files());
  Data out = toData("untouched");
  EXPECT_EQ(store->copyMatching("token", out), errSecItemNotFound);
  EXPECT_EQ(out, toData("untouched"));
  EXPECT_EQ(store->deleteItem("token"), errSecItemNotFound);

  EXPECT_EQ(store->add("token", allBytes()), errSecSuccess);
  EXPECT_EQ(store->add("token", toData("second")), errSecDuplicateItem);
  EXPECT_EQ(store->copyMatching("token", out), errSecSuccess);
  EXPECT_EQ(out, allBytes());  // the duplicate changed nothing

  EXPECT_EQ(store->add("", Data()), errSecSuccess);  // an empty account and empty data are items too
  EXPECT_EQ(store->add("other <&> account", toData("x")), errSecSuccess);
  EXPECT_EQ(store->copyMatching("", out), errSecSuccess);
  EXPECT_EQ(out, Data());

  EXPECT_EQ(store->deleteItem("token"), errSecSuccess);
  EXPECT_EQ(store->deleteItem("token"), errSecItemNotFound);
  EXPECT_EQ(store->copyMatching("token", out), errSecItemNotFound);
  EXPECT_EQ(store->copyMatching("other <&> account", out), errSecSuccess);
  EXPECT_EQ(out, toData("x"));

  // Delete then add replaces an item.
  EXPECT_EQ(store->deleteItem("other <&> account"), errSecSuccess);
  EXPECT_EQ(store->add("other <&> account", toData("y")), errSecSuccess);
  EXPECT_EQ(store->copyMatching("other <&> account", out), errSecSuccess);
  EXPECT_EQ(out, toData("y"));
}

TEST_P(EveryStoreTest, ConcurrentAddsOfOneAccountGiveExactlyOneSuccess) {
  auto store = GetParam().make(home_.files());
  constexpr int kThreads = 8;
  std::atomic<int> successes{0}, duplicates{0};
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const OSStatus status = store->add("shared", toData("from " + std::to_string(t)));
      if (status == errSecSuccess) ++successes;
      if (status == errSecDuplicateItem) ++duplicates;
      EXPECT_EQ(store->add("own " + std::to_string(t), toData("mine")), errSecSuccess);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(successes, 1);
  EXPECT_EQ(duplicates, kThreads - 1);
  for (int t = 0; t < kThreads; ++t) {
    Data out;
    EXPECT_EQ(store->copyMatching("own " + std::to_string(t), out), errSecSuccess);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Stores, EveryStoreTest,
    ::testing::Values(StoreKind{"File",
                                [](const FileManager& files) { return std::make_shared<FileKeychainStore>(files); }},
                      StoreKind{"Memory", [](const FileManager&) { return std::make_shared<MemoryKeychainStore>(); }},
                      StoreKind{"Fake", [](const FileManager&) { return std::make_shared<FakeKeychainStore>(); }}),
    [](const auto& test) { return std::string(test.param.name); });

class FileKeychainTest : public ::testing::Test {
 protected:
  fs::path file() const { return home_.path() / "Library/Keychains/login.keychain.plist"; }
  testsupport::TempFiles home_;
};

TEST_F(FileKeychainTest, ItemsLiveInAPrivateFileThatOtherProcessesSee) {
  FileKeychainStore store(home_.files());
  EXPECT_EQ(store.path(), file().string());
  ASSERT_EQ(store.add("account", toData("secret")), errSecSuccess);
  struct stat info {};
  ASSERT_EQ(::stat(file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(file().parent_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  const pid_t child = ::fork();
  if (child == 0) {
    FileKeychainStore other(home_.files());
    Data out;
    const bool sawParent = other.copyMatching("account", out) == errSecSuccess && out == toData("secret");
    const bool added = other.add("from child", toData("hi")) == errSecSuccess;
    ::_exit(sawParent && added ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  Data out;
  EXPECT_EQ(FileKeychainStore(home_.files()).copyMatching("from child", out), errSecSuccess);
  EXPECT_EQ(out, toData("hi"));
}

TEST_F(FileKeychainTest, TheDefaultFileIsInTheHomeOfItsFileManager) {
  FileKeychainStore store(home_.files());
  ASSERT_EQ(store.add("account", toData("first")), errSecSuccess);
  {
    testsupport::TempFiles second;
    const FileKeychainStore other(second.files());
    Data out;
    EXPECT_EQ(other.path(), (second.path() / "Library/Keychains/login.keychain.plist").string());
    EXPECT_EQ(FileKeychainStore(second.files()).copyMatching("account", out), errSecItemNotFound);
  }
  EXPECT_EQ(store.path(), file().string());
  const FileKeychainStore fixed((home_.path() / "elsewhere.plist").string());
  EXPECT_EQ(fixed.path(), (home_.path() / "elsewhere.plist").string());
}

TEST_F(FileKeychainTest, BadStoresAndBadNames) {
  FileKeychainStore store(home_.files());
  Data out;
  EXPECT_EQ(store.add(std::string("nul\0inside", 10), toData("x")), errSecParam);
  EXPECT_EQ(store.copyMatching(std::string("nul\0inside", 10), out), errSecParam);
  EXPECT_EQ(store.deleteItem(std::string("nul\0inside", 10)), errSecParam);

  // A corrupt file holds no items, and is never replaced: what it held would be lost.
  fs::create_directories(file().parent_path());
  std::ofstream(file()) << "<plist><dict><key>account</key><data>AAEC";
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(store.copyMatching("account", out), errSecItemNotFound);
  EXPECT_EQ(store.add("account", toData("new")), errSecIO);
  EXPECT_EQ(store.copyMatching("account", out), errSecItemNotFound);

  // A folder in the way: nothing can be stored, and the store says so.
  fs::remove(file());
  fs::create_directory(file());
  EXPECT_EQ(store.add("account", toData("x")), errSecIO);
  EXPECT_EQ(store.deleteItem("account"), errSecIO);
  EXPECT_EQ(store.copyMatching("account", out), errSecItemNotFound);
  ::testing::internal::GetCapturedStderr();
}

TEST(KeychainSharedTest, TheSharedStoreIsReplaceable) {
  // Until one is installed, a store in memory: nothing is written anywhere.
  EXPECT_NE(dynamic_cast<MemoryKeychainStore*>(KeychainStore::shared().get()), nullptr);
  auto fake = std::make_shared<FakeKeychainStore>();
  const auto previous = KeychainStore::setShared(fake);
  EXPECT_EQ(KeychainStore::shared(), fake);
  EXPECT_NE(dynamic_cast<MemoryKeychainStore*>(previous.get()), nullptr);
  KeychainStore::setShared(nullptr);
  EXPECT_NE(dynamic_cast<MemoryKeychainStore*>(KeychainStore::shared().get()), nullptr);
}

TEST(FakeKeychainStoreTest, RecordsCallsAndReturnsScriptedStatuses) {
  FakeKeychainStore fake;
  fake.failNext(FakeKeychainStore::Operation::Add, errSecIO);
  EXPECT_EQ(fake.deleteItem("k"), errSecItemNotFound);
  EXPECT_EQ(fake.add("k", toData("v")), errSecIO);  // scripted: nothing stored
  Data out;
  EXPECT_EQ(fake.copyMatching("k", out), errSecItemNotFound);
  EXPECT_EQ(fake.add("k", toData("v")), errSecSuccess);  // the script was used up
  using Op = FakeKeychainStore::Operation;
  EXPECT_EQ(fake.calls(), (std::vector<FakeKeychainStore::Call>{{Op::Delete, "k", {}},
                                                                {Op::Add, "k", toData("v")},
                                                                {Op::CopyMatching, "k", {}},
                                                                {Op::Add, "k", toData("v")}}));
}

}  // namespace
}  // namespace platform
