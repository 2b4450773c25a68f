// Content-blocker reload: the Linux marker file and its errors, and the fake.
#include "platform/content_blocker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/fakes/fake_content_blocker.h"
#include "support/temp_files.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Reply {
  std::optional<Error> error;
  std::thread::id thread;
};

Reply reload(ContentBlockerManager& manager, const std::string& identifier) {
  std::promise<Reply> promise;
  auto future = promise.get_future();
  manager.reloadContentBlocker(identifier, [&promise](std::optional<Error> error) {
    promise.set_value({std::move(error), std::this_thread::get_id()});
  });
  EXPECT_EQ(future.wait_for(5s), std::future_status::ready);
  return future.get();
}

long long nowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

TEST(LinuxContentBlockerTest, AReloadReplacesTheMarkerAndSucceedsOffTheCallersThread) {
  testsupport::TempFiles home;
  LinuxContentBlockerManager manager(home.files());
  const std::string id = "so.velmorhome.mopet.agent.SafeSearchExt";
  const auto marker = home.path() / "Library/Application Support/ContentBlockers" / (id + ".reload");
  EXPECT_EQ(manager.markerPath(id), marker.string());

  const auto before = nowMillis();
  auto reply = reload(manager, id);
  EXPECT_FALSE(reply.error.has_value());
  EXPECT_NE(reply.thread, std::this_thread::get_id());
  long long stamp = 0;
  std::ifstream(marker) >> stamp;
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, nowMillis());

  ASSERT_FALSE(reload(manager, id).error.has_value());
  long long again = 0;
  std::ifstream(marker) >> again;
  EXPECT_GE(again, stamp);
  EXPECT_EQ(std::distance(fs::directory_iterator(marker.parent_path()), fs::directory_iterator()), 1);
}

TEST(LinuxContentBlockerTest, IdentifiersThatCannotNameAFileAndUnwritableFoldersFail) {
  testsupport::TempFiles home;
  LinuxContentBlockerManager manager(home.files());
  for (const std::string& id : std::vector<std::string>{"", ".", "..", "a/b", "../escape", std::string("nul\0x", 5)}) {
    SCOPED_TRACE(id);
    auto reply = reload(manager, id);
    ASSERT_TRUE(reply.error.has_value());
    EXPECT_EQ(reply.error->domain, "SFErrorDomain");
    EXPECT_EQ(reply.error->code, ContentBlockerErrorCode::noExtensionFound);
  }
  EXPECT_FALSE(fs::exists(home.path() / "Library"));

  std::ofstream(home.path() / "occupied") << "a file where the folder should be";
  LinuxContentBlockerManager blocked(home.files(), (home.path() / "occupied").string());
  auto reply = reload(blocked, "x");
  ASSERT_TRUE(reply.error.has_value());
  EXPECT_EQ(reply.error->code, ContentBlockerErrorCode::loadingInterrupted);
  EXPECT_FALSE(reply.error->localizedDescription.empty());
}

TEST(FakeContentBlockerTest, RecordsReloadsAndAnswersAsScripted) {
  FakeContentBlockerManager fake;
  fake.failNextReload(Error{"SFErrorDomain", 3, "interrupted"});
  auto failed = reload(fake, "one");
  ASSERT_TRUE(failed.error.has_value());
  EXPECT_EQ(failed.error->code, 3);
  EXPECT_NE(failed.thread, std::this_thread::get_id());  // on the global queue, as the real one
  EXPECT_FALSE(reload(fake, "two").error.has_value());

  fake.setAnswersSynchronously(true);
  bool answered = false;
  fake.reloadContentBlocker("three", [&](auto) { answered = true; });
  EXPECT_TRUE(answered);

  fake.setHoldsCompletions(true);
  answered = false;
  fake.reloadContentBlocker("four", [&](auto) { answered = true; });
  EXPECT_FALSE(answered);
  EXPECT_EQ(fake.releasePending(), 1u);
  EXPECT_TRUE(answered);
  EXPECT_EQ(fake.reloads(), (std::vector<std::string>{"one", "two", "three", "four"}));
}

}  // namespace
}  // namespace platform
